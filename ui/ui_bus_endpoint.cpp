// The tray's D-Bus endpoint and its listener thread.
#include "ui_bus_endpoint.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <new>

#include "client_impl.hpp"
#include "dbus_handles.hpp"
#include "unique_handle.hpp"
#include "ui_log.hpp"

namespace kv::ui {
namespace {

constexpr int kReadTimeoutMs = 1000;
constexpr const char* kColourNames[] = {"green", "yellow", "red"};

const char* or_null_text(const char* s) noexcept { return s != nullptr ? s : "(null)"; }

}  // namespace

UiBusEndpoint* UiBusEndpoint::create(BusKind kind, const char* name) noexcept {
    if (kind != BusKind::session && kind != BusKind::system)
        return nullptr;
    auto* e = new (std::nothrow) UiBusEndpoint;
    if (e == nullptr)
        return nullptr;
    e->kind_ = kind;
    e->wake_fd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!e->wake_fd_) {
        delete e;
        return nullptr;
    }
    if (name != nullptr) {
        e->name_ = name;
        e->has_name_ = true;
    }
    (void)dbus_threads_init_default();
    DBusError error;
    dbus_error_init(&error);
    {
        std::lock_guard<std::mutex> lock(svc::bus_lock());
        e->connection_ = dbus_bus_get_private(kind == BusKind::session ? DBUS_BUS_SESSION : DBUS_BUS_SYSTEM, &error);
        if (e->connection_ != nullptr)
            dbus_connection_set_exit_on_disconnect(e->connection_, FALSE);
    }
    if (e->connection_ == nullptr || dbus_error_is_set(&error)) {
        verbose_print("Failed to get private %s bus\n", kind == BusKind::session ? "session" : "system");
        dbus_error_free(&error);
        shutdown(e);
        return nullptr;
    }
    if (e->has_name_) {
        int r = 0;
        {
            std::lock_guard<std::mutex> lock(svc::bus_lock());
            r = dbus_bus_request_name(e->connection_, e->name_.c_str(),
                                      DBUS_NAME_FLAG_REPLACE_EXISTING | DBUS_NAME_FLAG_DO_NOT_QUEUE, &error);
        }
        dbus_error_free(&error);
        if (r != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER && r != DBUS_REQUEST_NAME_REPLY_ALREADY_OWNER) {
            verbose_print("Failed to request to be primary owner of dbus name (%s)\n", e->name_.c_str());
            e->has_name_ = false;   // not ours: nothing to release
            shutdown(e);
            return nullptr;
        }
    }
    return e;
}

void UiBusEndpoint::set_callbacks(const UiBusCallbacks& callbacks, void* user_data) noexcept {
    callbacks_ = callbacks;
    user_data_ = user_data;
}

bool UiBusEndpoint::listen() noexcept {
    if (running_.load())
        return true;
    std::unique_lock<std::mutex> lock(svc::bus_lock());
    started_ = false;
    stop_requested_.store(false);
    running_.store(true);
    // pthread_create rather than std::thread, which reports failure by throwing.
    pthread_t handle{};
    if (pthread_create(
            &handle, nullptr,
            [](void* self) -> void* {
                static_cast<UiBusEndpoint*>(self)->listener_main();
                return nullptr;
            },
            this) != 0) {
        running_.store(false);
        return false;
    }
    handle_ = handle;
    has_thread_ = true;
    (void)started_cv_.wait_for(lock, std::chrono::seconds(2), [this] { return started_; });
    return running_.load();
}

