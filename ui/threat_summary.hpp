// The one summary notification a new version of the events file raises:
// Unsafe, Abnormal and Quarantined counts over its records in file order,
// with the first Unsafe and Abnormal file names, and the table that picks
// the notification's title and body from them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kv::ui {

class ThreatSummary {
public:
    // One record of the events file; `state` is its "State" for Threat
    // records and 0 for the others.
    void count(std::int64_t state, std::string_view path);

    struct Notice {
        const char* title_msgid = nullptr;
        const char* body_msgid = nullptr;
        std::string argument;   // a file name or the total as decimal text
    };
    // False when no row of the table applies.
    bool decide(Notice* ret_notice) const;

private:
    std::uint64_t unsafe_ = 0, abnormal_ = 0, quarantined_ = 0;
    std::string first_unsafe_, first_abnormal_;
    bool has_unsafe_name_ = false, has_abnormal_name_ = false;
};

}  // namespace kv::ui
