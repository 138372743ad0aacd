// LogSink writing each line to syslog (ident "sorvane", journald keeps it) and
// mirroring it to stderr. Thread-safe.
#pragma once

#include "base/Log.h"

namespace sorvane {

class SyslogSink final : public LogSink {
public:
    SyslogSink();
    ~SyslogSink() override;
    void write(std::string_view line) override;
};

} // namespace sorvane
