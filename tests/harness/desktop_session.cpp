// Headless desktop session: Xvfb, HOME, a private session bus with GConf
// activation, the recording notification server and trayer, started in
// that order and stopped in reverse with bounded waits.
#include "desktop_session.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dbus/dbus.h>
#include <dirent.h>
#include <fcntl.h>
#include <json-c/json.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>

#include "dbus_handles.hpp"


namespace kv::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kNotificationsName[] = "org.freedesktop.Notifications";
constexpr char kTraySelection[] = "_NET_SYSTEM_TRAY_S0";
constexpr auto kStartTimeout = std::chrono::seconds(20);
constexpr auto kPollInterval = milliseconds(10);
const char* const kExportedNames[] = {"DISPLAY", "HOME", "DBUS_SESSION_BUS_ADDRESS"};

// Windows may vanish while they are looked at; Xlib's default handler
// would end the test process for that.
int ignore_x_error(Display*, XErrorEvent*) { return 0; }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<pid_t> all_processes() {
    std::vector<pid_t> pids;
    DIR* d = opendir("/proc");
    if (d == nullptr)
        return pids;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (pid > 0 && *end == '\0')
            pids.push_back(static_cast<pid_t>(pid));
    }
    closedir(d);
    return pids;
}

// State letter and parent of a process from /proc/PID/stat ('\0' when gone).
char process_state(pid_t pid, pid_t* ret_ppid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 > stat.size())
        return '\0';
    char state = '\0';
    int ppid = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2)
        return '\0';
    if (ret_ppid != nullptr)
        *ret_ppid = ppid;
    return state;
}

bool alive(pid_t pid) {
    const char state = process_state(pid, nullptr);
    return state != '\0' && state != 'Z' && state != 'X';
}

std::string json_string(json_object* o, const char* key) {
    json_object* v = nullptr;
    if (!json_object_object_get_ex(o, key, &v) || !json_object_is_type(v, json_type_string))
        return {};
    return json_object_get_string(v);
}

std::int64_t json_int(json_object* o, const char* key) {
    json_object* v = nullptr;
    if (!json_object_object_get_ex(o, key, &v) || !json_object_is_type(v, json_type_int))
        return 0;
    return json_object_get_int64(v);
}

RecordedNotification parse_record(json_object* o) {
    RecordedNotification n;
    n.app_name = json_string(o, "app_name");
    n.app_icon = json_string(o, "app_icon");
    n.summary = json_string(o, "summary");
    n.body = json_string(o, "body");
    n.replaces_id = static_cast<std::uint32_t>(json_int(o, "replaces_id"));
    n.id = static_cast<std::uint32_t>(json_int(o, "id"));
    n.expire_timeout = static_cast<std::int32_t>(json_int(o, "expire_timeout"));
    json_object* actions = nullptr;
    if (json_object_object_get_ex(o, "actions", &actions) && json_object_is_type(actions, json_type_array)) {
        for (std::size_t i = 0; i < json_object_array_length(actions); ++i)
            n.actions.emplace_back(json_object_get_string(json_object_array_get_idx(actions, i)));
    }
    json_object* hints = nullptr;
    if (json_object_object_get_ex(o, "hints", &hints) && json_object_is_type(hints, json_type_object)) {
        json_object_object_foreach(hints, key, value) n.hints[key] = json_object_get_string(value);
    }
    return n;
}

// True once `name` has an owner on the bus at `address`, within the timeout.
bool wait_name_owned(const std::string& address, const char* name, const ChildProcess& owner,
                     Clock::time_point deadline) {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* c = dbus_connection_open_private(address.c_str(), &error);
    if (c == nullptr || !dbus_bus_register(c, &error)) {
        dbus_error_free(&error);
        close_private_connection(c);
        return false;
    }
    dbus_connection_set_exit_on_disconnect(c, FALSE);
    bool owned = false;
    while (!owned && Clock::now() < deadline && owner.pid() > 0 && alive(owner.pid())) {
        owned = dbus_bus_name_has_owner(c, name, nullptr);
        if (!owned)
            std::this_thread::sleep_for(kPollInterval);
    }
    close_private_connection(c);
    return owned;
}

