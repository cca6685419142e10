// Table-driven service peer on its own private connection and thread.
#include "service_peer.hpp"

#include <cerrno>

#include "protocol.hpp"

namespace kv::test {

int ServicePeer::start() {
    if (running_)
        return 0;
    (void)dbus_threads_init_default();
    DBusError error;
    dbus_error_init(&error);
    conn_ = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (conn_ == nullptr) {
        dbus_error_free(&error);
        return -ECONNREFUSED;
    }
    dbus_connection_set_exit_on_disconnect(conn_, FALSE);
    const int r = dbus_bus_request_name(conn_, svc::kServiceName, DBUS_NAME_FLAG_DO_NOT_QUEUE, &error);
    if (r != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        dbus_error_free(&error);
        dbus_connection_close(conn_);
        dbus_connection_unref(conn_);
        conn_ = nullptr;
        return -EACCES;
    }
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return 0;
}

void ServicePeer::stop() {
    if (!running_)
        return;
    running_ = false;
    thread_.join();
    dbus_connection_close(conn_);
    dbus_connection_unref(conn_);
    conn_ = nullptr;
}

void ServicePeer::run() {
    while (running_) {
        if (!dbus_connection_read_write(conn_, 50))
            break;
        while (DBusMessage* m = dbus_connection_pop_message(conn_)) {
            if (dbus_message_is_method_call(m, svc::kCommandInterface, svc::kCommandMethod))
                answer(m);
            dbus_message_unref(m);
        }
    }
}

void ServicePeer::answer(DBusMessage* call) {
    const char* text = "";
    DBusMessageIter it;
    if (dbus_message_iter_init(call, &it) && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_STRING)
        dbus_message_iter_get_basic(&it, &text);
    PeerReply reply;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.emplace_back(text);
        const auto found = table_.find(text);
        reply = found != table_.end() ? found->second : default_reply_;
    }
    cv_.notify_all();

    DBusMessage* out = nullptr;
    switch (reply.kind) {
    case PeerReply::Kind::none:
        return;
    case PeerReply::Kind::error:
        out = dbus_message_new_error(call, "com.korvane.Test.Error", reply.text.c_str());
        break;
    case PeerReply::Kind::no_arguments:
        out = dbus_message_new_method_return(call);
        break;
    case PeerReply::Kind::integer: {
        out = dbus_message_new_method_return(call);
        const dbus_int32_t v = 42;
        dbus_message_append_args(out, DBUS_TYPE_INT32, &v, DBUS_TYPE_INVALID);
        break;
    }
    case PeerReply::Kind::text:
    case PeerReply::Kind::echo: {
        out = dbus_message_new_method_return(call);
        const char* s = reply.kind == PeerReply::Kind::echo ? text : reply.text.c_str();
        dbus_message_append_args(out, DBUS_TYPE_STRING, &s, DBUS_TYPE_INVALID);
        break;
    }
    }
    if (out != nullptr) {
        dbus_connection_send(conn_, out, nullptr);
        dbus_message_unref(out);
    }
}

void ServicePeer::set_reply(const std::string& request, PeerReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    table_[request] = std::move(reply);
}

void ServicePeer::set_default_reply(PeerReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    default_reply_ = std::move(reply);
}

std::vector<std::string> ServicePeer::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::size_t ServicePeer::received_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
}

bool ServicePeer::wait_for_requests(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return received_.size() >= n; });
}

void ServicePeer::clear_received() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
}

bool ServicePeer::emit(DBusMessage* signal) {
    if (signal == nullptr || conn_ == nullptr)
        return false;
    const bool ok = dbus_connection_send(conn_, signal, nullptr);
    dbus_connection_flush(conn_);
    dbus_message_unref(signal);
    return ok;
}

bool ServicePeer::broadcast(const std::string& name) {
    DBusMessage* s = dbus_message_new_signal(svc::kSignalPath, svc::kSignalInterface, svc::kSignalMember);
    const char* text = name.c_str();
    if (s != nullptr)
        dbus_message_append_args(s, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    return emit(s);
}

bool ServicePeer::broadcast_integer(int value) {
    DBusMessage* s = dbus_message_new_signal(svc::kSignalPath, svc::kSignalInterface, svc::kSignalMember);
    const dbus_int32_t v = value;
    if (s != nullptr)
        dbus_message_append_args(s, DBUS_TYPE_INT32, &v, DBUS_TYPE_INVALID);
    return emit(s);
}

bool ServicePeer::broadcast_without_arguments() {
    return emit(dbus_message_new_signal(svc::kSignalPath, svc::kSignalInterface, svc::kSignalMember));
}

}  // namespace kv::test
