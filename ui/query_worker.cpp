// The query worker and the main-loop halves of its answers.
#include "query_worker.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "client_impl.hpp"
#include "main_loop_queue.hpp"
#include "service_state.hpp"
#include "settings_store.hpp"
#include "ui_bus_endpoint.hpp"
#include "ui_log.hpp"

namespace kv::ui {
namespace {

constexpr std::size_t kPolicyBufferSize = 256;

struct DriverAnswer {
    TrayContext* ctx;
    bool connected;
};

void apply_driver_answer(void* data) noexcept {
    auto* answer = static_cast<DriverAnswer*>(data);
    TrayContext& ctx = *answer->ctx;
    if (!ctx.shutting_down.load()) {
        ctx.driver_connected = answer->connected;
        if (!answer->connected)
            apply_state(ctx, kNoDriver);
    }
    delete answer;
}

void drop_driver_answer(void* data) noexcept { delete static_cast<DriverAnswer*>(data); }

void run_reconciliation(void* data) noexcept {
    auto* ctx = static_cast<TrayContext*>(data);
    if (!ctx->shutting_down.load())
        reconcile_show_notifications(*ctx);
}

void refresh_policy(TrayContext& ctx) noexcept {
    char text[kPolicyBufferSize] = {};
    std::size_t size = sizeof text;
    bool notify = false, local = false;
    if (svc::getPolicyInfo(text, &size, &notify, &local)) {
        {
            std::lock_guard<std::mutex> lock(ctx.mutex);
            ctx.policy_text = text;
            ctx.has_policy_text = true;
            ctx.show_notifications.policy_default.store(notify);
            ctx.local_policy = local;
        }
        (void)main_loop_post(run_reconciliation, &ctx);
        std::string time;
        if (svc::getPolicyTime(&time)) {
            std::lock_guard<std::mutex> lock(ctx.mutex);
            ctx.policy_last_update = time;
            ctx.has_policy_last_update = true;
        }
    }
}

void query_driver(TrayContext& ctx) noexcept {
    int connected = 0;
    if (!svc::queryDriverConnected(&connected))
        return;
    verbose_print("driver_connected = %s\n", connected != 0 ? "true" : "false");
    auto* answer = new (std::nothrow) DriverAnswer{&ctx, connected != 0};
    if (answer != nullptr && !main_loop_post(apply_driver_answer, answer, drop_driver_answer))
        delete answer;
}

// Reads one command byte (the pipe blocks); retries interrupted reads. False
// at end of file or on an error.
bool read_command(int fd, unsigned char* ret_command) noexcept {
    for (;;) {
        const ssize_t r = read(fd, ret_command, 1);
        if (r == 1)
            return true;
        if (r < 0 && errno == EINTR)
            continue;
        return false;
    }
}

void* worker_main(void* context) noexcept {
    TrayContext& ctx = *static_cast<TrayContext*>(context);
    unsigned char command = kWorkerStop;
    while (read_command(ctx.worker_pipe_read.get(), &command)) {
        if (command == kWorkerRefreshPolicy)
            refresh_policy(ctx);
        else if (command == kWorkerQueryDriver)
            query_driver(ctx);
        else if (command == kWorkerPolicyCheck)
            (void)svc::requestPolicyCheck();
        else if (command == kWorkerUpdateCheck)
            (void)svc::requestUpdateCheck();
        else
            break;
    }
    return nullptr;
}

}  // namespace

void send_worker_command(TrayContext& ctx, WorkerCommand command) noexcept {
    if (!ctx.worker_pipe_write)
        return;
    const unsigned char byte = command;
    ssize_t r;
    do {
        r = write(ctx.worker_pipe_write.get(), &byte, 1);
    } while (r < 0 && errno == EINTR);
}

int worker_start(TrayContext& ctx) noexcept {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -errno;
    ctx.worker_pipe_read.reset(fds[0]);
    ctx.worker_pipe_write.reset(fds[1]);
    const int r = pthread_create(&ctx.worker, nullptr, worker_main, &ctx);
    if (r != 0) {
        ctx.worker_pipe_read.reset();
        ctx.worker_pipe_write.reset();
        return -r;
    }
    ctx.worker_started = true;
    return 0;
}

void worker_stop(TrayContext& ctx) noexcept {
    if (!ctx.worker_started)
        return;
    send_worker_command(ctx, kWorkerStop);
    ctx.worker_pipe_write.reset();
    (void)pthread_join(ctx.worker, nullptr);
    ctx.worker_started = false;
    ctx.worker_pipe_read.reset();
}

void reconcile_show_notifications(TrayContext& ctx) noexcept {
    ShowNotificationsSetting& s = ctx.show_notifications;
    GtkCheckMenuItem* item = ctx.notifications_item != nullptr ? GTK_CHECK_MENU_ITEM(ctx.notifications_item) : nullptr;
    const bool item_active = item != nullptr && gtk_check_menu_item_get_active(item);
    switch (reconcile_with_policy(s, item != nullptr, item_active)) {
    case Reconcile::none:
        break;
    case Reconcile::save_and_set_item:
        settings_save(ctx.settings, s);
        gtk_check_menu_item_set_active(item, s.stored.load());   // its handler clears the mark and saves
        break;
    case Reconcile::save_and_emit:
        settings_save(ctx.settings, s);
        s.programmatic = false;
        if (ctx.endpoint != nullptr)
            ctx.endpoint->emit_signal(kUiObjectPath, kUiInterface, "showNotificationsChanged");
        break;
    }
}

}  // namespace kv::ui
