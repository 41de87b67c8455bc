// A fresh directory under /tmp for one test (buffer file, lock directory, replay files),
// removed with everything in it when the object goes.
#pragma once

#include <string>

namespace integration {

class ScratchDirectory {
public:
    // `prefix` names the test in the directory name: /tmp/<prefix>-XXXXXX. Throws when none can be made.
    explicit ScratchDirectory(const std::string& prefix);
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace integration
