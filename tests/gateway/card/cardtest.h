// Fixture for the card handle tests: a buffer queue in a temp dir, a log file that can be read
// back, and test devices installed at chosen device numbers (removed again afterwards).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gateway/card/linkscope.h"
#include "gateway/queue/syncmappedqueue.h"
#include "tests/support/blockbuilder.h"
#include "tests/support/scratchdirectory.h"
#include "tests/support/testdevice.h"

class CardTest : public ::testing::Test {
protected:
    static constexpr unsigned QUEUE_SIZE = 4u << 20;

    void SetUp() override;
    void TearDown() override;

    std::shared_ptr<testsupport::TestDevice> install(int device_number,
                                                     const linkscope::device_infos& infos =
                                                         testsupport::TestDevice::default_infos());
    std::unique_ptr<Linkscope> make_card();

    // Everything logged so far.
    std::string log_text();
    // Takes `count` records from the queue, waiting up to `timeout` in all.
    std::vector<std::vector<char>> take_records(std::size_t count,
                                                std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Polls `done` until it holds or `timeout` passes; returns its last answer.
    static bool eventually(const std::function<bool()>& done,
                           std::chrono::milliseconds timeout = std::chrono::seconds(5));

    std::unique_ptr<testsupport::ScratchDirectory> scratch_;
    std::string dir_;
    std::string log_path_;
    FILE* log_ = nullptr;
    std::shared_ptr<Linkscope::Queue> queue_;
    std::vector<int> installed_;
};

// A block holding the given records, in order.
std::vector<uint8_t> block_of(const std::vector<std::vector<uint8_t>>& records,
                              uint32_t flags = linkscope::BLOCK_FLAG_EVENTS_A);
// A clean 5-byte ID_DAT record with `index`.
std::vector<uint8_t> id_dat_record(uint64_t index);
