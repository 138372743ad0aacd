// The real sorvane program on a private Xvfb with openbox and private D-Bus
// buses, with a seeded history: how long `sorvane --toggle-panel` takes to get
// the panel mapped, and what the program costs while its panel is hidden.
// Prints its figures; plain main.
//
//   panel_open_bench [opens per history, default 10] [idle seconds, default 10]
//
// The open time runs from just before the command is exec'd (the child stamps
// the clock, then execs) to the first MapNotify, seen on the root window, of a
// window of the sorvane process. Idle CPU is utime + stime from /proc/<pid>/stat.
#include "testing/child-process/ChildProcess.h"
#include "testing/x-session/XSession.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <openssl/sha.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef SORVANE_PROGRAM
#define SORVANE_PROGRAM "sorvane"
#endif

namespace {

namespace fs = std::filesystem;
using namespace sorvane::testing;
using std::chrono::milliseconds;
using std::chrono::seconds;

int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int64_t nowMs() {
    return std::chrono::duration_cast<milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The whole of a small file (empty when it cannot be read).
std::string readFile(const fs::path& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

std::string shortHash(const std::string& text) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", digest[0], digest[1], digest[2], digest[3]);
    return hex;
}

// Prose-like text of `size` bytes, different for every `index`, so the search
// index and the list rows see varied words rather than one repeated string.
std::string entryText(size_t index, size_t size, std::mt19937& rng) {
    static const char* const words[] = {
        "clipboard", "phone",  "meeting", "invoice", "https://example.org/a?b=c", "alpha",
        "password",  "report", "draft",   "kernel",  "deadline",                  "42",
        "coffee",    "sync",   "desktop", "notes",   "Grüße",                     "build"};
    std::uniform_int_distribution<size_t> pick(0, std::size(words) - 1);
    std::string text = "entry " + std::to_string(index) + ":";
    size_t sinceBreak = 0;
    while (text.size() < size) {
        const std::string word = words[pick(rng)];
        text += sinceBreak > 70 ? '\n' : ' ';
        sinceBreak = sinceBreak > 70 ? 0 : sinceBreak + word.size() + 1;
        text += word;
    }
    // Cut back to `size` without splitting a UTF-8 sequence.
    size_t cut = std::min(size, text.size());
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    text.resize(cut);
    return text;
}

// history.json as the program stores it: newest first.
void writeHistory(const fs::path& file, size_t count, size_t size) {
    std::mt19937 rng(static_cast<unsigned>(count * 31 + size));
    const int64_t newest = nowMs();
    nlohmann::json entries = nlohmann::json::array();
    for (size_t i = 0; i < count; ++i) {
        const std::string text = entryText(count - i, size, rng);
        const int64_t timestamp = newest - int64_t(i) * 1000;
        const std::string hash = shortHash(text);
        entries.push_back({{"direction", i % 3 == 0 ? "received" : "sent"},
                           {"hash", hash},
                           {"id", hash + ":" + std::to_string(timestamp)},
                           {"text", text},
                           {"timestamp", timestamp}});
    }
    const nlohmann::json document = {{"auto_apply_incoming", true},
                                     {"entries", std::move(entries)},
                                     {"max_entries", std::max<size_t>(count, 50)},
                                     {"page_size", 25}};
    fs::create_directories(file.parent_path());
    fs::permissions(file.parent_path(), fs::perms::owner_all);
    std::ofstream(file) << document.dump(4);
}

// A private dbus-daemon from a config file that starts no services.
class PrivateBus {
public:
    explicit PrivateBus(const fs::path& dir) {
        const fs::path config = dir / "bus.conf";
        std::ofstream(config)
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>unix:dir="
            << dir.string()
            << "</listen><policy context=\"default\">"
               "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>\n";
        ChildProcess::Options options;
        options.outputFd = 3;
        m_daemon = std::make_unique<ChildProcess>(
            std::vector<std::string>{"dbus-daemon", "--config-file=" + config.string(),
                                     "--print-address=3", "--nofork", "--nosyslog"},
            options);
        if (auto line = m_daemon->readLine(seconds(10)))
            m_address = *line;
    }
    const std::string& address() const { return m_address; }

private:
    std::unique_ptr<ChildProcess> m_daemon;
    std::string m_address;
};

// utime + stime of `pid` in seconds, all threads; nullopt once it is gone.
std::optional<double> cpuSeconds(pid_t pid) {
    const std::string text = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t nameEnd = text.rfind(')');
    if (nameEnd == std::string::npos)
        return std::nullopt;
    std::istringstream fields(text.substr(nameEnd + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // After the command name: state is field 3, utime 14, stime 15.
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n == 14)
            utime = std::stoull(field);
        if (n == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// Our own X connection watching maps and unmaps of the root window's children.
class MapWatcher {
public:
    explicit MapWatcher(const std::string& display) : m_display(XOpenDisplay(display.c_str())) {
        if (!m_display)
            return;
        m_pidAtom = XInternAtom(m_display, "_NET_WM_PID", False);
        XSelectInput(m_display, DefaultRootWindow(m_display), SubstructureNotifyMask);
        XSync(m_display, False);
    }
    ~MapWatcher() {
        if (m_display)
            XCloseDisplay(m_display);
    }
    MapWatcher(const MapWatcher&) = delete;
    MapWatcher& operator=(const MapWatcher&) = delete;
    bool open() const { return m_display != nullptr; }

    struct Event {
        int type;
        Window window;
        int64_t atNs;
    };

    // The next map or unmap of a top-level window (a frame under openbox)
    // holding a window of `pid`; nullopt on timeout.
    std::optional<Event> next(pid_t pid, milliseconds timeout) {
        const int64_t until = monotonicNs() + timeout.count() * 1'000'000;
        for (;;) {
            while (XPending(m_display) > 0) {
                XEvent e;
                XNextEvent(m_display, &e);
                const int64_t at = monotonicNs();
                if (e.type == MapNotify && belongsTo(e.xmap.window, pid, 2))
                    return Event{MapNotify, e.xmap.window, at};
                if (e.type == UnmapNotify || e.type == DestroyNotify) {
                    const Window w = e.type == UnmapNotify ? e.xunmap.window
                                                           : e.xdestroywindow.window;
                    return Event{e.type, w, at};
                }
            }
            const int64_t left = until - monotonicNs();
            if (left <= 0)
                return std::nullopt;
            pollfd p{ConnectionNumber(m_display), POLLIN, 0};
            poll(&p, 1, int(left / 1'000'000) + 1);
        }
    }

    void drain() {
        while (XPending(m_display) > 0) {
            XEvent e;
            XNextEvent(m_display, &e);
        }
    }

private:
    // True when `w` or a window below it, `depth` levels down, has the
    // process's _NET_WM_PID or the WM_CLASS "sorvane".
    bool belongsTo(Window w, pid_t pid, int depth) {
        Atom type;
        int format;
        unsigned long items, after;
        unsigned char* data = nullptr;
        bool mine = false;
        if (XGetWindowProperty(m_display, w, m_pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                               &items, &after, &data) == Success &&
            data && items == 1 && format == 32)
            mine = pid_t(*reinterpret_cast<unsigned long*>(data)) == pid;
        if (data)
            XFree(data);
        XClassHint hint{};
        if (!mine && XGetClassHint(m_display, w, &hint)) {
            mine = (hint.res_name && std::string(hint.res_name) == "sorvane") ||
                   (hint.res_class && std::string(hint.res_class) == "sorvane");
            XFree(hint.res_name);
            XFree(hint.res_class);
        }
        if (mine || depth == 0)
            return mine;
        Window root, parent, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(m_display, w, &root, &parent, &children, &count))
            return false;
        for (unsigned i = 0; i < count && !mine; ++i)
            mine = belongsTo(children[i], pid, depth - 1);
        if (children)
            XFree(children);
        return mine;
    }

    Display* m_display;
    Atom m_pidAtom = None;
};

// Runs `program --toggle-panel`; the child writes the monotonic clock just
// before exec. Returns that time and the command's exit status.
struct Toggle {
    int64_t execAtNs = 0;
    std::optional<int> status;
};
Toggle toggle(const std::string& program, const EnvChanges& env) {
    // Everything the child touches is prepared here: it only stamps and execs.
    std::vector<std::string> argv{program, "--toggle-panel"};
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        if (!env.contains(entry.substr(0, entry.find('='))))
            environment.push_back(entry);
    }
    for (const auto& [name, value] : env)
        if (value)
            environment.push_back(name + "=" + *value);
    std::vector<char*> argp, envp;
    for (auto& a : argv)
        argp.push_back(a.data());
    argp.push_back(nullptr);
    for (auto& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    ChildProcess child([&](int out) {
        char stamp[32];
        const int n = std::snprintf(stamp, sizeof stamp, "%lld\n",
                                    static_cast<long long>(monotonicNs()));
        writeAll(out, std::string_view(stamp, size_t(n)));
        execve(argp[0], argp.data(), envp.data()); // the pipe closes on exec
        return 127;
    });
    Toggle result;
    if (auto line = child.readLine(seconds(5)))
        result.execAtNs = std::stoll(*line);
    result.status = child.wait(seconds(10));
    return result;
}

struct Scenario {
    const char* name;
    size_t count;
    size_t size;
    double openTargetMs; // 0: none
};

struct Result {
    std::string name;
    double readyS = 0;
    double startupCpuS = -1; // all the CPU it used up to the first idle window
    std::vector<double> opensMs;
    double idleStartPct = -1;
    double idleAfterPct = -1;
    std::vector<std::string> notes;
};

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// CPU of `pid` over `window`, as a percentage of one core.
double idleCpuPct(pid_t pid, seconds window) {
    const auto before = cpuSeconds(pid);
    const int64_t start = monotonicNs();
    std::this_thread::sleep_for(window);
    const auto after = cpuSeconds(pid);
    const double wall = double(monotonicNs() - start) / 1e9;
    if (!before || !after)
        return -1;
    return (*after - *before) / wall * 100.0;
}

Result runScenario(const Scenario& s, const std::string& program, const XSession& x,
                   MapWatcher& maps, const EnvChanges& buses, int opens, seconds idle) {
    Result r;
    r.name = s.name;
    char dirTemplate[] = "/tmp/sorvane-panel-bench-XXXXXX";
    const fs::path work = mkdtemp(dirTemplate);
    writeHistory(work / "data" / "org.sorvane.app" / "history.json", s.count, s.size);

    EnvChanges env = buses;
    env["DISPLAY"] = x.display();
    env["XDG_DATA_HOME"] = (work / "data").string();
    env["XDG_CONFIG_HOME"] = (work / "config").string();
    env["WAYLAND_DISPLAY"] = std::nullopt;
    env["QT_QPA_PLATFORM"] = std::nullopt;
    ChildProcess::Options options;
    options.env = env;
    options.logFile = (work / "sorvane.log").string();
    const int64_t startedAt = monotonicNs();
    ChildProcess sorvane({program}, options);
    const auto logHas = [&](const std::string& text) {
        return readFile(work / "sorvane.log").find(text) != std::string::npos;
    };
    if (!sorvane.started() ||
        !eventually([&] { return logHas("Sorvane: ready") || sorvane.wait(milliseconds(0)); },
                    seconds(120)) ||
        !logHas("Sorvane: ready")) {
        r.notes.push_back("sorvane never got ready; log in " + (work / "sorvane.log").string());
        return r;
    }
    r.readyS = double(monotonicNs() - startedAt) / 1e9;
    std::fprintf(stderr, "  ready after %.2f s; idle...\n", r.readyS);

    // Start-up settles: the history is loaded and indexed, the bus name taken.
    std::this_thread::sleep_for(seconds(3));
    r.startupCpuS = cpuSeconds(sorvane.pid()).value_or(-1);
    r.idleStartPct = idleCpuPct(sorvane.pid(), idle);

    std::fprintf(stderr, "  opening and closing the panel...\n");
    maps.drain();
    for (int run = 0; run < opens; ++run) {
        const Toggle opening = toggle(program, env);
        if (opening.status != 0) {
            r.notes.push_back("sorvane --toggle-panel exited with " +
                              (opening.status ? std::to_string(*opening.status) : "a timeout"));
            break;
        }
        std::optional<MapWatcher::Event> mapped;
        while (auto e = maps.next(sorvane.pid(), seconds(10))) {
            if (e->type == MapNotify) {
                mapped = e;
                break;
            }
        }
        if (!mapped) {
            r.notes.push_back("run " + std::to_string(run + 1) + ": the panel was not mapped within 10 s");
            break;
        }
        r.opensMs.push_back(double(mapped->atNs - opening.execAtNs) / 1e6);

        // Close it, and wait until its window is gone from the screen.
        const Toggle closing = toggle(program, env);
        bool unmapped = false;
        while (auto e = maps.next(sorvane.pid(), seconds(5))) {
            if (e->type != MapNotify && e->window == mapped->window) {
                unmapped = true;
                break;
            }
        }
        if (closing.status != 0 || !unmapped) {
            r.notes.push_back("run " + std::to_string(run + 1) + ": the panel did not close on toggle");
            break;
        }
        std::this_thread::sleep_for(milliseconds(300));
        maps.drain();
    }

    std::fprintf(stderr, "  idle again...\n");
    std::this_thread::sleep_for(seconds(2));
    r.idleAfterPct = idleCpuPct(sorvane.pid(), idle);

    sorvane.stop(); // SIGTERM: an orderly quit that gives the bus name back
    std::error_code ignored;
    fs::remove_all(work, ignored);
    return r;
}

// `value` with `decimals` digits after the point, then `unit`.
std::string fmt(double value, int decimals, const char* unit = "") {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f%s", decimals, value, unit);
    return buf;
}

} // namespace

int main(int argc, char** argv) {
    const int opens = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const seconds idle(argc > 2 ? std::max(1, std::atoi(argv[2])) : 10);
    const std::string program = SORVANE_PROGRAM;
    if (access(program.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "panel_open_bench: %s is not built\n", program.c_str());
        return 1;
    }
    for (const char* tool : {"dbus-daemon", "Xvfb", "openbox"})
        if (!findProgram(tool)) {
            std::fprintf(stderr, "panel_open_bench: %s is missing (scripts/deps.sh installs it)\n", tool);
            return 1;
        }

    XSession x;
    if (!x.running()) {
        std::fprintf(stderr, "panel_open_bench: %s\n", x.error().c_str());
        return 1;
    }
    char dirTemplate[] = "/tmp/sorvane-panel-bench-bus-XXXXXX";
    const fs::path busDir = mkdtemp(dirTemplate);
    fs::create_directories(busDir / "system");
    fs::create_directories(busDir / "session");
    // No bluetoothd answers on this system bus: the program runs with Bluetooth off.
    PrivateBus systemBus(busDir / "system");
    PrivateBus sessionBus(busDir / "session");
    if (systemBus.address().empty() || sessionBus.address().empty()) {
        std::fprintf(stderr, "panel_open_bench: a private dbus-daemon did not start\n");
        return 1;
    }
    const EnvChanges buses{{"DBUS_SYSTEM_BUS_ADDRESS", systemBus.address()},
                           {"DBUS_SESSION_BUS_ADDRESS", sessionBus.address()}};
    MapWatcher maps(x.display());
    if (!maps.open()) {
        std::fprintf(stderr, "panel_open_bench: cannot open %s\n", x.display().c_str());
        return 1;
    }

    const Scenario scenarios[] = {{"200 x 1 KiB", 200, 1024, 150},
                                  {"200 x 100 KiB", 200, 100 * 1024, 150},
                                  {"10000 x 100 B", 10000, 100, 0}};
    std::vector<Result> results;
    for (const auto& s : scenarios) {
        std::fprintf(stderr, "panel_open_bench: %s...\n", s.name);
        results.push_back(runScenario(s, program, x, maps, buses, opens, idle));
    }

    std::printf("\nsorvane --toggle-panel to panel mapped (%d opens each; Xvfb + openbox),\n"
                "and idle CPU with the panel hidden over %lld s (%% of one core)\n\n",
                opens, static_cast<long long>(idle.count()));
    std::printf("%-15s %9s %9s %11s %9s %9s %14s %16s %7s\n", "history", "ready s", "cpu s", "open med ms",
                "max ms", "target", "idle CPU start", "idle after opens", "target");
    for (size_t i = 0; i < results.size(); ++i) {
        const auto& r = results[i];
        const double med = median(r.opensMs);
        const double max =
            r.opensMs.empty() ? 0 : *std::max_element(r.opensMs.begin(), r.opensMs.end());
        const double target = scenarios[i].openTargetMs;
        std::printf("%-15s %9s %9s %11s %9s %9s %14s %16s %7s\n", r.name.c_str(),
                    fmt(r.readyS, 2).c_str(), fmt(r.startupCpuS, 2).c_str(),
                    r.opensMs.empty() ? "-" : fmt(med, 1).c_str(),
                    r.opensMs.empty() ? "-" : fmt(max, 1).c_str(),
                    target > 0 ? ("< " + fmt(target, 0)).c_str() : "-",
                    r.idleStartPct < 0 ? "-" : fmt(r.idleStartPct, 2, " %").c_str(),
                    r.idleAfterPct < 0 ? "-" : fmt(r.idleAfterPct, 2, " %").c_str(), "< 0.5 %");
    }
    std::printf("\nready s: start to \"Sorvane: ready\"; cpu s: CPU used in start-up and the 3 s after.\n"
                "Idle CPU counts clock ticks: one tick over the window is %.2f %%.\n\n",
                100.0 / double(sysconf(_SC_CLK_TCK)) / double(idle.count()));
    for (const auto& r : results) {
        std::string runs;
        for (double ms : r.opensMs)
            runs += " " + fmt(ms, 1);
        std::printf("%-15s opens ms:%s\n", r.name.c_str(), runs.c_str());
        for (const auto& note : r.notes)
            std::printf("%-15s note: %s\n", r.name.c_str(), note.c_str());
    }
    std::error_code ignored;
    fs::remove_all(busDir, ignored);
    return 0;
}
