// The tray's bus endpoint on a private session bus, called by a second
// libdbus connection: single ownership of the name, every method and its
// reply, the signals, the start handshake, shutdown, and a bus that goes
// away under the listener.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "dbus_handles.hpp"
#include "private_bus.hpp"
#include "process.hpp"
#include "ui_bus_endpoint.hpp"

namespace {

using namespace std::chrono_literals;
using kv::ui::UiBusEndpoint;

kv::test::PrivateBus& session_bus() {
    static kv::test::PrivateBus bus(kv::test::PrivateBus::Kind::session);
    return bus;
}

struct Recorded {
    std::atomic<int> details{0}, about{0}, sets{0}, network{0}, lost{0};
    std::atomic<int> colour{1};
    std::atomic<bool> show{false};
    std::atomic<bool> last_set{false};
    std::atomic<std::uint32_t> network_state{0};
};

kv::ui::UiBusCallbacks recording_callbacks() {
    kv::ui::UiBusCallbacks c;
    c.show_details_window = [](void* d) { ++static_cast<Recorded*>(d)->details; };
    c.show_about_window = [](void* d) { ++static_cast<Recorded*>(d)->about; };
    c.get_icon_colour = [](void* d) { return static_cast<Recorded*>(d)->colour.load(); };
    c.get_show_notifications = [](void* d) { return static_cast<Recorded*>(d)->show.load(); };
    c.set_show_notifications = [](void* d, bool v) {
        static_cast<Recorded*>(d)->last_set = v;
        ++static_cast<Recorded*>(d)->sets;
    };
    c.network_state = [](void* d, std::uint32_t s) {
        static_cast<Recorded*>(d)->network_state = s;
        ++static_cast<Recorded*>(d)->network;
    };
    c.bus_lost = [](void* d) { ++static_cast<Recorded*>(d)->lost; };
    return c;
}

template <class Pred>
bool wait_for(Pred pred) {
    return kv::test::wait_until(pred, std::chrono::milliseconds(5000));
}

class UiBusEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!session_bus().running()) {
            ASSERT_EQ(session_bus().start(), 0);
        }
        DBusError error;
        dbus_error_init(&error);
        client_ = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
        ASSERT_NE(client_, nullptr) << error.message;
        dbus_connection_set_exit_on_disconnect(client_, FALSE);
    }
    void TearDown() override {
        UiBusEndpoint::shutdown(endpoint_);
        kv::close_private_connection(client_);
    }

    void start_endpoint() {
        endpoint_ = UiBusEndpoint::create(kv::ui::BusKind::session, kv::ui::kUiBusName);
        ASSERT_NE(endpoint_, nullptr);
        endpoint_->set_callbacks(recording_callbacks(), &rec_);
        ASSERT_TRUE(endpoint_->listen());
    }

    // Calls a method; the reply's first string, "<none>" without one,
    // "<error>" when no method return came.
    std::string call(const char* interface, const char* member, const char* argument = nullptr) {
        kv::DBusMessagePtr m{dbus_message_new_method_call(kv::ui::kUiBusName, "/any/path", interface, member)};
        if (argument != nullptr)
            dbus_message_append_args(m.get(), DBUS_TYPE_STRING, &argument, DBUS_TYPE_INVALID);
        DBusError error;
        dbus_error_init(&error);
        kv::DBusMessagePtr reply{dbus_connection_send_with_reply_and_block(client_, m.get(), 5000, &error)};
        if (reply == nullptr) {
            dbus_error_free(&error);
            return "<error>";
        }
        DBusMessageIter it;
        if (!dbus_message_iter_init(reply.get(), &it) || dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_STRING)
            return "<none>";
        const char* s = nullptr;
        dbus_message_iter_get_basic(&it, &s);
        return s;
    }

    // Member names of the signals from the tray's interface received so far.
    std::vector<std::string> drain_signals(std::chrono::milliseconds wait) {
        std::vector<std::string> out;
        const auto end = std::chrono::steady_clock::now() + wait;
        while (std::chrono::steady_clock::now() < end) {
            dbus_connection_read_write(client_, 50);
            while (DBusMessage* raw = dbus_connection_pop_message(client_)) {
                kv::DBusMessagePtr m{raw};
                if (dbus_message_get_type(raw) == DBUS_MESSAGE_TYPE_SIGNAL &&
                    dbus_message_has_interface(raw, kv::ui::kUiInterface) &&
                    dbus_message_has_path(raw, kv::ui::kUiObjectPath))
                    out.emplace_back(dbus_message_get_member(raw));
            }
        }
        return out;
    }

    DBusConnection* client_ = nullptr;
    UiBusEndpoint* endpoint_ = nullptr;
    Recorded rec_;
};

