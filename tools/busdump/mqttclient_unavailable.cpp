// The MQTT client of a build without libmosquitto (the Windows build): --mqtt is refused when
// the options are read, so none of this publishes anything.
#include "tools/busdump/mqttclient.h"

namespace busdump {

struct MqttClient::State {};

MqttClient::MqttClient(MqttSettings, std::string) : state_(std::make_unique<State>()) {}
MqttClient::~MqttClient() = default;

bool MqttClient::available() { return false; }

bool MqttClient::start(std::string& error) {
    error = "this busdump was built without libmosquitto: --mqtt is not available";
    return false;
}

void MqttClient::publish(const std::string&, const std::string&, bool, bool) {}
std::vector<std::string> MqttClient::take_reports() { return {}; }
MqttClient::Counts MqttClient::counts() const { return {}; }
void MqttClient::close(std::chrono::milliseconds) {}

}  // namespace busdump
