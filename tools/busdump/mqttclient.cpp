#include "tools/busdump/mqttclient.h"

#include <mosquitto.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "platform/threadpriority.h"

namespace busdump {

namespace {

constexpr int QOS = 1;
constexpr int KEEPALIVE_SECONDS = 30;
// How long one round of the thread waits for the broker's packets; also how soon a message
// handed over is sent.
constexpr int LOOP_TIMEOUT_MS = 100;
// Messages sent and not yet acknowledged, at most: the rest waits in our bounded queue.
constexpr std::size_t IN_FLIGHT_LIMIT = 20;
constexpr std::chrono::seconds FIRST_PAUSE{1};
constexpr std::chrono::seconds LONGEST_PAUSE{30};
// At close, how long the receiver's "offline" may take to be acknowledged.
constexpr std::chrono::milliseconds OFFLINE_GRACE{500};

using Clock = std::chrono::steady_clock;

std::once_flag library_ready;

}  // namespace

struct MqttClient::State {
    struct Message {
        std::string topic;
        std::string payload;
        bool retain = false;
        bool soon_stale = false;
    };

    State(MqttSettings s, std::string topic) : settings(std::move(s)), state_topic(std::move(topic)) {}

    const MqttSettings settings;
    const std::string state_topic;
    mosquitto* client = nullptr;
    std::thread thread;

    // Shared with the threads that publish and read the counts.
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<Message> queue;
    std::vector<std::string> reports;
    Counts counts;
    bool closing = false;
    Clock::time_point close_by;

    // The thread's own.
    bool socket_open = false;
    bool session = false;  // the broker accepted the connection
    bool announce_online = false;  // the receiver's state is due after a connection
    bool tried = false;    // the first connection was tried: the next ones are reconnections
    bool down_told = false;
    bool ever_connected = false;
    std::set<int> in_flight;
    int own_state_mid = -1;  // the receiver's last "offline", not a counted message
    bool own_state_acked = false;
    std::chrono::seconds pause = FIRST_PAUSE;
    Clock::time_point next_attempt = Clock::now();

    void report(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        reports.push_back("busdump: " + line);
    }

    void tell_down(const std::string& what) {
        if (down_told) return;
        down_told = true;
        report(what + "; trying again with a growing pause (up to " + std::to_string(LONGEST_PAUSE.count()) +
               " s); meanwhile up to " + std::to_string(settings.queue_limit) +
               " messages wait and further ones are counted as dropped");
    }

    void retry_later() {
        socket_open = false;
        session = false;
        next_attempt = Clock::now() + pause;
        pause = std::min(pause * 2, LONGEST_PAUSE);
    }

    void attempt() {
        const int rc = tried ? mosquitto_reconnect_async(client)
                             : mosquitto_connect_async(client, settings.host.c_str(), settings.port, KEEPALIVE_SECONDS);
        tried = true;
        if (rc == MOSQ_ERR_SUCCESS) {
            socket_open = true;
            return;
        }
        tell_down("MQTT broker " + settings.endpoint() + " not reachable (" + reason(rc) + ")");
        retry_later();
    }

    // For MOSQ_ERR_ERRNO libmosquitto's text is already the system's, from errno.
    static std::string reason(int rc) { return mosquitto_strerror(rc); }

    void connected(int rc) {
        if (rc != 0) {
            tell_down("the MQTT broker " + settings.endpoint() + " refused the connection (" +
                      mosquitto_connack_string(rc) + ")");
            return;  // the broker closes the socket: the loop sees it and tries again later
        }
        session = true;
        pause = FIRST_PAUSE;
        if (down_told)
            report("connected to the MQTT broker " + settings.endpoint() + (ever_connected ? " again" : ""));
        down_told = false;
        ever_connected = true;
        // Published from the loop, not from inside libmosquitto's callback, which holds its own
        // locks in an order that its publishing takes the other way round.
        announce_online = true;
        std::lock_guard<std::mutex> lock(mutex);
        ++counts.connections;
    }

    void acknowledged(int mid) {
        if (mid == own_state_mid) own_state_acked = true;
        if (in_flight.erase(mid) == 0) return;
        std::lock_guard<std::mutex> lock(mutex);
        ++counts.published;
        --counts.waiting;
    }

    // Hands queued messages to libmosquitto while the session is up and the window has room.
    void send_queued() {
        while (session && in_flight.size() < IN_FLIGHT_LIMIT) {
            Message message;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (queue.empty()) return;
                message = std::move(queue.front());
                queue.pop_front();
            }
            int mid = 0;
            const int rc = mosquitto_publish(client, &mid, message.topic.c_str(), static_cast<int>(message.payload.size()),
                                             message.payload.data(), QOS, message.retain);
            if (rc == MOSQ_ERR_SUCCESS) {
                in_flight.insert(mid);
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex);
            if (rc == MOSQ_ERR_NO_CONN) {  // gone meanwhile: it waits for the next session
                queue.push_front(std::move(message));
                return;
            }
            ++counts.dropped;
            --counts.waiting;
            reports.push_back("busdump: MQTT message to " + message.topic + " dropped: " + reason(rc));
        }
    }

    bool done() {
        std::lock_guard<std::mutex> lock(mutex);
        if (!closing) return false;
        return !session || (queue.empty() && in_flight.empty()) || Clock::now() >= close_by;
    }

