// A fresh directory under the system's temporary directory for one test (buffer file, lock
// directory, replay files), removed with everything in it when the object goes.
#pragma once

#include <string>

namespace testsupport {

class ScratchDirectory {
public:
    // `prefix` names the test in the directory name: <temp>/<prefix>-<random>. Throws when none
    // can be made.
    explicit ScratchDirectory(const std::string& prefix);
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace testsupport