void collect_embedded(Display* x, Window w, Window root, Atom xembed_info, std::vector<DesktopSession::Rect>& out) {
    Window root_return = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (XQueryTree(x, w, &root_return, &parent, &children, &count) == 0)
        return;
    for (unsigned i = 0; i < count; ++i) {
        const Window child = children[i];
        XWindowAttributes attrs;
        if (XGetWindowAttributes(x, child, &attrs) == 0 || attrs.map_state != IsViewable)
            continue;
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        const bool is_client = w != root &&
                               XGetWindowProperty(x, child, xembed_info, 0, 2, False, AnyPropertyType, &type,
                                                  &format, &items, &after, &data) == Success &&
                               type != None;
        if (data != nullptr)
            XFree(data);
        if (is_client) {
            int rx = 0, ry = 0;
            Window unused = 0;
            if (XTranslateCoordinates(x, child, root, 0, 0, &rx, &ry, &unused) != 0)
                out.push_back({rx, ry, attrs.width, attrs.height});
            continue;
        }
        collect_embedded(x, child, root, xembed_info, out);
    }
    if (children != nullptr)
        XFree(children);
}

}  // namespace

std::vector<pid_t> descendant_processes(pid_t ancestor) {
    std::map<pid_t, pid_t> parent_of;
    for (pid_t pid : all_processes()) {
        pid_t ppid = 0;
        if (const char state = process_state(pid, &ppid); state != '\0' && state != 'Z' && state != 'X')
            parent_of[pid] = ppid;
    }
    std::vector<pid_t> out;
    for (const auto& [pid, ppid] : parent_of) {
        for (pid_t p = ppid; p > 0;) {
            if (p == ancestor) {
                out.push_back(pid);
                break;
            }
            const auto it = parent_of.find(p);
            if (it == parent_of.end())
                break;
            p = it->second;
        }
    }
    return out;
}

std::vector<pid_t> bus_activated_processes(const std::string& address) {
    const std::string mark = "DBUS_STARTER_ADDRESS=" + address;
    std::vector<pid_t> out;
    for (pid_t pid : all_processes()) {
        const std::string env = read_file("/proc/" + std::to_string(pid) + "/environ");
        std::size_t at = 0;
        while (at < env.size()) {
            const std::size_t end = std::min(env.find('\0', at), env.size());
            const std::string_view entry(env.data() + at, end - at);
            if (entry == mark || (entry.starts_with(mark) && entry[mark.size()] == ',')) {
                if (alive(pid))
                    out.push_back(pid);
                break;
            }
            at = end + 1;
        }
    }
    return out;
}

std::string process_name(pid_t pid) {
    std::string comm = read_file("/proc/" + std::to_string(pid) + "/comm");
    if (!comm.empty() && comm.back() == '\n')
        comm.pop_back();
    return comm;
}

DesktopSession::DesktopSession(DesktopOptions options) : options_(std::move(options)) {}

DesktopSession::~DesktopSession() { stop(); }

const std::string& DesktopSession::session_bus_address() const {
    static const std::string kNone;
    return bus_ ? bus_->address() : kNone;
}

std::vector<std::string> DesktopSession::child_env() const {
    return {"DISPLAY=" + display_, "HOME=" + home_, "DBUS_SESSION_BUS_ADDRESS=" + session_bus_address(),
            "LANG=C.UTF-8", "LANGUAGE=en"};
}

int DesktopSession::start() {
    if (started_)
        return 0;
    started_ = true;
    for (const char* name : kExportedNames) {
        const char* v = getenv(name);
        saved_env_[name] = v != nullptr ? v : std::string(1, '\0');
    }
    dir_ = std::make_unique<TempDir>("kvdesktop");
    home_ = dir_->file("home");
    notification_log_ = dir_->file("notifications.jsonl");
    if (mkdir(home_.c_str(), 0700) != 0) {
        const int e = errno;
        stop();
        return -e;
    }
    int r = start_xvfb();
    if (r == 0) {
        // The bus passes its environment to the services it activates:
        // the GConf daemon finds its files under this HOME.
        setenv("HOME", home_.c_str(), 1);
        bus_ = std::make_unique<PrivateBus>(PrivateBus::Kind::session);
        r = bus_->start();
    }
    if (r == 0 && options_.notification_server)
        r = start_notification_server();
    if (r == 0 && options_.tray_host)
        r = start_tray_host();
    if (r != 0)
        stop();
    return r;
}

