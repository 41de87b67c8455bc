// Wireshark's external capture interface (extcap). Wireshark runs every program of its extcap
// folder to learn its interfaces (--extcap-interfaces), their link types (--extcap-dlts) and
// capture options (--extcap-config), to check a capture filter (--extcap-capture-filter), and
// finally to capture (--capture) into a FIFO it made (--fifo). busdump answers as one
// interface, the busgate receiver; a capture becomes busdump's own options: the receiver's
// options from the capture dialog (--port, --bind, --group) and -w to the FIFO, live.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/busdump/options.h"

namespace busdump {

class ExtcapInterface {
public:
    static constexpr const char* INTERFACE_NAME = "busgate";

    enum class Action { answered, capture, refused };

    // Whether Wireshark is calling: one of the extcap arguments is among `args`.
    static bool is_request(const std::vector<std::string>& args);

    explicit ExtcapInterface(std::string version) : version_(std::move(version)) {}

    // A query is answered on `out`; a capture request fills `options` for BusDump; anything
    // else is refused with a one-line reason in `error`.
    Action handle(const std::vector<std::string>& args, std::ostream& out, Options& options, std::string& error) const;

private:
    struct Request {
        bool interfaces = false;
        bool dlts = false;
        bool config = false;
        bool capture = false;
        bool has_interface = false;
        std::string interface;
        std::string fifo;
        std::string capture_filter;
        std::vector<std::string> receiver_args;  // everything else: busdump's own options
    };

    static bool parse(const std::vector<std::string>& args, Request& request, std::string& error);
    static bool names_our_interface(const Request& request, std::string& error);
    static Action capture_options(const Request& request, Options& options, std::string& error);

    std::string version_;
};

}  // namespace busdump
