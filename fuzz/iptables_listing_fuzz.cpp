// The iptables listing as the updater's firewall check reads it: the input
// cut into pieces as fgets does with the check's buffer, each fed to the
// line step. Once the answer is "on" it must stay so.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "security_state.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kv::helper;
    IptablesListing listing;
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::size_t pos = 0;
    bool was_on = false;
    while (pos < text.size()) {
        // One fgets: up to the line feed or kIptablesLineSize - 1 bytes; a
        // NUL byte ends the text as the line step sees it.
        std::size_t end = text.find('\n', pos);
        end = end == std::string::npos ? text.size() : end + 1;
        if (end - pos > kIptablesLineSize - 1)
            end = pos + kIptablesLineSize - 1;
        const std::string piece = text.substr(pos, end - pos);
        const bool go_on = iptables_listing_line(listing, piece.c_str());
        if (was_on && (go_on || !listing.firewall_on))
            std::abort();
        was_on = listing.firewall_on;
        pos = end;
    }
    return 0;
}
