// Endpoint texts: a queue name is the caller's endpoint name behind one "/".
#include "mq_endpoint.hpp"

#include <cstring>

namespace kv::rpc {

EndpointText make_endpoint(const char* name) noexcept {
    const std::size_t length = std::strlen(name);
    EndpointText text(static_cast<char*>(std::malloc(length + 2)));
    if (!text)
        return text;
    text.get()[0] = '/';
    std::memcpy(text.get() + 1, name, length + 1);
    return text;
}

}  // namespace kv::rpc
