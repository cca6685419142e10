// Desktop notifications through libnotify.
#include "notifications.hpp"

#include <glib/gi18n.h>
#include <libnotify/notify.h>

#include <cstring>
#include <string>

#include "host_cache.hpp"
#include "hostcache_reader.hpp"
#include "protocol.hpp"
#include "service_state.hpp"
#include "text_sanitiser.hpp"
#include "translated_format.hpp"
#include "tray_context.hpp"
#include "ui_log.hpp"

namespace kv::ui {
namespace {

constexpr int kTimeoutMs = 5000;

bool server_reads_markup() noexcept {
    GList* caps = notify_get_server_caps();
    bool markup = false;
    for (GList* c = caps; c != nullptr; c = c->next) {
        if (c->data != nullptr && std::strcmp(static_cast<const char*>(c->data), "body-markup") == 0)
            markup = true;
    }
    g_list_free_full(caps, g_free);
    return markup;
}

// One field of a record file; false (with the parse line) when the file
// does not parse, false when the field is missing.
bool read_record_string(const char* path, const char* field, std::string* ret_text) {
    const svc::JsonPtr record = parse_record_file(path);
    if (record == nullptr)
        return false;
    return svc::json_get_string(record.get(), field, ret_text) == 0;
}

void notify_record_text(TrayContext& ctx, const char* path, const char* field, const char* title_msgid) {
    std::string text;
    if (read_record_string(path, field, &text))
        notify_user(ctx, text.c_str(), _(title_msgid));
}

void notify_app_control(TrayContext& ctx) {
    const svc::JsonPtr record = parse_record_file(svc::kAppControlBlockPath);
    if (record == nullptr)
        return;
    std::string path, reason_text;
    if (svc::json_get_string(record.get(), "LockdownPath", &path) != 0 ||
        svc::json_get_string(record.get(), "LockdownPathReason", &reason_text) != 0)
        return;
    const gint64 reason = g_ascii_strtoll(reason_text.c_str(), nullptr, 10);
    const char* body_msgid = nullptr;
    if (reason == 0)
        body_msgid = N_("NotificationMessageChangeActionBlocked");
    else if (reason == 1 || reason == 2)
        body_msgid = N_("NotificationMessageExecutionActionBlocked");
    else
        return;
    const std::string body = translated_format_s(body_msgid, sanitise_text(path).c_str());
    notify_user(ctx, body.c_str(), _("NotificationSubtitleActionBlocked"));
}

}  // namespace

void notify_user(TrayContext& ctx, const char* body, const char* title) noexcept {
    if (!ctx.show_notifications.effective() || body == nullptr)
        return;
    const std::string summary = sanitise_text(title != nullptr ? title : "");
    std::string text = sanitise_text(body);
    if (server_reads_markup())
        text = markup_escape(text);
    NotifyNotification* n = notify_notification_new(summary.c_str(), text.c_str(), "important");
    if (n == nullptr) {
        verbose_print("failed to send notification\n");
        return;
    }
    notify_notification_set_timeout(n, kTimeoutMs);
    GError* error = nullptr;
    if (!notify_notification_show(n, &error))
        verbose_print("failed to send notification\n");
    if (error != nullptr)
        g_error_free(error);
    g_object_unref(n);
}

void notify_for_signal(TrayContext& ctx, int i) noexcept {
    static constexpr struct {
        const char* signal;
        const char* title;
        const char* body;
    } kFixed[] = {
        {"com.korvane.policy.expired", N_("NotificationSubtitlePolicyExpired"), N_("NotificationMessagePolicyExpired")},
        {"com.korvane.policy.invalidcompanyid", N_("NotificationSubtitlePolicyInvalidCompanyId"),
         N_("NotificationMessagePolicyInvalidCompanyId")},
        {"com.korvane.policy.invalidsignature", N_("NotificationSubtitlePolicyInvalidSignature"),
         N_("NotificationMessagePolicyInvalidSignature")},
        {"com.korvane.btdscancomplete", N_("BTDFinishedScanningTitle"), N_("BTDFinishedScanningMessage")},
    };
    if (is_signal(i, "com.korvane.exe.blocked")) {
        notify_record_text(ctx, svc::kExeBlockedPath, "BlockedExePath", N_("NotificationSubtitleExecutionBlock"));
    } else if (is_signal(i, "com.korvane.process.terminated")) {
        notify_record_text(ctx, svc::kProcessTerminatedPath, "ProcessTerminated",
                           N_("NotificationSubtitleProcessTerminated"));
    } else if (is_signal(i, "com.korvane.process.blocked")) {
        notify_record_text(ctx, svc::kProcessBlockedPath, "ProcessActionBlocked",
                           N_("NotificationSubtitleProcessActionBlocked"));
    } else if (is_signal(i, "com.korvane.appcontrol")) {
        notify_app_control(ctx);
    } else {
        for (const auto& f : kFixed) {
            if (is_signal(i, f.signal))
                notify_user(ctx, _(f.body), _(f.title));
        }
    }
}

void notify_threat_summary(TrayContext& ctx, const ThreatSummary& summary) noexcept {
    ThreatSummary::Notice notice;
    if (!summary.decide(&notice))
        return;
    const std::string body = translated_format_s(notice.body_msgid, sanitise_text(notice.argument).c_str());
    notify_user(ctx, body.c_str(), _(notice.title_msgid));
}

}  // namespace kv::ui
