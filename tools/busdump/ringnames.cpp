#include "tools/busdump/ringnames.h"

#include <cstdio>
#include <filesystem>

#include "tools/busdump/timetext.h"

namespace busdump {

namespace {

constexpr std::size_t TIME_LENGTH = 16;  // 20261209T155200Z
constexpr char SEPARATOR = '_';

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

RingNames::RingNames(const std::string& path) {
    const std::filesystem::path given(path);
    folder_ = given.parent_path().string();
    if (folder_.empty()) folder_ = ".";
    stem_ = given.stem().string();
    extension_ = given.extension().string();
}

std::string RingNames::closed(int64_t start_us, uint64_t sequence) const {
    char number[32];
    std::snprintf(number, sizeof number, "%0*llu", SEQUENCE_DIGITS, static_cast<unsigned long long>(sequence));
    const std::string name = stem_ + SEPARATOR + TimeText::utc_compact(start_us) + SEPARATOR + number + extension_;
    return (std::filesystem::path(folder_) / name).string();
}

std::string RingNames::writing(int64_t start_us, uint64_t sequence) const {
    return closed(start_us, sequence) + WRITING_SUFFIX;
}

bool RingNames::parse(const std::string& file_name, Parsed& out) const {
    std::string name = file_name;
    out.writing = ends_with(name, WRITING_SUFFIX);
    if (out.writing) name.resize(name.size() - std::string(WRITING_SUFFIX).size());
    const std::string prefix = stem_ + SEPARATOR;
    if (name.compare(0, prefix.size(), prefix) != 0 || !ends_with(name, extension_)) return false;
    const std::size_t time_at = prefix.size();
    const std::size_t sequence_at = time_at + TIME_LENGTH + 1;
    if (name.size() < sequence_at + SEQUENCE_DIGITS + extension_.size() || name[sequence_at - 1] != SEPARATOR)
        return false;
    if (!TimeText::parse_utc_compact(name.substr(time_at, TIME_LENGTH), out.start_us)) return false;
    const std::string digits = name.substr(sequence_at, name.size() - sequence_at - extension_.size());
    if (digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    out.sequence = std::stoull(digits);
    return true;
}

}  // namespace busdump
