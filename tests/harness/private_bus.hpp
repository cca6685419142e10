// A private dbus-daemon for tests: the system bus (default-deny, with the
// project's policy file) or a session bus, on a socket of its own, exported
// through DBUS_SYSTEM_BUS_ADDRESS / DBUS_SESSION_BUS_ADDRESS.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <string>

namespace kv::test {

class PrivateBus {
public:
    enum class Kind { system, session };

    explicit PrivateBus(Kind kind);
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;
    ~PrivateBus();

    // Starts dbus-daemon and exports its address. libdbus reads the bus
    // addresses once per process, so a bus keeps its socket path across
    // stop() and start(). Returns 0 or a negative errno.
    int start();
    // SIGTERM, a bounded wait, then SIGKILL. Idempotent.
    void stop();

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    const std::string& address() const { return address_; }
    const std::string& socket_path() const { return socket_path_; }

private:
    Kind kind_;
    std::string dir_;
    std::string socket_path_;
    std::string address_;
    pid_t pid_ = -1;
};

// The one private system bus of a test process (libdbus reads the address
// once per process), created on first use.
PrivateBus& shared_system_bus();

// Starts the shared system bus before the first test and stops it after the
// last: register with ::testing::AddGlobalTestEnvironment.
class SystemBusEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace kv::test
