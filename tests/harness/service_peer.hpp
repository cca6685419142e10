// A small peer that owns the service's name on the (private) system bus,
// answers command calls from a table, records what it received and emits
// broadcasts, for testing the front ends' side of the protocol.
#pragma once

#include <dbus/dbus.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kv::test {

struct PeerReply {
    enum class Kind {
        text,              // one string argument: `text`
        echo,              // one string argument: the request text itself
        no_arguments,      // a method return without arguments
        integer,           // one int32 argument
        error,             // a D-Bus error reply with `text` as its message
        none,              // no answer at all
    };
    Kind kind = Kind::text;
    std::string text;

    static PeerReply Text(std::string t) { return {Kind::text, std::move(t)}; }
    static PeerReply Echo() { return {Kind::echo, {}}; }
};

class ServicePeer {
public:
    ServicePeer() = default;
    ServicePeer(const ServicePeer&) = delete;
    ServicePeer& operator=(const ServicePeer&) = delete;
    ~ServicePeer() { stop(); }

    // Connects to the system bus, takes the service name and starts
    // answering; 0 or a negative errno.
    int start();
    void stop();

    // The reply to a request whose text equals `request` byte for byte.
    void set_reply(const std::string& request, PeerReply reply);
    // The reply to every request without an entry of its own.
    void set_default_reply(PeerReply reply);

    std::vector<std::string> received() const;
    std::size_t received_count() const;
    bool wait_for_requests(std::size_t n, std::chrono::milliseconds timeout) const;
    void clear_received();

    // Emits a Broadcast signal with one string argument.
    bool broadcast(const std::string& name);
    // Emits a Broadcast signal with an int32 argument, or with none.
    bool broadcast_integer(int value);
    bool broadcast_without_arguments();

private:
    void run();
    void answer(DBusMessage* call);
    bool emit(DBusMessage* signal);

    DBusConnection* conn_ = nullptr;
    std::atomic<bool> running_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::map<std::string, PeerReply> table_;
    PeerReply default_reply_ = PeerReply::Text(R"({"RESP":"OK"})");
    std::vector<std::string> received_;
};

}  // namespace kv::test
