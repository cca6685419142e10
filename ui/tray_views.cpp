// The views' side of the seam as far as the state machine needs it: the
// mask of header.log, the scanner state and the red icon of listed Unsafe
// threats. The pages, their lists and the notifications are added here.
#include "tray_views.hpp"

#include "host_cache.hpp"
#include "service_state.hpp"
#include "ui_log.hpp"

namespace kv::ui {

void views_build_pages(TrayContext&, GtkNotebook*) noexcept {}

void refresh_from_hostcache(TrayContext& ctx, std::uint64_t mask) noexcept {
    if (mask == 0) {
        const svc::JsonPtr header = svc::korvaneui_json_parse_file(svc::kHeaderPath);
        if (header == nullptr) {
            verbose_print("Unable to parse '%s'\n", svc::kHeaderPath);
            return;
        }
        std::int64_t value = 0;
        if (svc::json_get_int64(header.get(), "MessageMask", &value) != 0)
            return;
        mask = static_cast<std::uint64_t>(value);
    }
    verbose_print("mask = 0x%llX\n", static_cast<unsigned long long>(mask));
    if ((mask & svc::kMaskScannerState) != 0) {
        const svc::JsonPtr scanner = svc::korvaneui_json_parse_file(svc::kScannerStatePath);
        std::int64_t state = 0;
        if (scanner == nullptr)
            verbose_print("Unable to parse '%s'\n", svc::kScannerStatePath);
        else if (svc::json_get_int64(scanner.get(), "ScannerState", &state) == 0 && state == 1 &&
                 ctx.state == kInspecting)
            apply_state(ctx, kIdle);
    }
    if (ctx.views.unsafe_counter != 0)
        set_icon_colour(ctx, kRed);
}

void notify_service_signal(TrayContext&, int) noexcept {}

void open_about_window(TrayContext&) noexcept {}

void views_teardown(TrayContext&) noexcept {}

}  // namespace kv::ui
