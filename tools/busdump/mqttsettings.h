// Where and how busdump publishes to an MQTT broker (--mqtt and the options beside it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace busdump {

struct MqttSettings {
    static constexpr uint16_t DEFAULT_PORT = 1883;
    static constexpr std::size_t DEFAULT_QUEUE_LIMIT = 1000;

    std::string host;  // empty: no MQTT
    uint16_t port = DEFAULT_PORT;
    std::string topic = "busgate";  // the prefix of every topic
    std::size_t queue_limit = DEFAULT_QUEUE_LIMIT;  // messages waiting for the broker, at most
    // TLS, on when a CA file or directory is given; the client certificate and key are optional.
    std::string cafile;
    std::string capath;
    std::string certfile;
    std::string keyfile;
    std::string username;
    std::string password;  // read from --mqtt-password-file, never taken from the command line
    bool has_password = false;

    bool enabled() const { return !host.empty(); }
    bool tls() const { return !cafile.empty() || !capath.empty(); }
    std::string endpoint() const { return host + ":" + std::to_string(port); }
};

}  // namespace busdump
