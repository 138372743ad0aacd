// Launch at login through the autostart folder of a temporary XDG_CONFIG_HOME,
// and the move of a stand-in AppImage (a shell script that leaves a marker
// when it runs) into the Applications folder of a temporary HOME.

#include "adapters/linux/install/XdgInstaller.h"
#include "store/UserDefaultsFile.h"
#include "testing/desktop-doubles/DesktopDoubles.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/TempDir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace sorvane {
namespace {

namespace fs = std::filesystem;
using testing::LogCapture;
using testing::RecordingAlerts;
using testing::TempDir;

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const fs::path& path, const std::string& text, fs::perms mode = fs::perms(0644)) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    fs::permissions(path, mode);
}

unsigned modeOf(const fs::path& path) {
    return static_cast<unsigned>(fs::status(path).permissions());
}

// Every file in `folder`, by name.
std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The value of `key` in the file's [Desktop Entry] group, as written.
std::optional<std::string> rawValue(const std::string& entry, const std::string& key) {
    std::istringstream in(entry);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + "=", 0) == 0)
            return line.substr(key.size() + 1);
    return std::nullopt;
}

// The first argument of a written Exec value, read back the way a desktop
// reads it: the string escapes first, then the quoting of the argument, then
// the doubled percent sign.
std::string firstArgumentOf(const std::string& written) {
    std::string value;
    for (size_t i = 0; i < written.size(); ++i) {
        if (written[i] == '\\' && i + 1 < written.size()) {
            const char c = written[++i];
            value += c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
        } else {
            value += written[i];
        }
    }
    std::string arg;
    const bool quoted = !value.empty() && value[0] == '"';
    for (size_t i = quoted ? 1 : 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == (quoted ? '"' : ' '))
            break;
        if (quoted && c == '\\' && i + 1 < value.size()) {
            arg += value[++i];
            continue;
        }
        if (c == '%' && i + 1 < value.size() && value[i + 1] == '%')
            ++i;
        arg += c;
    }
    return arg;
}

// Runs desktop-file-validate on `path`; its output, and whether it passed.
std::pair<bool, std::string> validate(const fs::path& path) {
    const std::string tool = SORVANE_DESKTOP_FILE_VALIDATE;
    if (tool.empty() || tool.find("NOTFOUND") != std::string::npos)
        return {false, "desktop-file-validate is not installed (scripts/deps.sh installs it)"};
    const std::string command = "'" + tool + "' '" + path.string() + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return {false, "popen failed"};
    std::string output;
    char buffer[512];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) && WEXITSTATUS(status) == 0 && output.find("error") == std::string::npos, output};
}

class Installing : public ::testing::Test {
protected:
    fs::path home() const { return m_dir.path() / "home"; }
    fs::path config() const { return m_dir.path() / "config"; }
    fs::path entry() const { return config() / "autostart" / "org.sorvane.app.desktop"; }
    fs::path applications() const { return home() / "Applications"; }

    // A new start of the program: a fresh installer over the same files.
    std::unique_ptr<XdgInstaller> start(XdgInstaller::Launcher launch = {}) {
        XdgInstaller::Options options;
        options.environment = [this](const char* name) -> std::optional<std::string> {
            auto it = m_env.find(name);
            return it == m_env.end() ? std::nullopt : std::optional(it->second);
        };
        options.executable = m_executable;
        options.launch = std::move(launch);
        return std::make_unique<XdgInstaller>(m_defaults, m_alerts, std::move(options));
    }

    // A program file at `path` that writes its own path into the marker when run.
    void makeProgram(const fs::path& path, fs::perms mode = fs::perms(0755)) {
        writeFile(path, "#!/bin/sh\nprintf '%s' \"$0\" > '" + marker().string() + "'\n", mode);
    }
    fs::path marker() const { return m_dir.path() / "started"; }

