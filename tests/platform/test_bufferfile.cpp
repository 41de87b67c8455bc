// The buffer file: created new and reserved in full, never through a link, removed again.
#include "platform/bufferfile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <stdexcept>
#include <string>

#include "tests/support/scratchdirectory.h"

namespace {

namespace fs = std::filesystem;

std::string message_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

TEST(BufferFile, CreatedNewWithItsWholeSizeAndRemoved) {
    testsupport::ScratchDirectory dir("bufferfile");
    const std::string path = dir / "buffer.bin";
    platform::create_buffer_file(path, 3 * 1024 * 1024 + 5);
    EXPECT_EQ(fs::file_size(path), 3u * 1024 * 1024 + 5);
    platform::remove_buffer_file(path);
    EXPECT_FALSE(fs::exists(path));
    platform::remove_buffer_file(path);  // a missing file is no error
}

TEST(BufferFile, AnExistingFileIsNeverOpened) {
    testsupport::ScratchDirectory dir("bufferfile");
    const std::string path = dir / "buffer.bin";
    { std::ofstream(path) << "someone else's"; }
    const std::string message = message_of([&] { platform::create_buffer_file(path, 4096); });
    EXPECT_NE(message.find("buffer file " + path + ": cannot be created"), std::string::npos) << message;
    EXPECT_EQ(fs::file_size(path), 14u) << "left as it was";
}

TEST(BufferFile, ZeroSizeIsRefusedWithoutAFile) {
    testsupport::ScratchDirectory dir("bufferfile");
    const std::string path = dir / "buffer.bin";
    EXPECT_NE(message_of([&] { platform::create_buffer_file(path, 0); }).find("0 bytes"), std::string::npos);
    EXPECT_FALSE(fs::exists(path));
}

TEST(BufferDirectory, MissingLevelsAreMadeAndAFileInTheWayIsRefused) {
    testsupport::ScratchDirectory dir("bufferdir");
    const std::string nested = dir / "a/b/c";
    platform::prepare_buffer_directory(nested);
    EXPECT_TRUE(fs::is_directory(nested));
    platform::prepare_buffer_directory(nested);  // existing levels are fine

    { std::ofstream(dir / "plain") << "x"; }
    const std::string message = message_of([&] { platform::prepare_buffer_directory(dir / "plain"); });
    EXPECT_NE(message.find("is not a directory"), std::string::npos) << message;
    const std::string below = message_of([&] { platform::prepare_buffer_directory(dir / "plain/sub"); });
    EXPECT_NE(below.find("buffer directory"), std::string::npos) << below;
}

TEST(BufferDirectory, ALinkInPlaceOfTheDirectoryIsRefused) {
    testsupport::ScratchDirectory dir("bufferdir");
    fs::create_directory(dir / "real");
    std::error_code error;
    fs::create_directory_symlink(dir / "real", dir / "link", error);
    if (error) GTEST_SKIP() << "this system makes no directory link here: " << error.message();
    for (const std::string& target : {dir / "link", dir / "link/below"}) {
        const std::string message = message_of([&] { platform::prepare_buffer_directory(target); });
        EXPECT_NE(message.find("buffer directory " + dir / "link" + ": is a"), std::string::npos) << message;
        EXPECT_NE(message.find("symbolic link"), std::string::npos) << target << ": " << message;
        EXPECT_NE(message.find("refused"), std::string::npos) << target << ": " << message;
    }
    EXPECT_FALSE(fs::exists(dir / "real/below")) << "nothing made through the link";
}

}  // namespace
