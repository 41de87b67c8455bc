#include "tools/busdump/extcapinterface.h"

#include "common/stream/defaultport.h"
#include "common/stream/pcapformat.h"

namespace busdump {

namespace {

// The arguments Wireshark gives, as "--name value" or "--name=value".
const char* const INTERFACES = "--extcap-interfaces";
const char* const DLTS = "--extcap-dlts";
const char* const CONFIG = "--extcap-config";
const char* const CAPTURE = "--capture";
const char* const INTERFACE = "--extcap-interface";
const char* const FIFO = "--fifo";
const char* const CAPTURE_FILTER = "--extcap-capture-filter";
const char* const VERSION = "--extcap-version";  // Wireshark's own version; the value is optional
const char* const EXTCAP_PREFIX = "--extcap-";

const char* const NO_CAPTURE_FILTER =
    "capture filters are not supported: busdump captures every datagram of the gateways; choose "
    "what is shown with a display filter such as busgate.event.identifier == 0x9080";

// The capture dialog's options: the receiver's own, with its defaults. An IPv4 address is
// checked without braces, which the extcap sentences do not allow inside a value.
std::string config_sentences(const Options& defaults) {
    return "arg {number=0}{call=--port}{display=UDP port}{type=unsigned}{range=1,65535}{default=" +
           std::to_string(defaults.port) +
           "}{tooltip=The port the gateways send to (busgated -p)}\n"
           "arg {number=1}{call=--bind}{display=Listen address}{type=string}{default=" +
           defaults.bind +
           "}{validation=^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$}"
           "{tooltip=Local IPv4 address to listen on; 0.0.0.0 listens on every network}\n"
           "arg {number=2}{call=--group}{display=Multicast group}{type=string}{required=false}"
           "{tooltip=IPv4 multicast group to join (busgated -a with a group address); empty: none}\n";
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// "--name=value" or "--name value" at args[i]; false when `name` is not there.
bool take_value(const std::vector<std::string>& args, std::size_t& i, const std::string& name, std::string& value,
                std::string& error) {
    const std::string& arg = args[i];
    if (starts_with(arg, name + "=")) {
        value = arg.substr(name.size() + 1);
        return true;
    }
    if (arg != name) return false;
    if (i + 1 >= args.size()) {
        error = name + " needs a value";
        return false;
    }
    value = args[++i];
    return true;
}

}  // namespace

bool ExtcapInterface::is_request(const std::vector<std::string>& args) {
    for (const std::string& arg : args)
        if (starts_with(arg, EXTCAP_PREFIX) || arg == CAPTURE || arg == FIFO ||
            starts_with(arg, std::string(FIFO) + "="))
            return true;
    return false;
}

bool ExtcapInterface::parse(const std::vector<std::string>& args, Request& request, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == INTERFACES) {
            request.interfaces = true;
        } else if (arg == DLTS) {
            request.dlts = true;
        } else if (arg == CONFIG) {
            request.config = true;
        } else if (arg == CAPTURE) {
            request.capture = true;
        } else if (arg == VERSION || starts_with(arg, std::string(VERSION) + "=")) {
            // Which Wireshark asks changes nothing in the answers.
        } else if (take_value(args, i, INTERFACE, request.interface, error)) {
            request.has_interface = true;
        } else if (take_value(args, i, FIFO, request.fifo, error) ||
                   take_value(args, i, CAPTURE_FILTER, request.capture_filter, error)) {
            continue;
        } else if (!error.empty()) {
            return false;  // one of them without its value
        } else if (starts_with(arg, EXTCAP_PREFIX)) {
            error = "unknown extcap argument " + arg;
            return false;
        } else if (starts_with(arg, "--") && i + 1 < args.size() && args[i + 1].empty()) {
            // The capture dialog passes an option left empty as an empty value: not set.
            ++i;
        } else {
            request.receiver_args.push_back(arg);
        }
    }
    return true;
}

bool ExtcapInterface::names_our_interface(const Request& request, std::string& error) {
    if (!request.has_interface) {
        error = "no interface given (--extcap-interface " + std::string(INTERFACE_NAME) + ")";
        return false;
    }
    if (request.interface != INTERFACE_NAME) {
        error = "unknown interface '" + request.interface + "' (busdump serves '" + INTERFACE_NAME + "')";
        return false;
    }
    return true;
}

ExtcapInterface::Action ExtcapInterface::handle(const std::vector<std::string>& args, std::ostream& out,
                                                Options& options, std::string& error) const {
    Request request;
    if (!parse(args, request, error)) return Action::refused;
    if (request.interfaces) {
        out << "extcap {version=" << version_ << "}{display=busgate receiver}\n"
            << "interface {value=" << INTERFACE_NAME << "}{display=busgate receiver}\n";
        return Action::answered;
    }
    if (!names_our_interface(request, error)) return Action::refused;
    if (request.dlts) {
        // The datagrams are written as pcap packets with Ethernet, IPv4 and UDP headers around them.
        out << "dlt {number=" << PcapFormat::LINKTYPE_ETHERNET << "}{name=EN10MB}{display=Ethernet}\n";
        return Action::answered;
    }
    if (request.config) {
        out << config_sentences(Options());
        return Action::answered;
    }
    if (request.capture) return capture_options(request, options, error);
    if (!request.capture_filter.empty()) {
        // Wireshark asks whether a filter is valid: nothing printed means yes.
        out << NO_CAPTURE_FILTER << "\n";
        return Action::answered;
    }
    if (!request.receiver_args.empty()) {
        error = "busdump's own options with --extcap-interface but without --capture";
        return Action::refused;
    }
    // The interface alone: the check of an empty capture filter, which is valid.
    return Action::answered;
}

ExtcapInterface::Action ExtcapInterface::capture_options(const Request& request, Options& options,
                                                         std::string& error) {
    if (request.fifo.empty()) {
        error = "--capture needs --fifo PATH, the pipe Wireshark reads";
        return Action::refused;
    }
    if (!request.capture_filter.empty()) {
        error = NO_CAPTURE_FILTER;
        return Action::refused;
    }
    Options parsed;
    if (!Options::parse(request.receiver_args, parsed, error)) return Action::refused;
    parsed.write_path = request.fifo;
    parsed.live_capture = true;
    // Nothing reads busdump's own output under Wireshark: no line per record is made.
    parsed.stats = true;
    options = parsed;
    return Action::capture;
}

}  // namespace busdump