    // Waits for the started program's marker (it runs on its own).
    std::optional<std::string> waitForMarker() {
        for (int i = 0; i < 500; ++i) {
            if (fs::exists(marker())) {
                std::string text = readAll(marker());
                if (!text.empty())
                    return text;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return std::nullopt;
    }

    TempDir m_dir;
    std::map<std::string, std::string> m_env{{"HOME", (m_dir.path() / "home").string()},
                                             {"XDG_CONFIG_HOME", (m_dir.path() / "config").string()},
                                             {"PATH", "/usr/bin:/bin"}};
    fs::path m_executable = m_dir.path() / "bin" / "sorvane";
    UserDefaultsFile m_defaults{m_dir.path() / "config" / "org.sorvane.app" / "defaults.json"};
    RecordingAlerts m_alerts;
    LogCapture m_log;
};

// ------------------------------------------------------------ launch at login

// The first start writes the entry once (whole, through a temporary file) and
// says so; later starts find it enabled and stay quiet.
TEST_F(Installing, TheFirstStartRegistersOnceAndLaterStartsStayQuiet) {
    makeProgram(m_executable);
    auto first = start();
    EXPECT_FALSE(first->isLaunchAtLoginEnabled());
    first->enableLaunchAtLoginByDefault();
    EXPECT_EQ(m_log.count("Sorvane: launch-at-login registered (default on)"), 1u);
    EXPECT_EQ(readAll(entry()), "[Desktop Entry]\n"
                                "Type=Application\n"
                                "Name=Sorvane\n"
                                "Comment=Sync your clipboard with your phone over Bluetooth\n"
                                "Exec=" + m_executable.string() + "\n"
                                "Icon=org.sorvane.app\n"
                                "Terminal=false\n"
                                "X-GNOME-Autostart-enabled=true\n");
    EXPECT_EQ(modeOf(entry()), 0644u);
    EXPECT_EQ(namesIn(entry().parent_path()), std::vector<std::string>{"org.sorvane.app.desktop"});
    EXPECT_TRUE(first->isLaunchAtLoginEnabled());
    const auto [valid, output] = validate(entry());
    EXPECT_TRUE(valid) << output;

    auto second = start();
    second->enableLaunchAtLoginByDefault();
    EXPECT_EQ(m_log.count("Sorvane: launch-at-login registered (default on)"), 1u);
    EXPECT_EQ(m_log.count("launch-at-login"), 1u);
    EXPECT_TRUE(second->isLaunchAtLoginEnabled());
}

// An opt-out holds at every start; the toggle adds and removes the entry.
TEST_F(Installing, AnOptOutHoldsAndTheToggleAddsAndRemovesTheEntry) {
    makeProgram(m_executable);
    m_defaults.set("launch_at_login_opted_out", true);
    start()->enableLaunchAtLoginByDefault();
    start()->enableLaunchAtLoginByDefault();
    EXPECT_FALSE(fs::exists(entry()));
    EXPECT_TRUE(m_log.lines().empty());

    auto installer = start();
    EXPECT_EQ(installer->setLaunchAtLogin(true), std::nullopt);
    EXPECT_TRUE(fs::exists(entry()));
    EXPECT_TRUE(installer->isLaunchAtLoginEnabled());
    EXPECT_EQ(installer->setLaunchAtLogin(false), std::nullopt);
    EXPECT_FALSE(fs::exists(entry()));
    EXPECT_FALSE(installer->isLaunchAtLoginEnabled());
    EXPECT_EQ(installer->setLaunchAtLogin(false), std::nullopt); // already off
    // A stored "false" (the user turned it back on) registers again.
    m_defaults.set("launch_at_login_opted_out", false);
    start()->enableLaunchAtLoginByDefault();
    EXPECT_EQ(m_log.count("Sorvane: launch-at-login registered (default on)"), 1u);
}

// A folder that cannot be written (here: the autostart folder is a file, which
// even root cannot write into) is reported with its reason; nothing is left.
TEST_F(Installing, ARegistrationThatCannotBeWrittenIsReported) {
    makeProgram(m_executable);
    writeFile(config() / "autostart", "not a folder");
    auto installer = start();
    installer->enableLaunchAtLoginByDefault();
    const auto lines = m_log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Sorvane: launch-at-login register failed: cannot create " +
                                 (config() / "autostart").string(), 0),
              0u)
        << lines[0];
    const auto failure = installer->setLaunchAtLogin(true);
    ASSERT_TRUE(failure.has_value());
    EXPECT_NE(failure->find((config() / "autostart").string()), std::string::npos) << *failure;
    EXPECT_FALSE(installer->isLaunchAtLoginEnabled());
    EXPECT_EQ(readAll(config() / "autostart"), "not a folder");