int DesktopSession::start_xvfb() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -errno;
    const std::string screen = std::to_string(options_.width) + "x" + std::to_string(options_.height) + "x24";
    RunOptions run;
    run.fd3 = fds[1];
    const bool spawned = xvfb_.start(
        {"/usr/bin/Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-noreset", "-screen", "0", screen}, run);
    close(fds[1]);
    if (!spawned) {
        close(fds[0]);
        return -ECHILD;
    }
    // Xvfb writes the display number it chose once it accepts connections.
    std::string number;
    const auto deadline = Clock::now() + kStartTimeout;
    while (number.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char buf[32];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        number.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos)
        return -ETIMEDOUT;
    number.resize(number.find('\n'));
    display_ = ":" + number;
    setenv("DISPLAY", display_.c_str(), 1);
    XSetErrorHandler(ignore_x_error);
    x_ = XOpenDisplay(display_.c_str());
    return x_ != nullptr ? 0 : -ECONNREFUSED;
}

int DesktopSession::start_notification_server() {
    std::vector<std::string> argv = {KV_NOTIFICATION_SERVER, "--log", notification_log_};
    for (const auto& cap : options_.notification_capabilities) {
        argv.emplace_back("--capability");
        argv.push_back(cap);
    }
    RunOptions run;
    run.extra_env = child_env();
    if (!notification_server_.start(argv, run))
        return -ECHILD;
    if (!wait_name_owned(session_bus_address(), kNotificationsName, notification_server_,
                         Clock::now() + kStartTimeout))
        return -ETIMEDOUT;
    return 0;
}

int DesktopSession::start_tray_host() {
    RunOptions run;
    run.extra_env = child_env();
    if (!tray_host_.start({"/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                           "--height", "24", "--SetDockType", "true", "--SetPartialStrut", "true",
                           "--transparent", "true", "--alpha", "0", "--tint", "0x303030", "--expand", "true",
                           "--iconspacing", "2"},
                          run))
        return -ECHILD;
    const Atom selection = XInternAtom(x_, kTraySelection, False);
    const auto deadline = Clock::now() + kStartTimeout;
    while (XGetSelectionOwner(x_, selection) == None) {
        if (Clock::now() >= deadline || !alive(tray_host_.pid()))
            return -ETIMEDOUT;
        std::this_thread::sleep_for(kPollInterval);
    }
    return 0;
}

