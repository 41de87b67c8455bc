// Splits a command line into options and operands the way getopt_long does: grouped short
// options ("-js"), values attached or apart ("-p57117", "-p 57117", "--port=57117",
// "--port 57117"), long names shortened to any unambiguous prefix ("--po"), and "--" ending
// the options. Pure: strings in, options out; nothing is printed.
#pragma once

#include <string>
#include <vector>

namespace busdump {

class ArgScanner {
public:
    struct Spec {
        int id;                 // what the caller switches on
        char short_name;        // 0: long name only
        const char* long_name;  // without the dashes
        bool takes_value;
    };

    struct Item {
        int id = 0;
        std::string name;   // as the user should read it in a message: "-p" or "--port"
        std::string value;  // empty for an option without value
    };

    explicit ArgScanner(std::vector<Spec> specs) : specs_(std::move(specs)) {}

    // False with a one-line reason in `error` for an unknown or ambiguous option, a missing
    // value, or a value given to an option that takes none.
    bool scan(const std::vector<std::string>& args, std::vector<Item>& items, std::vector<std::string>& operands,
              std::string& error) const;

private:
    bool scan_long(const std::vector<std::string>& args, std::size_t& i, std::vector<Item>& items,
                   std::string& error) const;
    bool scan_short_group(const std::vector<std::string>& args, std::size_t& i, std::vector<Item>& items,
                          std::string& error) const;
    const Spec* find_short(char name) const;
    // The spec whose long name is `name` or, failing that, the only one that starts with it.
    const Spec* find_long(const std::string& name, std::string& error) const;

    std::vector<Spec> specs_;
};

}  // namespace busdump
