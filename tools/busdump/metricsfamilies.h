// Metric families gathered in any order and written as one exposition: every family's samples
// together, its HELP and TYPE lines before them, in the order the families were first named.
// Two text formats from the same families: OpenMetrics 1.0 (what Prometheus asks for) and the
// older Prometheus text format 0.0.4 (what promtool and plain HTTP clients read).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace busdump {

class MetricsFamilies {
public:
    using Labels = std::vector<std::pair<std::string, std::string>>;
    enum class Type { counter, gauge };
    enum class Format { openmetrics, prometheus };

    // A counter's family is named without "_total"; its samples carry it.
    void counter(const std::string& family, const char* help, const Labels& labels, double value);
    void gauge(const std::string& family, const char* help, const Labels& labels, double value);

    std::string text(Format format) const;

    // A sample value: integers exactly, NaN and infinities by their exposition names.
    static std::string number(double value);
    // A label value with backslash, double quote and line feed escaped.
    static std::string escape(const std::string& value);

private:
    struct Family {
        std::string name;
        Type type = Type::gauge;
        const char* help = "";
        std::string samples;  // "{labels} value\n" each, without the name
    };

    Family& family(const std::string& name, Type type, const char* help);
    void add(Family& family, const Labels& labels, double value);

    std::vector<Family> families_;
    std::unordered_map<std::string, std::size_t> by_name_;
};

}  // namespace busdump
