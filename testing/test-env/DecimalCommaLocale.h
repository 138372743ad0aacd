// The process locale as a German desktop leaves it (decimal comma), for tests of
// text that must not depend on the locale.
#pragma once

#include <clocale>
#include <cstdlib>
#include <string>

#include <stdlib.h>

namespace sorvane::testing {

// Built with localedef when the system has not generated it.
class DecimalCommaLocale {
public:
    DecimalCommaLocale() {
        if (std::setlocale(LC_ALL, "de_DE.UTF-8"))
            return;
        char dir[] = "/tmp/sorvane-locale-XXXXXX";
        if (!mkdtemp(dir))
            return;
        m_dir = dir;
        const std::string command =
            "localedef -i de_DE -f UTF-8 " + m_dir + "/de_DE.UTF-8 2>/dev/null";
        if (std::system(command.c_str()) != 0)
            return;
        setenv("LOCPATH", m_dir.c_str(), 1);
        std::setlocale(LC_ALL, "de_DE.UTF-8");
    }
    ~DecimalCommaLocale() {
        std::setlocale(LC_ALL, "C");
        unsetenv("LOCPATH");
        if (!m_dir.empty())
            std::system(("rm -rf " + m_dir).c_str());
    }
    bool active() const { return std::localeconv()->decimal_point == std::string(","); }

private:
    std::string m_dir;
};

} // namespace sorvane::testing