    // An entry that cannot be removed (a non-empty folder in its place).
    fs::remove(config() / "autostart");
    writeFile(entry() / "inside", "x");
    const auto removal = start()->setLaunchAtLogin(false);
    ASSERT_TRUE(removal.has_value());
    EXPECT_NE(removal->find("cannot remove " + entry().string()), std::string::npos) << *removal;
}

// Paths with spaces, quotes, $, backticks, backslashes and % are quoted so that
// a desktop reads back the same path, and the entry passes desktop-file-validate.
TEST_F(Installing, OddPathsAreQuotedSoTheDesktopReadsThemBack) {
    const std::vector<std::string> names = {
        "Sorvane.AppImage",
        "My Apps/Sorvane 1.AppImage",
        "quote\"d/it's.AppImage",
        "dollar$HOME/back`tick`.AppImage",
        "back\\slash/two\\\\ and\\s.AppImage",
        "percent%f/100%.AppImage",
        "semi;colon/(paren) <a>|b&c*?#~.AppImage",
    };
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        const fs::path program = m_dir.path() / "odd" / name;
        makeProgram(program);
        m_env["APPIMAGE"] = program.string();
        auto installer = start();
        EXPECT_EQ(installer->stablePath(), program);
        ASSERT_EQ(installer->setLaunchAtLogin(true), std::nullopt);
        const std::string text = readAll(entry());
        const auto exec = rawValue(text, "Exec");
        ASSERT_TRUE(exec.has_value());
        EXPECT_EQ(firstArgumentOf(*exec), program.string()) << *exec;
        EXPECT_TRUE(installer->isLaunchAtLoginEnabled());
        const auto [valid, output] = validate(entry());
        EXPECT_TRUE(valid) << output << "\n" << text;
    }
    // Spot checks of the written form.
    EXPECT_EQ(XdgInstaller::execValueFor("/a b/c"), "\"/a b/c\"");
    EXPECT_EQ(XdgInstaller::execValueFor("/a\\b"), "\"/a\\\\\\\\b\"");
    EXPECT_EQ(XdgInstaller::execValueFor("/x$y`z\""), "\"/x\\\\$y\\\\`z\\\\\"\"");
    EXPECT_EQ(XdgInstaller::execValueFor("/100%"), "/100%%");
}

// An entry switched off by the desktop, naming a program that is gone or not
// executable, or that is no desktop entry at all, counts as not enabled.
TEST_F(Installing, EntriesThatCannotStartTheProgramCountAsNotEnabled) {
    makeProgram(m_executable);
    writeFile(m_dir.path() / "plain", "text", fs::perms(0644));
    const std::string good = "[Desktop Entry]\nType=Application\nName=Sorvane\nExec=" + m_executable.string() + "\n";
    const std::vector<std::pair<std::string, bool>> cases = {
        {good, true},
        {good + "Hidden=true\n", false},
        {good + "Hidden=false\n", true},
        {good + "X-GNOME-Autostart-enabled=false\n", false},
        {"[Desktop Entry]\nType=Application\nExec=/nowhere/sorvane\n", false},
        {"[Desktop Entry]\nType=Application\nExec=" + (m_dir.path() / "plain").string() + "\n", false},
        {"[Desktop Entry]\nType=Application\nExec=\"" + m_executable.string() + "\n", false},
        {"[Desktop Entry]\nType=Application\nExec=sh -c true\n", true}, // found on PATH
        {"[Desktop Entry]\nType=Application\nExec=no-such-program-here\n", false},
        {"Exec=" + m_executable.string() + "\n", false},
        {"[Other]\nExec=" + m_executable.string() + "\n", false},
        {std::string("\0\1\2binary", 9), false},
    };
    for (const auto& [text, enabled] : cases) {
        SCOPED_TRACE(text);
        writeFile(entry(), text);
        EXPECT_EQ(start()->isLaunchAtLoginEnabled(), enabled);
    }
    // A switched-off entry is replaced by a working one at start-up.
    writeFile(entry(), good + "Hidden=true\n");
    start()->enableLaunchAtLoginByDefault();
    EXPECT_EQ(m_log.count("Sorvane: launch-at-login registered (default on)"), 1u);
    EXPECT_EQ(rawValue(readAll(entry()), "Hidden"), std::nullopt);
    EXPECT_TRUE(start()->isLaunchAtLoginEnabled());
}

