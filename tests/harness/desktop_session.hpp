// A headless desktop session for tests of desktop programs: Xvfb on a free
// display, a private session bus that can activate the GConf daemon, the
// recording notification server and a tray host (trayer), plus the X and
// GConf probes tests check the desktop with.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "private_bus.hpp"
#include "process.hpp"

typedef struct _XDisplay Display;

namespace kv::test {

struct DesktopOptions {
    int width = 1024, height = 768;
    bool tray_host = true;                 // trayer, its tray selection owned before start() returns
    bool notification_server = true;       // the recording server on the session bus
    std::vector<std::string> notification_capabilities = {"body", "actions"};  // add "body-markup" to test escaping
};

struct RecordedNotification {
    std::string app_name, app_icon, summary, body;
    std::uint32_t replaces_id = 0, id = 0;
    std::int32_t expire_timeout = 0;
    std::vector<std::string> actions;
    std::map<std::string, std::string> hints;  // name -> value rendered as text
};

class DesktopSession {
public:
    explicit DesktopSession(DesktopOptions options = {});
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;
    ~DesktopSession();

    // Starts, in this order: Xvfb (DISPLAY exported here too), a fresh HOME
    // (exported here too), the session bus (DBUS_SESSION_BUS_ADDRESS
    // exported), the notification server owning its name, trayer owning the
    // tray selection. 0 or a negative errno; on failure everything started
    // so far is stopped again.
    int start();
    // Stops everything it started, and everything its bus activated, with
    // bounded waits. Idempotent.
    void stop();

    const std::string& display() const { return display_; }  // ":N"
    const std::string& home() const { return home_; }
    const std::string& session_bus_address() const;
    // DISPLAY, HOME and DBUS_SESSION_BUS_ADDRESS for a child such as the
    // tray, and an English UTF-8 language as a desktop session has (the
    // machine may have no locale but C.UTF-8; LANGUAGE picks the catalogue).
    std::vector<std::string> child_env() const;

    // GConf through gconftool-2 on this session bus; gconf_get gives
    // "true"/"false" (or the value's text), "" when unset.
    std::string gconf_get(const std::string& key) const;
    int gconf_set_bool(const std::string& key, bool value) const;
    int gconf_unset(const std::string& key) const;

    std::vector<RecordedNotification> notifications() const;
    bool wait_notifications(std::size_t count, std::chrono::milliseconds timeout) const;

    // The whole screen as PNG.
    int screenshot(const std::string& png_path) const;

    // Geometry, in root coordinates, of every icon window embedded in the
    // tray host (a mapped XEmbed client below a socket), left to right;
    // empty when none is embedded.
    struct Rect {
        int x, y, width, height;
    };
    std::vector<Rect> embedded_tray_icons() const;
    // Waits until at least `count` icons are embedded and laid out: each at
    // least 8x8 and the geometry unchanged for 250 ms (a freshly embedded
    // icon is 1x1, then its image's size, until the host sizes it). Gives
    // what embedded_tray_icons() gives at that point or at the timeout.
    std::vector<Rect> wait_embedded_tray_icons(std::size_t count, std::chrono::milliseconds timeout) const;
    // RGB of one screen pixel. 0, -EINVAL outside the screen, -EIO.
    int pixel(int x, int y, std::uint8_t (&ret_rgb)[3]) const;

private:
    int start_xvfb();
    int start_notification_server();
    int start_tray_host();
    void stop_bus_activated_services();
    void restore_environment();

    DesktopOptions options_;
    std::unique_ptr<TempDir> dir_;
    std::string display_;
    std::string home_;
    std::string notification_log_;
    ChildProcess xvfb_;
    Display* x_ = nullptr;
    std::unique_ptr<PrivateBus> bus_;
    ChildProcess notification_server_;
    ChildProcess tray_host_;
    std::map<std::string, std::string> saved_env_;  // name -> value before start ("\0" = unset)
    bool started_ = false;
};

// Every live process whose parent chain leads to `ancestor` (zombies left out).
std::vector<pid_t> descendant_processes(pid_t ancestor);
// Every live process that the bus at `address` activated (the bus hands
// its address, with its guid, to them as DBUS_STARTER_ADDRESS).
std::vector<pid_t> bus_activated_processes(const std::string& address);
// The command name of a process ("" when it is gone).
std::string process_name(pid_t pid);

}  // namespace kv::test
