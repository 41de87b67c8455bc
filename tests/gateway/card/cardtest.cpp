#include "tests/gateway/card/cardtest.h"

#include <fstream>
#include <sstream>
#include <thread>

#include "common/driver/controlbyte.h"

using namespace std::chrono_literals;

void CardTest::SetUp() {
    scratch_ = std::make_unique<testsupport::ScratchDirectory>("busgate-card");
    dir_ = scratch_->path();
    log_path_ = dir_ + "/log.txt";
    log_ = std::fopen(log_path_.c_str(), "w+");
    ASSERT_NE(log_, nullptr);
    queue_ = std::make_shared<Linkscope::Queue>(dir_ + "/buffer.bin", QUEUE_SIZE);
}

void CardTest::TearDown() {
    for (int number : installed_) platform::remove_device(number);
    queue_.reset();
    if (log_) std::fclose(log_);
    scratch_.reset();
}

std::shared_ptr<testsupport::TestDevice> CardTest::install(int device_number, const linkscope::device_infos& infos) {
    auto device = std::make_shared<testsupport::TestDevice>(infos);
    platform::install_device(device_number, device);
    installed_.push_back(device_number);
    return device;
}

std::unique_ptr<Linkscope> CardTest::make_card() { return std::make_unique<Linkscope>(log_, queue_); }

std::string CardTest::log_text() {
    std::fflush(log_);
    std::ifstream in(log_path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::vector<char>> CardTest::take_records(std::size_t count, std::chrono::milliseconds timeout) {
    std::vector<std::vector<char>> records;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (records.size() < count && std::chrono::steady_clock::now() < deadline) {
        std::vector<char> record;
        if (queue_->dequeue(record)) records.push_back(std::move(record));
    }
    return records;
}

bool CardTest::eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::vector<uint8_t> block_of(const std::vector<std::vector<uint8_t>>& records, uint32_t flags) {
    testsupport::BlockBuilder builder(flags);
    for (const auto& record : records) builder.add(record);
    return builder.build();
}

std::vector<uint8_t> id_dat_record(uint64_t index) {
    return testsupport::make_record(testsupport::make_frame(linkscope::CTRL_ID_DAT, {0x90, 0x80}), index);
}
