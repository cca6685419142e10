// Row texts of the details window.
#include "threat_event_text.hpp"

#include <glib/gi18n.h>

#include <cinttypes>
#include <cstdio>

#include "host_cache.hpp"
#include "text_sanitiser.hpp"

namespace kv::ui {
namespace {

constexpr std::size_t kEventTextMax = 63;

}  // namespace

std::string threat_state_text(std::uint32_t state) { return _(svc::state_label(state)); }

std::string action_text(std::uint64_t action) {
    const char* name = action <= 4 ? svc::process_action_name(static_cast<std::uint32_t>(action)) : nullptr;
    return name != nullptr ? _(name) : "";
}

std::string threat_event_text(std::uint64_t event64, std::uint64_t state) {
    const auto event = static_cast<std::uint32_t>(event64);
    std::string text;
    if (event & svc::kEventStateChange) {
        if (state == 0)
            return _("EventThreatStringFromValueNone");
        static constexpr struct {
            std::uint32_t bit;
            const char* msgid;
        } kStateParts[] = {{svc::kFileUnsafe, N_("Unsafe")},
                           {svc::kFileAbnormal, N_("Abnormal")},
                           {svc::kFileWaived, N_("Waived")},
                           {svc::kFileQuarantined, N_("Quarantined")},
                           {svc::kFileRunning, N_("Running")}};
        for (const auto& part : kStateParts) {
            if (state & part.bit)
                text += _(part.msgid);
        }
        utf8_cut(&text, kEventTextMax);
        return text;
    }
    if (event & svc::kEventQuarantined)
        return _("Quarantined");
    if (event & svc::kEventRemoved)
        return _("EventThreatStringFromValueRemoved");
    if (event & svc::kEventWaived)
        return _("Waived");
    if (event & svc::kEventDetected)
        return _("EventThreatStringFromValueDetected");
    if (event & svc::kEventChangeDenied)
        return _("Deny Change");
    if (event & svc::kEventExecutionDenied)
        return _("Deny Execute");
    char buffer[kEventTextMax + 1];
    (void)std::snprintf(buffer, sizeof buffer, "State Change (%u)", event);
    return buffer;
}

bool event_row_texts(const EventRecord& r, EventRowTexts* ret_texts) {
    EventRowTexts t;
    if (r.category == "Threat") {
        const auto state = static_cast<std::uint64_t>(r.state) & ~std::uint64_t{svc::kFileUnsafe};
        t.type = std::string(_("EventStrThreat")) + " (" + threat_event_text(static_cast<std::uint64_t>(r.event), state) + ")";
        t.details = r.path;
    } else if (r.category == "Exploit") {
        t.type = action_text(static_cast<std::uint64_t>(r.event));
        const char* violation =
            r.item_type >= 0 ? svc::violation_type_name(static_cast<std::uint32_t>(r.item_type)) : nullptr;
        if (r.item_type > 0xFFFFFFFFLL)
            violation = nullptr;
        char pid[24];
        (void)std::snprintf(pid, sizeof pid, "%" PRIu64, static_cast<std::uint64_t>(r.pid));
        t.details = std::string(_("EventStrExploitViolation")) + " " + (violation != nullptr ? violation : "") + "; " +
                    _("PID") + ": " + pid + "; " + _("EventStrExploitApplication") + " " + r.path;
    } else if (r.category == "AppControl") {
        t.type = threat_event_text(static_cast<std::uint64_t>(r.event), static_cast<std::uint64_t>(r.state));
        t.details = r.path;
    } else {
        return false;
    }
    *ret_texts = std::move(t);
    return true;
}

}  // namespace kv::ui