void UiBusEndpoint::listener_main() noexcept {
    {
        std::lock_guard<std::mutex> lock(svc::bus_lock());
        started_ = true;
        started_cv_.notify_all();
    }
    dbus_bus_add_match(connection_, kNetworkManagerMatchRule, nullptr);
    int fd = -1;
    (void)dbus_connection_get_unix_fd(connection_, &fd);
    // The wait is our own poll, not libdbus's blocking read: libdbus holds
    // the connection's I/O path while it blocks, so a signal sent from the
    // main thread would wait for the timeout. Here sends go out at once, and
    // the wake-up descriptor cuts the wait short for queued output and stop.
    while (!stop_requested_.load() && dbus_connection_get_is_connected(connection_)) {
        if (!dbus_connection_read_write(connection_, 0))
            break;   // disconnected
        while (DBusMessage* raw = dbus_connection_pop_message(connection_)) {
            const DBusMessagePtr message{raw};
            const int type = dbus_message_get_type(raw);
            DBusMessagePtr reply;
            if (type == DBUS_MESSAGE_TYPE_METHOD_CALL) {
                if (!dbus_message_get_no_reply(raw))
                    reply.reset(dbus_message_new_method_return(raw));
                verbose_print("rx:method:%s.%s\n", or_null_text(dbus_message_get_interface(raw)),
                              or_null_text(dbus_message_get_member(raw)));
            }
            dispatch(type, raw, reply.get());
            if (reply != nullptr)
                (void)dbus_connection_send(connection_, reply.get(), nullptr);
        }
        if (stop_requested_.load() || !dbus_connection_get_is_connected(connection_))
            break;
        pollfd waits[2] = {{fd, POLLIN, 0}, {wake_fd_.get(), POLLIN, 0}};
        if (dbus_connection_has_messages_to_send(connection_))
            waits[0].events |= POLLOUT;
        if (poll(waits, 2, kReadTimeoutMs) > 0 && (waits[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            (void)!read(wake_fd_.get(), &count, sizeof count);
        }
    }
    verbose_print("%s: exiting...\n", "korvaneui_dbus_listen_thread");
    const bool lost = !stop_requested_.load();
    running_.store(false);
    if (lost && callbacks_.bus_lost != nullptr)
        callbacks_.bus_lost(user_data_);
}

void UiBusEndpoint::dispatch(int type, DBusMessage* message, DBusMessage* reply) noexcept {
    if (type == DBUS_MESSAGE_TYPE_SIGNAL) {
        if (dbus_message_is_signal(message, "org.freedesktop.NetworkManager", "StateChanged") &&
            callbacks_.network_state != nullptr) {
            dbus_uint32_t state = 0;
            DBusMessageIter it;
            if (dbus_message_iter_init(message, &it) && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_UINT32) {
                dbus_message_iter_get_basic(&it, &state);
                callbacks_.network_state(user_data_, state);
            }
        }
        return;
    }
    if (type != DBUS_MESSAGE_TYPE_METHOD_CALL)
        return;
    auto is = [message](const char* member) { return dbus_message_is_method_call(message, kUiInterface, member); };
    if (is("showDetailsWindow")) {
        if (callbacks_.show_details_window != nullptr)
            callbacks_.show_details_window(user_data_);
    } else if (is("showAboutWindow")) {
        if (callbacks_.show_about_window != nullptr)
            callbacks_.show_about_window(user_data_);
    } else if (is("getIconColor")) {
        if (callbacks_.get_icon_colour != nullptr && reply != nullptr) {
            const int colour = callbacks_.get_icon_colour(user_data_);
            if (colour >= 0 && colour <= 2) {
                const char* text = kColourNames[colour];
                (void)dbus_message_append_args(reply, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
            }
        }
    } else if (is("getShowNotifications")) {
        if (callbacks_.get_show_notifications != nullptr && reply != nullptr) {
            const char* text = callbacks_.get_show_notifications(user_data_) ? "true" : "false";
            (void)dbus_message_append_args(reply, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
        }
    } else if (is("setShowNotifications")) {
        DBusMessageIter it;
        if (callbacks_.set_show_notifications != nullptr && dbus_message_iter_init(message, &it) &&
            dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_STRING) {
            const char* text = nullptr;
            dbus_message_iter_get_basic(&it, &text);
            callbacks_.set_show_notifications(user_data_, text != nullptr && std::strcmp(text, "true") == 0);
        }
    }
}

void UiBusEndpoint::emit_signal(const char* path, const char* interface, const char* member) noexcept {
    std::lock_guard<std::mutex> lock(svc::bus_lock());
    if (connection_ == nullptr || !dbus_connection_get_is_connected(connection_))
        return;
    const DBusMessagePtr signal{dbus_message_new_signal(path, interface, member)};
    if (signal == nullptr) {
        verbose_print("error: failed to create signal message\n");
        return;
    }
    // Not flushed: the send writes at once unless the socket is full; what
    // stays queued is written by the woken listener.
    if (!dbus_connection_send(connection_, signal.get(), nullptr)) {
        verbose_print("error: failed to send signal\n");
        return;
    }
    if (dbus_connection_has_messages_to_send(connection_))
        wake_listener();
}

void UiBusEndpoint::wake_listener() noexcept {
    const std::uint64_t one = 1;
    (void)!write(wake_fd_.get(), &one, sizeof one);
}

void UiBusEndpoint::shutdown(UiBusEndpoint* e) noexcept {
    if (e == nullptr)
        return;
    // The listener is joined outside the bus lock: emit_signal, which the
    // main thread may run meanwhile, and the listener's start report take it.
    e->stop_requested_.store(true);
    if (e->has_thread_) {
        e->wake_listener();
        (void)pthread_join(e->handle_, nullptr);
        e->has_thread_ = false;
    }
    {
        std::lock_guard<std::mutex> lock(svc::bus_lock());
        if (e->connection_ != nullptr) {
            if (e->has_name_ && dbus_connection_get_is_connected(e->connection_)) {
                DBusError error;
                dbus_error_init(&error);
                (void)dbus_bus_release_name(e->connection_, e->name_.c_str(), &error);
                dbus_error_free(&error);
            }
            kv::close_private_connection(e->connection_);
        }
    }
    delete e;
}

}  // namespace kv::ui
