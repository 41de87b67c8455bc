// One HTTP/1.0 request to a server on 127.0.0.1, for the tests of HTTP endpoints.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace testsupport {

// The whole answer (status line, headers, body) to `method target`, with an Accept header when
// `accept` is given; nullopt when nothing answers on the port.
std::optional<std::string> http_request(uint16_t port, const std::string& method, const std::string& target,
                                        const std::string& accept = "");
// The body after the headers.
std::string http_body(const std::string& answer);

}  // namespace testsupport
