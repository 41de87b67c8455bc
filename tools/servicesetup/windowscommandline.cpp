#include "tools/servicesetup/windowscommandline.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr const char* OPTIONS_SWITCH = "/OPTIONS=";
// The installer's own switches, which end an unquoted /OPTIONS= value.
const char* const INSTALLER_SWITCHES[] = {"/S", "/D=", "/START=", "/BROADCAST", "/KEEPDATA", "/OPTIONS="};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool starts_with_nocase(const std::string& text, std::size_t at, const std::string& prefix) {
    if (text.size() - at < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(text[at + i])) != prefix[i]) return false;
    return true;
}

// Whether an installer switch starts at `at` (followed by a blank, the end, or its value).
bool installer_switch_at(const std::string& text, std::size_t at) {
    for (const std::string name : INSTALLER_SWITCHES) {
        if (!starts_with_nocase(text, at, name)) continue;
        const std::size_t end = at + name.size();
        if (name.back() == '=' || end == text.size() || is_blank(text[end])) return true;
    }
    return false;
}

std::string trim(const std::string& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && is_blank(text[begin])) ++begin;
    while (end > begin && is_blank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

}  // namespace

bool WindowsCommandLine::split(const std::string& text, std::vector<std::string>& words, std::string& error) {
    words.clear();
    std::string word;
    bool in_word = false, quoted = false;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\\') {
            std::size_t backslashes = 0;
            while (i < text.size() && text[i] == '\\') ++backslashes, ++i;
            if (i < text.size() && text[i] == '"') {
                if (backslashes % 2 == 1) {
                    error = "a quote character inside an option value";
                    return false;
                }
                word.append(backslashes / 2, '\\');
            } else {
                word.append(backslashes, '\\');
            }
            in_word = true;
            continue;
        }
        if (c == '"') {
            if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
                error = "a quote character inside an option value";
                return false;
            }
            quoted = !quoted;
            in_word = true;
        } else if (is_blank(c) && !quoted) {
            if (in_word) words.push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
        ++i;
    }
    if (quoted) {
        error = "a quote is not closed";
        return false;
    }
    if (in_word) words.push_back(word);
    return true;
}

std::string WindowsCommandLine::quote(const std::string& word) {
    if (!word.empty() && std::none_of(word.begin(), word.end(), [](char c) { return is_blank(c) || c == '"'; }))
        return word;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled and the quote escaped.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');  // before the closing quote
    return quoted + "\"";
}

std::string WindowsCommandLine::join(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) {
        if (!line.empty()) line += ' ';
        line += quote(word);
    }
    return line;
}

bool WindowsCommandLine::installer_options(const std::string& parameters, std::string& options, std::string& error) {
    options.clear();
    std::size_t at = std::string::npos;
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (!starts_with_nocase(parameters, i, OPTIONS_SWITCH)) continue;
        if (i == 0 || is_blank(parameters[i - 1]) || parameters[i - 1] == '"') at = i;
        if (at != std::string::npos) break;
    }
    if (at == std::string::npos) return true;
    const std::size_t value_begin = at + std::string(OPTIONS_SWITCH).size();

    if (at > 0 && parameters[at - 1] == '"') {
        // The whole parameter in quotes: its value ends at the closing quote; \" stands for ".
        std::string value;
        for (std::size_t i = value_begin; i < parameters.size(); ++i) {
            if (parameters[i] == '\\' && i + 1 < parameters.size() && parameters[i + 1] == '"') {
                value += '"';
                ++i;
            } else if (parameters[i] == '"') {
                options = trim(value);
                return true;
            } else {
                value += parameters[i];
            }
        }
        error = "the quote before /OPTIONS= is not closed";
        return false;
    }

    std::size_t end = value_begin;
    bool quoted = false;
    for (; end < parameters.size(); ++end) {
        if (parameters[end] == '"') quoted = !quoted;
        if (!quoted && is_blank(parameters[end]) && end + 1 < parameters.size() && parameters[end + 1] != ' ' &&
            installer_switch_at(parameters, end + 1))
            break;
    }
    std::string value = trim(parameters.substr(value_begin, end - value_begin));
    // Quotes around the whole value, and none inside it, only group it.
    if (value.size() >= 2 && value.front() == '"' && value.find('"', 1) == value.size() - 1)
        value = trim(value.substr(1, value.size() - 2));
    options = value;
    return true;
}