// "In Applications": ~/Applications or a system prefix, for the AppImage or
// (without one) the executable.
TEST_F(Installing, InstalledInApplicationsMeansAHomeOrSystemPlace) {
    makeProgram(applications() / "Sorvane.AppImage");
    makeProgram(m_dir.path() / "Downloads" / "Sorvane.AppImage");
    m_env["APPIMAGE"] = (applications() / "Sorvane.AppImage").string();
    EXPECT_TRUE(start()->isInstalledInApplications());
    m_env["APPIMAGE"] = (m_dir.path() / "Downloads" / "Sorvane.AppImage").string();
    EXPECT_FALSE(start()->isInstalledInApplications());
    m_env["APPIMAGE"] = (m_dir.path() / "Downloads" / "missing.AppImage").string();
    for (const char* path : {"/usr/bin/sorvane", "/usr/local/bin/sorvane", "/opt/sorvane/sorvane"}) {
        m_executable = path;
        EXPECT_TRUE(start()->isInstalledInApplications()) << path;
    }
    for (const char* path : {"/usrx/bin/sorvane", "/home/someone/Applicationsx/sorvane", "/tmp/sorvane"}) {
        m_executable = path;
        EXPECT_FALSE(start()->isInstalledInApplications()) << path;
    }
}

// ------------------------------------------------------------ the move

class Moving : public Installing {
protected:
    void SetUp() override {
        makeProgram(appImage(), fs::perms(0700));
        m_env["APPIMAGE"] = appImage().string();
    }
    fs::path appImage() const { return m_dir.path() / "Downloads" / "Sorvane-x86_64.AppImage"; }
    fs::path target() const { return applications() / "Sorvane-x86_64.AppImage"; }
};

// Without an AppImage, or with one already in ~/Applications, nothing is offered.
TEST_F(Moving, NothingIsOfferedOutsideAnAppImageOrFromApplications) {
    makeProgram(target());
    // None, a folder, a file that is gone, a relative path, the copy in ~/Applications.
    for (const std::string& path :
         {std::string(), (m_dir.path() / "Downloads").string(),
          (m_dir.path() / "Downloads" / "gone.AppImage").string(),
          std::string("Downloads/Sorvane-x86_64.AppImage"), target().string()}) {
        if (path.empty())
            m_env.erase("APPIMAGE");
        else
            m_env["APPIMAGE"] = path;
        EXPECT_FALSE(start()->promptAndMoveIfNeeded()) << path;
    }
    EXPECT_TRUE(m_alerts.requests.empty());
    EXPECT_TRUE(m_alerts.errors.empty());
    EXPECT_TRUE(m_log.lines().empty());
    EXPECT_FALSE(fs::exists(marker()));
}

