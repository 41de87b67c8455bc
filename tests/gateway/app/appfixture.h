// A gateway run inside the test process: a scripted card at a device number of its own, the
// buffer file in a temporary directory, datagrams to a receiver on 127.0.0.1.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <gtest/gtest.h>

#include "gateway/app.h"
#include "gateway/logger.h"
#include "gateway/settings.h"
#include "platform/device.h"
#include "tests/gateway/app/commandline.h"
#include "tests/support/scratchdirectory.h"
#include "tests/support/testdevice.h"

namespace apptest {

class AppFixture : public ::testing::Test {
protected:
    // The card handle names device number index + 1.
    static constexpr int CARD_INDEX = 1;
    static constexpr int CARD_NUMBER = CARD_INDEX + 1;

    void SetUp() override {
        receiver_.open(boost::asio::ip::udp::v4());
        receiver_.bind({boost::asio::ip::make_address_v4("127.0.0.1"), 0});
        running.store(0);
    }

    void TearDown() override {
        platform::remove_device(CARD_NUMBER);
        release_cfg_strings(cfg);
        clear_log();
    }

    void install_card() {
        card_ = std::make_shared<testsupport::TestDevice>();
        platform::install_device(CARD_NUMBER, card_);
    }

    std::string path(const std::string& name) const { return dir_ / name; }
    std::string buffer_path() const { return path("buffer.bin"); }
    std::string log_path() const { return path("busgated.log"); }
    unsigned short receiver_port() const { return receiver_.local_endpoint().port(); }

    // The options of a safe run plus `extra`; load_settings has read them into cfg.
    void load(std::vector<std::string> extra = {}) {
        std::vector<std::string> words{"busgated", "-B", buffer_path(), "-a", "127.0.0.1", "-p",
                                       std::to_string(receiver_port()), "-L", log_path()};
        words.insert(words.end(), extra.begin(), extra.end());
        const SettingsResult result = run_load_settings(words);
        ASSERT_EQ(result.go_on, 1) << result.out;
    }

    std::string log_text() const {
        std::string text;
        if (FILE* file = std::fopen(log_path().c_str(), "r")) {
            char buffer[4096];
            std::size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
            std::fclose(file);
        }
        return text;
    }

    void clear_log() const { std::remove(log_path().c_str()); }

    testsupport::ScratchDirectory dir_{"busgate-app"};
    boost::asio::io_context io_;
    boost::asio::ip::udp::socket receiver_{io_};
    std::shared_ptr<testsupport::TestDevice> card_;
};

}  // namespace apptest
