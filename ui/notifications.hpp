// Desktop notifications: notify_user with the effective show-notifications
// value, the notification each service signal raises, and the threat
// summary of a new events file. Main loop only.
#pragma once

#include "threat_summary.hpp"

namespace kv::ui {

struct TrayContext;

// Shows (title, body) for 5 seconds with the icon "important" when the
// effective value is on and a body is given. Both texts are sanitised; the
// body is escaped when the server reads bodies as markup.
void notify_user(TrayContext& ctx, const char* body, const char* title) noexcept;

// The notification of one service signal (blocked execution, terminated or
// blocked process, application control, policy problems, scan complete);
// other indexes raise nothing.
void notify_for_signal(TrayContext& ctx, int signal_index) noexcept;

// The summary notification of one evaluation of the events file, if any.
void notify_threat_summary(TrayContext& ctx, const ThreatSummary& summary) noexcept;

}  // namespace kv::ui