void DesktopSession::stop_bus_activated_services() {
    if (!bus_ || !bus_->running())
        return;
    std::vector<pid_t> pids = bus_activated_processes(bus_->address());
    for (pid_t pid : pids)
        kill(pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    for (;;) {
        std::erase_if(pids, [](pid_t pid) { return !alive(pid); });
        if (pids.empty())
            return;
        if (Clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(milliseconds(5));
    }
    for (pid_t pid : pids)
        kill(pid, SIGKILL);
    const auto kill_deadline = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < kill_deadline && std::any_of(pids.begin(), pids.end(), alive))
        std::this_thread::sleep_for(milliseconds(5));
}

void DesktopSession::restore_environment() {
    // Only what still holds this session's values: another session started
    // later may own them now.
    const std::map<std::string, std::string> ours = {
        {"DISPLAY", display_}, {"HOME", home_}, {"DBUS_SESSION_BUS_ADDRESS", session_bus_address()}};
    for (const auto& [name, saved] : saved_env_) {
        const char* now = getenv(name.c_str());
        if (now == nullptr || ours.at(name).empty() || ours.at(name) != now)
            continue;
        if (saved.size() == 1 && saved[0] == '\0')
            unsetenv(name.c_str());
        else
            setenv(name.c_str(), saved.c_str(), 1);
    }
    saved_env_.clear();
}

void DesktopSession::stop() {
    if (!started_)
        return;
    tray_host_.stop();
    notification_server_.stop();
    stop_bus_activated_services();
    restore_environment();
    if (bus_)
        bus_->stop();
    bus_.reset();
    if (x_ != nullptr) {
        XCloseDisplay(x_);
        x_ = nullptr;
    }
    xvfb_.stop();
    dir_.reset();
    display_.clear();
    home_.clear();
    started_ = false;
}

std::string DesktopSession::gconf_get(const std::string& key) const {
    RunOptions run;
    run.extra_env = child_env();
    const RunResult r = run_program({"/usr/bin/gconftool-2", "--get", key}, run);
    if (r.exit_code != 0)
        return {};
    std::string out = r.out;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

int DesktopSession::gconf_set_bool(const std::string& key, bool value) const {
    RunOptions run;
    run.extra_env = child_env();
    const RunResult r =
        run_program({"/usr/bin/gconftool-2", "--type", "bool", "--set", key, value ? "true" : "false"}, run);
    return r.exit_code == 0 ? 0 : -EIO;
}

int DesktopSession::gconf_unset(const std::string& key) const {
    RunOptions run;
    run.extra_env = child_env();
    const RunResult r = run_program({"/usr/bin/gconftool-2", "--unset", key}, run);
    return r.exit_code == 0 ? 0 : -EIO;
}

std::vector<RecordedNotification> DesktopSession::notifications() const {
    std::vector<RecordedNotification> out;
    std::ifstream in(notification_log_);
    std::string line;
    while (std::getline(in, line)) {
        json_object* o = json_tokener_parse(line.c_str());
        if (o != nullptr && json_object_is_type(o, json_type_object))
            out.push_back(parse_record(o));
        if (o != nullptr)
            json_object_put(o);
    }
    return out;
}

bool DesktopSession::wait_notifications(std::size_t count, std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (notifications().size() >= count)
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
}

int DesktopSession::screenshot(const std::string& png_path) const {
    if (display_.empty())
        return -ENOTCONN;
    RunOptions run;
    run.extra_env = child_env();
    const RunResult r = run_program({"/usr/bin/import", "-display", display_, "-window", "root", "png:" + png_path}, run);
    return r.exit_code == 0 ? 0 : -EIO;
}

std::vector<DesktopSession::Rect> DesktopSession::embedded_tray_icons() const {
    std::vector<Rect> out;
    if (x_ == nullptr)
        return out;
    const Window root = DefaultRootWindow(x_);
    collect_embedded(x_, root, root, XInternAtom(x_, "_XEMBED_INFO", False), out);
    std::sort(out.begin(), out.end(), [](const Rect& a, const Rect& b) { return a.x < b.x; });
    return out;
}

std::vector<DesktopSession::Rect> DesktopSession::wait_embedded_tray_icons(std::size_t count,
                                                                          milliseconds timeout) const {
    constexpr int kLaidOut = 8;
    constexpr auto kSettled = milliseconds(250);
    const auto same = [](const std::vector<Rect>& a, const std::vector<Rect>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Rect& p, const Rect& q) {
            return p.x == q.x && p.y == q.y && p.width == q.width && p.height == q.height;
        });
    };
    const auto deadline = Clock::now() + timeout;
    std::vector<Rect> last;
    auto last_change = Clock::now();
    for (;;) {
        std::vector<Rect> icons = embedded_tray_icons();
        const auto now = Clock::now();
        if (!same(icons, last)) {
            last = icons;
            last_change = now;
        }
        const bool laid_out = std::all_of(icons.begin(), icons.end(), [](const Rect& r) {
            return r.width >= kLaidOut && r.height >= kLaidOut;
        });
        if ((icons.size() >= count && laid_out && now - last_change >= kSettled) || now >= deadline)
            return icons;
        std::this_thread::sleep_for(milliseconds(20));
    }
}

int DesktopSession::pixel(int x, int y, std::uint8_t (&ret_rgb)[3]) const {
    if (x_ == nullptr)
        return -ENOTCONN;
    if (x < 0 || y < 0 || x >= options_.width || y >= options_.height)
        return -EINVAL;
    XImage* image = XGetImage(x_, DefaultRootWindow(x_), x, y, 1, 1, AllPlanes, ZPixmap);
    if (image == nullptr)
        return -EIO;
    const unsigned long value = XGetPixel(image, 0, 0);
    const unsigned long masks[3] = {image->red_mask, image->green_mask, image->blue_mask};
    XDestroyImage(image);
    for (int i = 0; i < 3; ++i) {
        unsigned long mask = masks[i];
        if (mask == 0)
            return -EIO;
        int shift = 0;
        while ((mask & 1) == 0) {
            mask >>= 1;
            ++shift;
        }
        ret_rgb[i] = static_cast<std::uint8_t>(((value >> shift) & mask) * 255 / mask);
    }
    return 0;
}

}  // namespace kv::test
