// busdump's connection to an MQTT broker. The receive thread hands messages over with publish(),
// which never waits on the broker: they wait in a bounded queue, and a thread of this class, the
// only one that drives libmosquitto, connects (again and again with a growing pause while the
// broker is away), publishes them at QoS 1 and counts one as published when the broker
// acknowledged it. Summaries are soon stale: when the queue is full the oldest summary waiting
// makes room, for a newer one or for an alert or state, which must wait their turn; only
// when no summary waits is the new message refused. Every message that makes room or is refused,
// or that is still unacknowledged when the client closes, is counted as dropped: published +
// dropped = every message handed over.
// The receiver's own state topic says "online" on every connection, "offline" at close, and is
// the will that the broker publishes when busdump dies.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/busdump/mqttsettings.h"

namespace busdump {

class MqttClient {
public:
    struct Counts {
        uint64_t published = 0;    // acknowledged by the broker
        uint64_t dropped = 0;      // refused by the full queue, or unacknowledged at close
        uint64_t waiting = 0;      // queued or sent and not acknowledged yet
        uint64_t connections = 0;  // sessions the broker accepted
    };

    static constexpr const char* ONLINE = "online";
    static constexpr const char* OFFLINE = "offline";

    MqttClient(MqttSettings settings, std::string state_topic);
    // Closes without waiting for the broker, when close() was not called.
    ~MqttClient();
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    // Whether this build has libmosquitto (the Windows build may not).
    static bool available();

    // Prepares the connection (TLS files, credentials, will) and starts the thread. False with a
    // reason when it cannot; a broker that is not there yet is no failure.
    bool start(std::string& error);
    // From any thread; never waits on the broker. `soon_stale`: a summary, which may make room.
    void publish(const std::string& topic, const std::string& payload, bool retain, bool soon_stale);
    // Lines about the connection (lost, back, refused) since the previous call, to be printed.
    std::vector<std::string> take_reports();
    Counts counts() const;
    // Sends what waits for at most `grace` while the broker is there, says "offline" on the
    // state topic, disconnects and joins the thread. What was not acknowledged is dropped.
    void close(std::chrono::milliseconds grace);

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace busdump
