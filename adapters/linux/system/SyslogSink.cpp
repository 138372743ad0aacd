#include "adapters/linux/system/SyslogSink.h"

#include <syslog.h>

#include <cstdio>
#include <string>

namespace sorvane {

SyslogSink::SyslogSink() { openlog("sorvane", LOG_PID, LOG_USER); }
SyslogSink::~SyslogSink() { closelog(); }

void SyslogSink::write(std::string_view line) {
    const std::string text(line);
    syslog(LOG_INFO, "%s", text.c_str());
    std::fprintf(stderr, "%s\n", text.c_str());
}

} // namespace sorvane
