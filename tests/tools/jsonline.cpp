#include "tests/tools/jsonline.h"

#include <cctype>
#include <cstdlib>

namespace busdumptest {

namespace {

struct Reader {
    const std::string& s;
    std::size_t i = 0;
    std::string error;

    void skip_space() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    }
    bool fail(const std::string& what) {
        error = what + " at " + std::to_string(i);
        return false;
    }
    bool expect(char c) {
        skip_space();
        if (i >= s.size() || s[i] != c) return fail(std::string("expected '") + c + "'");
        ++i;
        return true;
    }
    bool string(std::string& out) {
        if (!expect('"')) return false;
        out.clear();
        while (i < s.size() && s[i] != '"') {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            if (c < 0x20) return fail("control character in string");
            if (c != '\\') {
                out += s[i++];
                continue;
            }
            if (++i >= s.size()) return fail("cut escape");
            const char e = s[i++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': {
                    if (i + 4 > s.size()) return fail("cut \\u escape");
                    const std::string hex = s.substr(i, 4);
                    for (char h : hex)
                        if (!std::isxdigit(static_cast<unsigned char>(h))) return fail("bad \\u escape");
                    const long code = std::strtol(hex.c_str(), nullptr, 16);
                    if (code > 0xFF) return fail("non-Latin \\u escape");
                    out += static_cast<char>(code);
                    i += 4;
                    break;
                }
                default: return fail("unknown escape");
            }
        }
        if (i >= s.size()) return fail("unterminated string");
        ++i;
        return true;
    }
    bool number(std::string& out) {
        const std::size_t start = i;
        if (i < s.size() && s[i] == '-') ++i;
        if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) return fail("bad number");
        if (s[i] == '0' && i + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])))
            return fail("leading zero");
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
        if (i < s.size() && s[i] == '.') {
            ++i;
            if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) return fail("bad fraction");
            while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
        }
        if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
            ++i;
            if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
            if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) return fail("bad exponent");
            while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
        }
        out = s.substr(start, i - start);
        return true;
    }
    bool word(const char* w) {
        const std::string text(w);
        if (s.compare(i, text.size(), text) != 0) return fail("bad literal");
        i += text.size();
        return true;
    }
    bool value(JsonValue& v) {
        skip_space();
        if (i >= s.size()) return fail("missing value");
        const char c = s[i];
        if (c == '"') {
            v.type = JsonValue::Type::string;
            return string(v.text);
        }
        if (c == 't' || c == 'f') {
            v.type = JsonValue::Type::boolean;
            v.boolean = c == 't';
            return word(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            v.type = JsonValue::Type::null;
            return word("null");
        }
        v.type = JsonValue::Type::number;
        return number(v.text);
    }
};

}  // namespace

bool parse_json_line(const std::string& line, std::map<std::string, JsonValue>& out, std::string& error) {
    Reader r{line, 0, {}};
    out.clear();
    bool ok = r.expect('{');
    r.skip_space();
    if (ok && r.i < line.size() && line[r.i] == '}') {
        ++r.i;
    } else {
        while (ok) {
            std::string key;
            JsonValue value;
            ok = r.string(key) && r.expect(':') && r.value(value);
            if (!ok) break;
            if (!out.emplace(key, value).second) ok = r.fail("duplicate key " + key);
            r.skip_space();
            if (ok && r.i < line.size() && line[r.i] == ',') {
                ++r.i;
                r.skip_space();
                continue;
            }
            ok = ok && r.expect('}');
            break;
        }
    }
    r.skip_space();
    if (ok && r.i != line.size()) ok = r.fail("trailing bytes");
    error = r.error;
    return ok;
}

}  // namespace busdumptest
