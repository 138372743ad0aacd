// The program's log: one free-text line per event, no levels.
//
// Lines go to the installed LogSink; the default sink writes to stderr. The Linux
// entry point installs a sink that writes to syslog (ident "sorvane") and mirrors
// to stderr; tests install a capturing sink. logLine() and setLogSink() are
// thread-safe; a sink's write() may be called from any thread, one call at a time.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace sorvane {

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(std::string_view line) = 0;
};

// Installs `sink` (nullptr restores the stderr sink) and returns the previous one.
std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink);

void logLine(std::string_view line);

} // namespace sorvane
