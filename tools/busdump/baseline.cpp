#include "tools/busdump/baseline.h"

#include <fstream>
#include <sstream>

#include "tools/busdump/jsonobject.h"
#include "tools/busdump/jsonreader.h"

namespace busdump {

namespace {

constexpr const char* FORMAT = "busdump-baseline-1";
constexpr double MAX_SERIAL = 4294967295.0;

bool whole_number(const JsonNode* node, double max, double& out) {
    if (!node || node->type != JsonNode::Type::number || node->number < 0 || node->number > max) return false;
    if (node->number != static_cast<double>(static_cast<uint64_t>(node->number))) return false;
    out = node->number;
    return true;
}

bool read_sender(const JsonNode& node, uint32_t& serial, BaselineSender& out, std::string& error) {
    double number = 0;
    if (!whole_number(node.field("sn"), MAX_SERIAL, number)) return error = "a sender without a card serial 'sn'", false;
    serial = static_cast<uint32_t>(number);
    const JsonNode* stations = node.field("stations");
    const JsonNode* identifiers = node.field("identifiers");
    if (!stations || stations->type != JsonNode::Type::array || !identifiers ||
        identifiers->type != JsonNode::Type::array)
        return error = "a sender without 'stations' and 'identifiers' arrays", false;
    for (const JsonNode& s : stations->items) {
        double address = 0;
        const JsonNode* rate = s.field("error_rate_permille");
        if (!whole_number(s.field("address"), 255, address) || !rate || rate->type != JsonNode::Type::number)
            return error = "a station without 'address' (0 to 255) and 'error_rate_permille'", false;
        out.stations[static_cast<uint8_t>(address)] = rate->number;
    }
    for (const JsonNode& i : identifiers->items) {
        double identifier = 0, min = 0, max = 0;
        const JsonNode* mean = i.field("mean_us");
        if (!whole_number(i.field("identifier"), 0xFFFF, identifier) || !mean ||
            mean->type != JsonNode::Type::number || !whole_number(i.field("min_us"), 1e15, min) ||
            !whole_number(i.field("max_us"), 1e15, max))
            return error = "an identifier without 'identifier', 'mean_us', 'min_us' and 'max_us'", false;
        BaselineSender::Periods& p = out.identifiers[static_cast<uint16_t>(identifier)];
        p.mean_us = mean->number;
        p.min_us = static_cast<uint64_t>(min);
        p.max_us = static_cast<uint64_t>(max);
    }
    return true;
}

}  // namespace

bool Baseline::load(const std::string& path, Baseline& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return error = "cannot read baseline " + path, false;
    std::ostringstream text;
    text << in.rdbuf();
    if (!parse(text.str(), out, error)) return error = "baseline " + path + ": " + error, false;
    return true;
}

bool Baseline::parse(const std::string& text, Baseline& out, std::string& error) {
    JsonNode root;
    if (!JsonReader::parse(text, root, error)) return false;
    const JsonNode* format = root.field("format");
    if (!format || format->text != FORMAT) return error = std::string("not a baseline (no \"format\":\"") + FORMAT + "\")", false;
    const JsonNode* senders = root.field("senders");
    if (!senders || senders->type != JsonNode::Type::array) return error = "no 'senders' array", false;
    for (const JsonNode& node : senders->items) {
        uint32_t serial = 0;
        BaselineSender sender;
        if (!read_sender(node, serial, sender, error)) return false;
        out.senders[serial] = sender;
    }
    if (out.senders.empty()) return error = "it names no sender", false;
    return true;
}

std::string Baseline::to_json() const {
    std::string list;
    for (const auto& [serial, sender] : senders) {
        std::string stations, identifiers;
        for (const auto& [address, rate] : sender.stations)
            stations += (stations.empty() ? "" : ",") +
                        JsonObject().add("address", static_cast<uint32_t>(address)).add("error_rate_permille", rate).str();
        for (const auto& [identifier, p] : sender.identifiers)
            identifiers += (identifiers.empty() ? "" : ",\n      ") + JsonObject()
                                                                         .add("identifier", static_cast<uint32_t>(identifier))
                                                                         .add("mean_us", p.mean_us)
                                                                         .add("min_us", p.min_us)
                                                                         .add("max_us", p.max_us)
                                                                         .str();
        JsonObject o;
        o.add("sn", serial).add_raw("stations", "[" + stations + "]").add_raw("identifiers", "[\n      " + identifiers + "]");
        list += (list.empty() ? "\n  " : ",\n  ") + o.str();
    }
    return JsonObject().add("format", FORMAT).add_raw("senders", "[" + list + "]").str() + "\n";
}

}  // namespace busdump
