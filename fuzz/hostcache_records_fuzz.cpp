// The details window's record readers over arbitrary collection texts from
// the agent: never crash, and every record read has the fields it needs.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "hostcache_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<kv::ui::ThreatRecord> threats;
    std::vector<kv::ui::ExploitRecord> exploits;
    std::vector<kv::ui::EventRecord> events;
    (void)kv::ui::read_threat_records(text, &threats);
    (void)kv::ui::read_exploit_records(text, &exploits);
    if (kv::ui::read_event_records(text, &events)) {
        for (const auto& e : events) {
            if (e.category == "AppControl" && e.event != 32 && e.event != 64)
                std::abort();
            kv::ui::EventRowTexts t;
            (void)kv::ui::event_row_texts(e, &t);
        }
    }
    return 0;
}