TEST_F(UiBusEndpointTest, MethodsRepliesAndCallbacks) {
    start_endpoint();
    const char* ui = kv::ui::kUiInterface;
    const struct {
        int colour;
        const char* reply;
    } colours[] = {{0, "green"}, {1, "yellow"}, {2, "red"}, {3, "<none>"}, {-1, "<none>"}};
    for (const auto& c : colours) {
        rec_.colour = c.colour;
        EXPECT_EQ(call(ui, "getIconColor"), c.reply) << c.colour;
    }
    EXPECT_EQ(call(ui, "getShowNotifications"), "false");
    rec_.show = true;
    EXPECT_EQ(call(ui, "getShowNotifications"), "true");

    EXPECT_EQ(call(ui, "setShowNotifications", "TRUE"), "<none>");
    EXPECT_EQ(rec_.sets.load(), 1);
    EXPECT_FALSE(rec_.last_set);
    EXPECT_EQ(call(ui, "setShowNotifications", "true"), "<none>");
    EXPECT_TRUE(rec_.last_set);
    EXPECT_EQ(call(ui, "setShowNotifications"), "<none>");   // no argument: ignored, still answered
    EXPECT_EQ(rec_.sets.load(), 2);

    EXPECT_EQ(call(ui, "showDetailsWindow"), "<none>");
    EXPECT_EQ(call(ui, "showAboutWindow"), "<none>");
    EXPECT_EQ(rec_.details.load(), 1);
    EXPECT_EQ(rec_.about.load(), 1);
    // Unknown members and other interfaces get an empty method return.
    EXPECT_EQ(call(ui, "noSuchMethod"), "<none>");
    EXPECT_EQ(call("org.freedesktop.DBus.Introspectable", "Introspect"), "<none>");
    EXPECT_EQ(call("com.korvane.other", "getIconColor"), "<none>");
    EXPECT_EQ(rec_.details.load() + rec_.about.load(), 2);
}

TEST_F(UiBusEndpointTest, OneOwnerPerBusAndTheNameIsFreeAfterShutdown) {
    start_endpoint();
    UiBusEndpoint* second = UiBusEndpoint::create(kv::ui::BusKind::session, kv::ui::kUiBusName);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(call(kv::ui::kUiInterface, "getIconColor"), "yellow");   // the first keeps answering
    EXPECT_EQ(UiBusEndpoint::create(kv::ui::BusKind::other, kv::ui::kUiBusName), nullptr);
    UiBusEndpoint::shutdown(endpoint_);
    endpoint_ = nullptr;
    EXPECT_EQ(call(kv::ui::kUiInterface, "getIconColor"), "<error>");
    endpoint_ = UiBusEndpoint::create(kv::ui::BusKind::session, kv::ui::kUiBusName);
    EXPECT_NE(endpoint_, nullptr);
}

TEST_F(UiBusEndpointTest, SignalsOutAndNetworkManagerStateIn) {
    dbus_bus_add_match(client_, "type='signal',interface='com.korvane.guard.ui'", nullptr);
    dbus_connection_flush(client_);
    start_endpoint();
    endpoint_->emit_signal(kv::ui::kUiObjectPath, kv::ui::kUiInterface, "iconChanged");
    endpoint_->emit_signal(kv::ui::kUiObjectPath, kv::ui::kUiInterface, "showNotificationsChanged");
    EXPECT_EQ(drain_signals(500ms), (std::vector<std::string>{"iconChanged", "showNotificationsChanged"}));

    kv::DBusMessagePtr nm{dbus_message_new_signal("/org/freedesktop/NetworkManager", "org.freedesktop.NetworkManager",
                                                  "StateChanged")};
    const dbus_uint32_t state = 70;
    dbus_message_append_args(nm.get(), DBUS_TYPE_UINT32, &state, DBUS_TYPE_INVALID);
    dbus_connection_send(client_, nm.get(), nullptr);
    dbus_connection_flush(client_);
    EXPECT_TRUE(wait_for([&] { return rec_.network.load() == 1; }));
    EXPECT_EQ(rec_.network_state.load(), 70u);
}

TEST_F(UiBusEndpointTest, ListenIsIdempotentAndShutdownIsPrompt) {
    start_endpoint();
    EXPECT_TRUE(endpoint_->listen());
    const auto t0 = std::chrono::steady_clock::now();
    UiBusEndpoint::shutdown(endpoint_);
    endpoint_ = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1500ms);   // within one read timeout
    EXPECT_EQ(rec_.lost.load(), 0);                             // asked to stop: not a lost bus
}

// Last: stops the bus and starts it again for any later test.
TEST_F(UiBusEndpointTest, BusGoingAwayEndsTheListenerWithoutSpinning) {
    start_endpoint();
    kv::close_private_connection(client_);
    const double cpu0 = kv::test::process_cpu_seconds();
    session_bus().stop();
    EXPECT_TRUE(wait_for([&] { return rec_.lost.load() == 1; }));
    EXPECT_FALSE(endpoint_->running());
    std::this_thread::sleep_for(1s);
    EXPECT_LT(kv::test::process_cpu_seconds() - cpu0, 0.3);
    UiBusEndpoint::shutdown(endpoint_);
    endpoint_ = nullptr;
    ASSERT_EQ(session_bus().start(), 0);
}

}  // namespace
