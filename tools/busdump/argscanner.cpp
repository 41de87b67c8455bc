#include "tools/busdump/argscanner.h"

namespace busdump {

bool ArgScanner::scan(const std::vector<std::string>& args, std::vector<Item>& items,
                      std::vector<std::string>& operands, std::string& error) const {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            operands.insert(operands.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            return true;
        }
        if (arg.rfind("--", 0) == 0) {
            if (!scan_long(args, i, items, error)) return false;
        } else if (arg.size() > 1 && arg[0] == '-') {
            if (!scan_short_group(args, i, items, error)) return false;
        } else {
            operands.push_back(arg);
        }
    }
    return true;
}

bool ArgScanner::scan_long(const std::vector<std::string>& args, std::size_t& i, std::vector<Item>& items,
                           std::string& error) const {
    const std::string& arg = args[i];
    const std::size_t equals = arg.find('=');
    const std::string written = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    const Spec* spec = find_long(written, error);
    if (!spec) return false;
    Item item{spec->id, std::string("--") + spec->long_name, ""};
    if (equals != std::string::npos) {
        if (!spec->takes_value) {
            error = "option " + item.name + " takes no value";
            return false;
        }
        item.value = arg.substr(equals + 1);
    } else if (spec->takes_value) {
        if (i + 1 >= args.size()) {
            error = "option " + item.name + " needs a value";
            return false;
        }
        item.value = args[++i];
    }
    items.push_back(item);
    return true;
}

bool ArgScanner::scan_short_group(const std::vector<std::string>& args, std::size_t& i, std::vector<Item>& items,
                                  std::string& error) const {
    const std::string& arg = args[i];
    for (std::size_t at = 1; at < arg.size(); ++at) {
        const Spec* spec = find_short(arg[at]);
        if (!spec) {
            error = "unknown option '-" + std::string(1, arg[at]) + "'" +
                    (arg.size() > 2 ? " in '" + arg + "'" : std::string()) + " (busdump --help lists them)";
            return false;
        }
        Item item{spec->id, std::string("-") + spec->short_name, ""};
        if (spec->takes_value) {
            // The rest of the group is the value; without a rest, the next argument is.
            if (at + 1 < arg.size()) {
                item.value = arg.substr(at + 1);
            } else if (i + 1 < args.size()) {
                item.value = args[++i];
            } else {
                error = "option " + item.name + " needs a value";
                return false;
            }
            items.push_back(item);
            return true;
        }
        items.push_back(item);
    }
    return true;
}

const ArgScanner::Spec* ArgScanner::find_short(char name) const {
    if (name == 0) return nullptr;
    for (const Spec& spec : specs_)
        if (spec.short_name == name) return &spec;
    return nullptr;
}

const ArgScanner::Spec* ArgScanner::find_long(const std::string& name, std::string& error) const {
    const Spec* match = nullptr;
    std::size_t matches = 0;
    std::string candidates;
    for (const Spec& spec : specs_) {
        const std::string full = spec.long_name;
        if (full == name) return &spec;
        if (name.empty() || full.compare(0, name.size(), name) != 0) continue;
        match = &spec;
        candidates += (matches++ ? ", --" : "--") + full;
    }
    if (matches == 1) return match;
    if (matches > 1)
        error = "option '--" + name + "' is ambiguous: " + candidates;
    else
        error = "unknown option '--" + name + "' (busdump --help lists them)";
    return nullptr;
}

}  // namespace busdump
