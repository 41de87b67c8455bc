#include "tests/support/httpget.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

namespace testsupport {

std::optional<std::string> http_request(uint16_t port, const std::string& method, const std::string& target,
                                        const std::string& accept) {
    namespace asio = boost::asio;
    try {
        asio::io_context io;
        asio::ip::tcp::socket socket(io);
        socket.connect({asio::ip::address_v4::loopback(), port});
        std::string request = method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
        if (!accept.empty()) request += "Accept: " + accept + "\r\n";
        asio::write(socket, asio::buffer(request + "\r\n"));
        std::string answer;
        boost::system::error_code ec;
        asio::read(socket, asio::dynamic_buffer(answer), ec);
        return answer;
    } catch (const boost::system::system_error&) {
        return std::nullopt;
    }
}

std::string http_body(const std::string& answer) {
    const std::size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

}  // namespace testsupport
