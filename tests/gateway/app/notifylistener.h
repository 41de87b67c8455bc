// The service manager's end of the notify protocol: a unix datagram socket that collects the
// messages a service sends through sd_notify.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/datagram_protocol.hpp>

namespace apptest {

class NotifyListener {
public:
    explicit NotifyListener(const std::string& path) : path_(path), socket_(io_) {
        socket_.open();
        socket_.bind(boost::asio::local::datagram_protocol::endpoint(path));
        socket_.non_blocking(true);
    }

    const std::string& path() const { return path_; }

    // The next message, or "" when none came within `timeout`.
    std::string next(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char buffer[4096];
        for (;;) {
            boost::system::error_code error;
            const std::size_t n = socket_.receive(boost::asio::buffer(buffer), 0, error);
            if (!error) return std::string(buffer, n);
            if (std::chrono::steady_clock::now() >= deadline) return "";
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // Every message up to the first that contains `last` (included), or until `timeout`.
    std::vector<std::string> until(const std::string& last, std::chrono::milliseconds timeout) {
        std::vector<std::string> messages;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            std::string message = next(left);
            if (message.empty()) break;
            messages.push_back(message);
            if (message.find(last) != std::string::npos) break;
        }
        return messages;
    }

private:
    std::string path_;
    boost::asio::io_context io_;
    boost::asio::local::datagram_protocol::socket socket_;
};

}  // namespace apptest
