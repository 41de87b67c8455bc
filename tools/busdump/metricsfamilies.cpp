#include "tools/busdump/metricsfamilies.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace busdump {

namespace {

constexpr const char* COUNTER_SUFFIX = "_total";
// Integers up to 2^53 are exact in a double, and are written without a fraction.
constexpr double EXACT_INTEGER_LIMIT = 9007199254740992.0;

}  // namespace

MetricsFamilies::Family& MetricsFamilies::family(const std::string& name, Type type, const char* help) {
    const auto found = by_name_.find(name);
    if (found != by_name_.end()) return families_[found->second];
    by_name_.emplace(name, families_.size());
    families_.push_back(Family{name, type, help, {}});
    return families_.back();
}

void MetricsFamilies::add(Family& family, const Labels& labels, double value) {
    std::string& out = family.samples;
    if (!labels.empty()) {
        out += '{';
        for (std::size_t i = 0; i < labels.size(); ++i) {
            if (i) out += ',';
            out += labels[i].first;
            out += "=\"";
            out += escape(labels[i].second);
            out += '"';
        }
        out += '}';
    }
    out += ' ';
    out += number(value);
    out += '\n';
}

void MetricsFamilies::counter(const std::string& name, const char* help, const Labels& labels, double value) {
    add(family(name, Type::counter, help), labels, value);
}

void MetricsFamilies::gauge(const std::string& name, const char* help, const Labels& labels, double value) {
    add(family(name, Type::gauge, help), labels, value);
}

std::string MetricsFamilies::text(Format format) const {
    const bool openmetrics = format == Format::openmetrics;
    std::string out;
    for (const Family& f : families_) {
        const bool counter = f.type == Type::counter;
        // The older format names a counter's family as its samples are named.
        const std::string declared = counter && !openmetrics ? f.name + COUNTER_SUFFIX : f.name;
        const std::string sample = counter ? f.name + COUNTER_SUFFIX : f.name;
        out += "# HELP " + declared + " " + f.help + "\n";
        out += "# TYPE " + declared + (counter ? " counter\n" : " gauge\n");
        std::size_t start = 0;
        while (start < f.samples.size()) {
            const std::size_t end = f.samples.find('\n', start);
            out += sample;
            out.append(f.samples, start, end - start + 1);
            start = end + 1;
        }
    }
    if (openmetrics) out += "# EOF\n";
    return out;
}

std::string MetricsFamilies::number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[40];
    if (value == std::floor(value) && std::fabs(value) < EXACT_INTEGER_LIMIT) {
        // Most samples are counts: written as integers without the cost of a format string.
        const auto end = std::to_chars(text, text + sizeof text, static_cast<int64_t>(value)).ptr;
        return std::string(text, end);
    } else {
        // The shortest of the two precisions that reads back as the same value.
        std::snprintf(text, sizeof text, "%.15g", value);
        if (std::strtod(text, nullptr) != value) std::snprintf(text, sizeof text, "%.17g", value);
    }
    return text;
}

std::string MetricsFamilies::escape(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

}  // namespace busdump