    void run() {
        // Below the receiving thread, which hands it the messages and must never wait on it.
        platform::lower_calling_thread_priority();
        while (!done()) {
            if (!socket_open) {
                std::unique_lock<std::mutex> lock(mutex);
                if (closing) break;
                if (Clock::now() < next_attempt) {
                    wake.wait_until(lock, next_attempt, [this] { return closing; });
                    continue;
                }
                lock.unlock();
                attempt();
                continue;
            }
            if (announce_online) {
                announce_online = false;
                mosquitto_publish(client, nullptr, state_topic.c_str(),
                                  static_cast<int>(std::char_traits<char>::length(ONLINE)), ONLINE, QOS, true);
            }
            send_queued();
            const int rc = mosquitto_loop(client, LOOP_TIMEOUT_MS, 1);
            if (rc != MOSQ_ERR_SUCCESS) {
                // A connection still being made (a remote host) fails here too.
                tell_down(session ? "lost the MQTT broker " + settings.endpoint() + " (" + reason(rc) + ")"
                                  : "MQTT broker " + settings.endpoint() + " not reachable (" + reason(rc) + ")");
                retry_later();
            }
        }
        say_offline_and_disconnect();
        std::lock_guard<std::mutex> lock(mutex);
        counts.dropped += queue.size() + in_flight.size();
        counts.waiting = 0;
        queue.clear();
        in_flight.clear();
    }

    // A clean disconnect sends no will: the receiver says "offline" itself.
    void say_offline_and_disconnect() {
        if (!session) return;
        const int rc = mosquitto_publish(client, &own_state_mid, state_topic.c_str(),
                                         static_cast<int>(std::char_traits<char>::length(OFFLINE)), OFFLINE, QOS, true);
        const Clock::time_point give_up = Clock::now() + OFFLINE_GRACE;
        while (rc == MOSQ_ERR_SUCCESS && !own_state_acked && Clock::now() < give_up)
            if (mosquitto_loop(client, LOOP_TIMEOUT_MS, 1) != MOSQ_ERR_SUCCESS) return;
        mosquitto_disconnect(client);
        mosquitto_loop(client, LOOP_TIMEOUT_MS, 1);
    }
};

namespace {

MqttClient::State& state_of(void* user) { return *static_cast<MqttClient::State*>(user); }

}  // namespace

MqttClient::MqttClient(MqttSettings settings, std::string state_topic)
    : state_(std::make_unique<State>(std::move(settings), std::move(state_topic))) {}

MqttClient::~MqttClient() {
    close(std::chrono::milliseconds(0));
    if (state_->client) mosquitto_destroy(state_->client);
}

bool MqttClient::available() { return true; }

bool MqttClient::start(std::string& error) {
    std::call_once(library_ready, [] { mosquitto_lib_init(); });
    State& s = *state_;
    const MqttSettings& settings = s.settings;
    s.client = mosquitto_new(nullptr, true, &s);
    if (!s.client) {
        error = std::string("cannot create an MQTT client: ") + mosquitto_strerror(MOSQ_ERR_ERRNO);
        return false;
    }
    mosquitto_connect_callback_set(s.client, [](mosquitto*, void* user, int rc) { state_of(user).connected(rc); });
    mosquitto_publish_callback_set(s.client, [](mosquitto*, void* user, int mid) { state_of(user).acknowledged(mid); });
    int rc = mosquitto_will_set(s.client, s.state_topic.c_str(), static_cast<int>(std::char_traits<char>::length(OFFLINE)),
                                OFFLINE, QOS, true);
    if (rc == MOSQ_ERR_SUCCESS && (!settings.username.empty() || settings.has_password))
        rc = mosquitto_username_pw_set(s.client, settings.username.c_str(),
                                       settings.has_password ? settings.password.c_str() : nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = "MQTT: " + State::reason(rc);
        return false;
    }
    if (settings.tls()) {
        const auto file = [](const std::string& path) { return path.empty() ? nullptr : path.c_str(); };
        rc = mosquitto_tls_set(s.client, file(settings.cafile), file(settings.capath), file(settings.certfile),
                               file(settings.keyfile), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "MQTT TLS: " + State::reason(rc) + " (check --mqtt-cafile, --mqtt-capath, --mqtt-cert, --mqtt-key)";
            return false;
        }
    }
    s.thread = std::thread([&s] { s.run(); });
    return true;
}

void MqttClient::publish(const std::string& topic, const std::string& payload, bool retain, bool soon_stale) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.closing) {
        ++s.counts.dropped;
        return;
    }
    if (s.queue.size() >= s.settings.queue_limit) {
        ++s.counts.dropped;
        const auto stale = std::find_if(s.queue.begin(), s.queue.end(), [](const State::Message& m) { return m.soon_stale; });
        if (stale == s.queue.end()) return;
        s.queue.erase(stale);
        --s.counts.waiting;
    }
    s.queue.push_back({topic, payload, retain, soon_stale});
    ++s.counts.waiting;
}

std::vector<std::string> MqttClient::take_reports() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<std::string> out;
    out.swap(state_->reports);
    return out;
}

MqttClient::Counts MqttClient::counts() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->counts;
}

void MqttClient::close(std::chrono::milliseconds grace) {
    State& s = *state_;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.closing) {
            s.closing = true;
            s.close_by = Clock::now() + grace;
        }
    }
    s.wake.notify_all();
    if (s.thread.joinable()) s.thread.join();
}

}  // namespace busdump
