// The threat summary's counting and decision table.
#include "threat_summary.hpp"

#include <glib/gi18n.h>

#include <cinttypes>
#include <cstdio>

#include "host_cache.hpp"
#include "text_sanitiser.hpp"

namespace kv::ui {

void ThreatSummary::count(std::int64_t state, std::string_view path) {
    const auto bits = static_cast<std::uint64_t>(state);
    if (bits & svc::kFileUnsafe) {
        ++unsafe_;
        if (!has_unsafe_name_) {
            first_unsafe_ = last_path_component(path);
            has_unsafe_name_ = true;
        }
    } else if (bits & svc::kFileAbnormal) {
        ++abnormal_;
        if (!has_abnormal_name_) {
            first_abnormal_ = last_path_component(path);
            has_abnormal_name_ = true;
        }
    }
    if (bits & svc::kFileQuarantined)
        ++quarantined_;
}

bool ThreatSummary::decide(Notice* ret_notice) const {
    // Rows in table order: (quarantined?, unsafe?, single?) -> msgids.
    static constexpr struct {
        bool quarantined, unsafe, single;
        const char* title;
        const char* body;
    } kRows[] = {
        {false, true, true, N_("NotificationSubtitleUnsafeDetected"), N_("NotificationMessageUnsafeDetected")},
        {false, true, false, N_("NotificationSubtitleUnsafesDetected"), N_("NotificationMessageUnsafesDetected")},
        {false, false, true, N_("NotificationSubtitleAbnormalDetected"), N_("NotificationMessageAbnormalDetected")},
        {false, false, false, N_("NotificationSubtitleAbnormalsDetected"), N_("NotificationMessageAbnormalsDetected")},
        {true, true, true, N_("NotificationSubtitleUnsafeQuarantined"), N_("NotificationMessageUnsafeQuarantined")},
        {true, true, false, N_("NotificationSubtitleUnsafesQuarantined"), N_("NotificationMessageUnsafesQuarantined")},
        {true, false, true, N_("NotificationSubtitleAbnormalQuarantined"), N_("NotificationMessageAbnormalQuarantined")},
        {true, false, false, N_("NotificationSubtitleAbnormalsQuarantined"),
         N_("NotificationMessageAbnormalsQuarantined")},
    };
    const std::uint64_t total = unsafe_ + abnormal_;
    for (const auto& row : kRows) {
        if ((quarantined_ > 0) != row.quarantined)
            continue;
        if (row.unsafe ? unsafe_ == 0 : abnormal_ == 0)
            continue;
        if (row.single ? total != 1 : total <= 1)
            continue;
        Notice n;
        n.title_msgid = row.title;
        n.body_msgid = row.body;
        if (row.single) {
            n.argument = row.unsafe ? first_unsafe_ : first_abnormal_;
        } else {
            char digits[24];
            (void)std::snprintf(digits, sizeof digits, "%" PRIu64, total);
            n.argument = digits;
        }
        *ret_notice = std::move(n);
        return true;
    }
    return false;
}

}  // namespace kv::ui