// The offer's texts; declining leaves everything as it was. Accepting, at the
// next start, copies the file whole with mode 0755 into a new ~/Applications and
// starts the copy there, which is not offered the move again.
TEST_F(Moving, DecliningDoesNothingAndAcceptingCopiesAndStartsTheCopy) {
    m_alerts.answer = false;
    EXPECT_FALSE(start()->promptAndMoveIfNeeded());
    ASSERT_EQ(m_alerts.requests.size(), 1u);
    EXPECT_EQ(m_alerts.requests[0].message, "Move Sorvane to Applications folder?");
    EXPECT_EQ(m_alerts.requests[0].informativeText,
              "Sorvane works best from the Applications folder \u2014 system permissions (Accessibility, Bluetooth) "
              "are keyed by binary path and are most reliable when Sorvane lives in ~/Applications. Move it now?");
    EXPECT_EQ(m_alerts.requests[0].actionButton, "Move to Applications Folder");
    EXPECT_FALSE(fs::exists(applications()));
    EXPECT_TRUE(fs::exists(appImage()));
    EXPECT_FALSE(fs::exists(marker()));

    m_alerts.answer = true;
    EXPECT_TRUE(start()->promptAndMoveIfNeeded());
    EXPECT_EQ(m_alerts.requests.size(), 2u);
    ASSERT_TRUE(fs::exists(target()));
    EXPECT_EQ(readAll(target()), readAll(appImage()));
    EXPECT_EQ(modeOf(target()), 0755u);
    EXPECT_EQ(namesIn(applications()), std::vector<std::string>{"Sorvane-x86_64.AppImage"});
    EXPECT_EQ(waitForMarker(), target().string());
    EXPECT_TRUE(m_alerts.errors.empty());
    EXPECT_EQ(m_log.count("Sorvane: moved to " + target().string()), 1u);
    m_env["APPIMAGE"] = target().string();
    EXPECT_FALSE(start()->promptAndMoveIfNeeded());
    EXPECT_EQ(m_alerts.requests.size(), 2u);
}

// A copy already in ~/Applications is replaced only when the user says so.
TEST_F(Moving, AnExistingCopyIsReplacedOnlyOnConsent) {
    writeFile(target(), "an older version", fs::perms(0755));
    m_alerts.answers = {true, false};
    EXPECT_FALSE(start()->promptAndMoveIfNeeded());
    ASSERT_EQ(m_alerts.requests.size(), 2u);
    EXPECT_EQ(m_alerts.requests[1].message, "Sorvane is already installed");
    EXPECT_EQ(m_alerts.requests[1].informativeText, "Replace the existing copy in ~/Applications with this version?");
    EXPECT_EQ(m_alerts.requests[1].actionButton, "Replace");
    EXPECT_EQ(readAll(target()), "an older version");
    EXPECT_FALSE(fs::exists(marker()));

    m_alerts.answers = {true, true};
    EXPECT_TRUE(start()->promptAndMoveIfNeeded());
    EXPECT_EQ(m_alerts.requests.size(), 4u);
    EXPECT_EQ(readAll(target()), readAll(appImage()));
    EXPECT_EQ(modeOf(target()), 0755u);
    EXPECT_EQ(waitForMarker(), target().string());
}

// A copy that fails, or a copy that cannot be started, shows why; this
// instance goes on where it is.
TEST_F(Moving, AFailedCopyOrStartShowsTheErrorAndStays) {
    writeFile(applications(), "a file where the folder belongs");
    m_alerts.answer = true;
    EXPECT_FALSE(start()->promptAndMoveIfNeeded());
    ASSERT_EQ(m_alerts.errors.size(), 1u);
    EXPECT_EQ(m_alerts.errors[0].first, "Couldn't move to Applications");
    EXPECT_EQ(m_alerts.errors[0].second.rfind("Couldn't copy Sorvane into ~/Applications.\n\n", 0),
              0u);
    EXPECT_NE(m_alerts.errors[0].second.find(applications().string()), std::string::npos)
        << m_alerts.errors[0].second;
    EXPECT_EQ(m_log.count("Sorvane: Couldn't move to Applications: "), 1u);
    EXPECT_EQ(readAll(applications()), "a file where the folder belongs");
    EXPECT_FALSE(fs::exists(marker()));

    fs::remove(applications());
    std::vector<std::string> launched;
    EXPECT_FALSE(start([&](const std::vector<std::string>& argv) -> std::optional<std::string> {
                     launched = argv;
                     return "cannot start it: Exec format error";
                 })->promptAndMoveIfNeeded());
    EXPECT_EQ(launched, std::vector<std::string>{target().string()});
    ASSERT_EQ(m_alerts.errors.size(), 2u);
    EXPECT_EQ(m_alerts.errors[1].first, "Couldn't move to Applications");
    EXPECT_NE(m_alerts.errors[1].second.find("Exec format error"), std::string::npos);
}

} // namespace
} // namespace sorvane
