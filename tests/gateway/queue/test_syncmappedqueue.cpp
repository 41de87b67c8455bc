#include "gateway/queue/syncmappedqueue.h"

// POSIX modes, owners and mounts: the cases that check them are Linux-only.
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/gateway/udp/isolatednamespace.h"
#include "tests/support/scratchdirectory.h"

namespace fs = std::filesystem;
using Record = std::vector<char>;
using Queue = SyncMappedQueue<Record>;

namespace {

// Wine cannot make symbolic links (Windows only with a privilege): those cases skip there.
bool make_link(const std::filesystem::path& target, const std::filesystem::path& link) {
    std::error_code error;
    std::filesystem::create_symlink(target, link, error);
    return !error;
}

constexpr unsigned QUEUE_SIZE = 1u << 20;

class SyncMappedQueueTest : public ::testing::Test {
protected:
    testsupport::ScratchDirectory scratch_{"busgate-queue"};
    const fs::path root_{scratch_.path()};
    const std::string path_ = (root_ / "buffer.bin").string();
};

Record tagged(int producer, int n) {
    return Record{static_cast<char>(producer), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                  static_cast<char>(n)};
}

int tag_number(const Record& r) {
    return (static_cast<uint8_t>(r[1]) << 16) | (static_cast<uint8_t>(r[2]) << 8) | static_cast<uint8_t>(r[3]);
}

std::string construction_error(const std::string& path, unsigned size) {
    try {
        Queue queue(path, size);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

}  // namespace

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The file an earlier run left behind when it was killed: a marked file with records in it.
std::string left_over_buffer_file(const std::string& path) {
    std::string bytes;
    {
        Queue earlier(path, QUEUE_SIZE);
        for (int i = 0; i < 100; ++i) earlier.enqueue(Record(40, 'r'));
        bytes = file_bytes(path);
    }
    std::ofstream(path, std::ios::binary) << bytes;
    return bytes;
}

TEST_F(SyncMappedQueueTest, StaleFileIsReplacedAndNothingOfItIsQueued) {
    const std::string stale = left_over_buffer_file(path_);
    ASSERT_EQ(stale.size(), QUEUE_SIZE);
    EXPECT_TRUE(BufferFileMark::is_marked(stale.data(), stale.size()));
    Queue queue(path_, QUEUE_SIZE);
    EXPECT_EQ(fs::file_size(path_), QUEUE_SIZE);
    Record out{'k'};
    EXPECT_FALSE(queue.dequeue(out));
    EXPECT_EQ(out, Record{'k'});
}

#ifndef _WIN32
TEST_F(SyncMappedQueueTest, MissingDirectoriesAreCreatedPrivate) {
    const fs::path deep = root_ / "a" / "b" / "c";
    Queue queue((deep / "buffer.bin").string(), QUEUE_SIZE);
    for (const fs::path& level : {root_ / "a", root_ / "a" / "b", deep}) {
        struct stat st;
        ASSERT_EQ(::lstat(level.c_str(), &st), 0) << level;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u) << level;
    }
    struct stat st;
    ASSERT_EQ(::stat((deep / "buffer.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Blocks are reserved, not a sparse file.
    EXPECT_GE(static_cast<uint64_t>(st.st_blocks) * 512, QUEUE_SIZE);
}
#endif

TEST_F(SyncMappedQueueTest, FileIsGoneAfterDestruction) {
    {
        Queue queue(path_, QUEUE_SIZE);
        queue.enqueue(Record{1, 2, 3});
        EXPECT_TRUE(fs::exists(path_));
    }
    EXPECT_FALSE(fs::exists(path_));
}

TEST_F(SyncMappedQueueTest, TimeoutLeavesTheOutputUntouched) {
    Queue queue(path_, QUEUE_SIZE);
    Record out{'a', 'b', 'c'};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue.dequeue(out));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(9));
    EXPECT_EQ(out, (Record{'a', 'b', 'c'}));
}

TEST_F(SyncMappedQueueTest, RecordEnqueuedDuringTheWaitIsReturnedByIt) {
    Queue queue(path_, QUEUE_SIZE);
    // The wait lasts 10 ms: the record is put in shortly after the consumer started waiting.
    // A scheduler may delay the producer past the wait now and then, so one success of several
    // tries is asked; a lost wake-up fails every try.
    int returned = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        Record out;
        bool got = false;
        std::thread consumer([&] { got = queue.dequeue(out); });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        queue.enqueue(tagged(0, attempt));
        consumer.join();
        if (got) {
            EXPECT_EQ(out, tagged(0, attempt));
            ++returned;
        } else {
            Record late;
            ASSERT_TRUE(queue.dequeue(late));
        }
    }
    EXPECT_GE(returned, 1);
}

TEST_F(SyncMappedQueueTest, EmptyRecordTravelsAsEmptyVector) {
    Queue queue(path_, QUEUE_SIZE);
    queue.enqueue(Record{});
    queue.enqueue(Record{7});
    Record out{'x'};
    ASSERT_TRUE(queue.dequeue(out));
    EXPECT_TRUE(out.empty());
    ASSERT_TRUE(queue.dequeue(out));
    EXPECT_EQ(out, Record{7});
}

TEST_F(SyncMappedQueueTest, TwoProducersKeepTheirOwnOrder) {
    Queue queue(path_, 8u << 20);
    constexpr int PER_PRODUCER = 20000;
    auto produce = [&](int producer) {
        for (int n = 0; n < PER_PRODUCER; ++n) queue.enqueue(tagged(producer, n));
    };
    std::thread first(produce, 1);
    std::thread second(produce, 2);
    int next[3] = {0, 0, 0};
    int total = 0;
    Record out;
    while (total < 2 * PER_PRODUCER && queue.dequeue(out)) {
        ASSERT_EQ(out.size(), 4u);
        const int producer = out[0];
        ASSERT_TRUE(producer == 1 || producer == 2);
        ASSERT_EQ(tag_number(out), next[producer]) << "producer " << producer;
        ++next[producer];
        ++total;
    }
    first.join();
    second.join();
    while (queue.dequeue(out)) {
        ASSERT_EQ(tag_number(out), next[static_cast<int>(out[0])]);
        ++next[static_cast<int>(out[0])];
    }
    EXPECT_EQ(next[1], PER_PRODUCER);
    EXPECT_EQ(next[2], PER_PRODUCER);
    EXPECT_EQ(queue.dropped_count(), 0u);
}

TEST_F(SyncMappedQueueTest, UsageAddsUpAndFollowsTheFill) {
    Queue queue(path_, QUEUE_SIZE);
    const BufferUsage empty = queue.get_usage();
    EXPECT_EQ(empty.total, QUEUE_SIZE);
    EXPECT_GT(empty.used, 0u);
    EXPECT_LT(empty.used, QUEUE_SIZE / 50);
    EXPECT_EQ(empty.used + empty.free, empty.total);
    EXPECT_NEAR(empty.used_pct + empty.free_pct, 100.0f, 0.01f);

    for (int n = 0; n < 5000; ++n) queue.enqueue(tagged(0, n));
    const BufferUsage filled = queue.get_usage();
    EXPECT_EQ(filled.used + filled.free, filled.total);
    // One slot per record, whatever the record's length.
    EXPECT_GE(filled.used - empty.used, 5000 * sizeof(Record));
    EXPECT_NEAR(filled.used_pct, filled.used * 100.0f / filled.total, 0.01f);

    Record out;
    while (queue.dequeue(out)) {
    }
    // Emptied blocks go back to the segment; the container may keep its map and one block.
    EXPECT_LT(queue.get_usage().used, filled.used / 10);
}

TEST_F(SyncMappedQueueTest, FullSegmentDropsAndCountsWithoutHarmingTheProducer) {
    Queue queue(path_, 64u << 10);
    constexpr int OFFERED = 20000;
    for (int n = 0; n < OFFERED; ++n) queue.enqueue(tagged(0, n));
    const uint64_t dropped = queue.dropped_count();
    EXPECT_GT(dropped, 0u);
    Record out;
    int kept = 0;
    while (queue.dequeue(out)) {
        ASSERT_EQ(tag_number(out), kept);
        ++kept;
    }
    EXPECT_EQ(static_cast<uint64_t>(kept) + dropped, static_cast<uint64_t>(OFFERED));
    // Room comes back once the consumer has drained the queue.
    queue.enqueue(tagged(0, 1));
    ASSERT_TRUE(queue.dequeue(out));
    EXPECT_EQ(queue.dropped_count(), dropped);
}

TEST_F(SyncMappedQueueTest, BatchTakesAtMostItsShareInOrderAndTimesOutEmpty) {
    Queue queue(path_, QUEUE_SIZE);
    for (int n = 0; n < 5; ++n) queue.enqueue(tagged(0, n));
    std::vector<Record> batch{Record{'k'}};
    ASSERT_EQ(queue.dequeue_some(batch, 3), 3u);
    ASSERT_EQ(batch.size(), 4u);  // appended behind what the caller held
    EXPECT_EQ(batch[0], Record{'k'});
    for (int n = 0; n < 3; ++n) EXPECT_EQ(tag_number(batch[n + 1]), n);
    batch.clear();
    EXPECT_EQ(queue.dequeue_some(batch, 10), 2u);
    EXPECT_EQ(tag_number(batch.back()), 4);
    EXPECT_EQ(queue.dequeue_some(batch, 10), 0u);
    EXPECT_EQ(batch.size(), 2u);
}

TEST_F(SyncMappedQueueTest, BlockOfRecordsGoesInInOrderAndWakesTheWaitingConsumer) {
    Queue queue(path_, QUEUE_SIZE);
    int woken = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::vector<Record> taken;
        std::thread consumer([&] { queue.dequeue_some(taken, 100); });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::vector<Record> block{tagged(1, 0), tagged(1, 1), tagged(1, 2), tagged(1, 3)};
        queue.enqueue_all(block, 3);
        EXPECT_EQ(block.back(), tagged(1, 3)) << "a record beyond the count went in";
        consumer.join();
        if (!taken.empty()) ++woken;
        while (taken.size() < 3) ASSERT_GT(queue.dequeue_some(taken, 100), 0u);
        for (int n = 0; n < 3; ++n) EXPECT_EQ(tag_number(taken[n]), n);
        EXPECT_EQ(queue.dequeue_some(taken, 100), 0u);
    }
    EXPECT_GE(woken, 1);
}

TEST_F(SyncMappedQueueTest, SpentBuffersComeBackToTheProducerEmptyAndThePoolIsBounded) {
    Queue queue(path_, 8u << 20);
    std::vector<Record> block(3, Record(40, 'x'));
    queue.enqueue_all(block, 3);
    for (const Record& r : block) EXPECT_EQ(r.capacity(), 0u) << "no spare yet: the buffer left with its record";
    std::vector<Record> taken;
    ASSERT_EQ(queue.dequeue_some(taken, 10), 3u);
    const char* first_buffer = taken[0].data();
    queue.recycle(taken);
    EXPECT_TRUE(taken.empty());

    std::vector<Record> next(4, Record(8, 'y'));
    queue.enqueue_all(next, 4);
    int reused = 0;
    for (const Record& r : next) {
        EXPECT_TRUE(r.empty());
        if (r.capacity() >= 40) ++reused;
    }
    EXPECT_EQ(reused, 3);
    EXPECT_TRUE(next[0].data() == first_buffer || next[1].data() == first_buffer || next[2].data() == first_buffer);

}

// How many of `count` records that the producer puts in get a buffer back.
std::size_t buffers_returned(Queue& queue, std::size_t count) {
    std::vector<Record> fresh(count, Record(1, 'f'));
    queue.enqueue_all(fresh, fresh.size());
    std::size_t with_buffer = 0;
    for (const Record& r : fresh) with_buffer += r.capacity() > 0 && r.empty();
    return with_buffer;
}

void drain_and_recycle(Queue& queue) {
    std::vector<Record> taken;
    while (queue.dequeue_some(taken, 4096) > 0) queue.recycle(taken);
}

TEST_F(SyncMappedQueueTest, SparePoolHoldsNoMoreThanTheProducerGaveAwayNorItsLimit) {
    Queue queue(path_, 16u << 20);
    // A burst larger than the pool: the buffers beyond the limit are freed.
    const std::size_t burst = Queue::MAX_SPARES + 100;
    ASSERT_EQ(buffers_returned(queue, burst), 0u);
    ASSERT_EQ(queue.dropped_count(), 0u);
    drain_and_recycle(queue);
    EXPECT_EQ(buffers_returned(queue, burst), Queue::MAX_SPARES);
    drain_and_recycle(queue);

    // Lifesign-like records from another producer bring buffers that nobody takes back: they
    // must not make the pool grow beyond what the block producer gave away.
    Queue small(path_ + ".2", 8u << 20);
    ASSERT_EQ(buffers_returned(small, 5), 0u);
    for (int n = 0; n < 50; ++n) small.enqueue(Record(300, 'L'));
    drain_and_recycle(small);
    EXPECT_EQ(buffers_returned(small, 60), 5u);
}

TEST_F(SyncMappedQueueTest, BlockThatOverflowsTheSegmentKeepsWhatFitsAndCountsTheRest) {
    Queue queue(path_, 64u << 10);
    std::vector<Record> block;
    constexpr int OFFERED = 20000;
    for (int n = 0; n < OFFERED; ++n) block.push_back(tagged(0, n));
    queue.enqueue_all(block, block.size());
    ASSERT_GT(queue.dropped_count(), 0u);
    std::vector<Record> taken;
    while (queue.dequeue_some(taken, 1024) > 0) {
    }
    EXPECT_EQ(taken.size() + queue.dropped_count(), static_cast<std::size_t>(OFFERED));
    for (std::size_t i = 0; i < taken.size(); ++i) ASSERT_EQ(tag_number(taken[i]), static_cast<int>(i));
}

TEST_F(SyncMappedQueueTest, ConsumerWaitingForARecordIsReleasedByAWakeUpEvenOneSentBeforeTheWait) {
    Queue queue(path_, QUEUE_SIZE);
    std::vector<Record> taken;
    queue.wake_consumer();  // a stop that comes just before the wait is not lost
    EXPECT_EQ(queue.dequeue_some(taken, 10, Queue::Wait::until_record), 0u);

    std::thread consumer([&] { EXPECT_EQ(queue.dequeue_some(taken, 10, Queue::Wait::until_record), 0u); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // well past the bounded wait
    queue.wake_consumer();
    consumer.join();

    queue.enqueue(tagged(0, 5));
    ASSERT_EQ(queue.dequeue_some(taken, 10, Queue::Wait::until_record), 1u);
    EXPECT_EQ(tag_number(taken[0]), 5);
}

TEST_F(SyncMappedQueueTest, FullSegmentTakesRecordsAgainOnceSomeAreDrained) {
    Queue queue(path_, 64u << 10);
    int offered = 0;
    while (queue.dropped_count() < 100) queue.enqueue(tagged(0, offered++));
    std::vector<Record> taken;
    while (taken.size() < static_cast<std::size_t>(offered) / 2) queue.dequeue_some(taken, 1024);
    const uint64_t dropped_before = queue.dropped_count();
    for (int n = 0; n < 100; ++n) queue.enqueue(tagged(0, offered++));
    EXPECT_LT(queue.dropped_count(), dropped_before + 100) << "room freed by the consumer was never used";
    while (queue.dequeue_some(taken, 1024) > 0) {
    }
    EXPECT_EQ(taken.size() + queue.dropped_count(), static_cast<std::size_t>(offered));
    for (std::size_t i = 1; i < taken.size(); ++i) ASSERT_LT(tag_number(taken[i - 1]), tag_number(taken[i]));
}

TEST_F(SyncMappedQueueTest, SizeTooSmallForTheSegmentThrowsAndLeavesNoFile) {
    EXPECT_THROW(Queue(path_, 64), std::exception);
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_NE(construction_error(path_, 0), "");
}

TEST_F(SyncMappedQueueTest, SizeTooSmallSaysHowSmallItMayBe) {
    const uint32_t minimum = Queue::minimum_size();
    ASSERT_GT(minimum, 64u);
    ASSERT_LT(minimum, 64u << 10);
    const std::string at_least = "it must be at least " + std::to_string(minimum) + " bytes";
    for (unsigned size : {0u, 100u, minimum - 1}) {
        const std::string error = construction_error(path_, size);
        EXPECT_NE(error.find("a buffer size of " + std::to_string(size) + " bytes is too small for the queue"),
                  std::string::npos) << error;
        EXPECT_NE(error.find(at_least), std::string::npos) << error;
        EXPECT_FALSE(fs::exists(path_));
    }
    // The figure given is enough: a queue of that size is made and carries a record.
    Queue queue(path_, minimum);
    queue.enqueue(Record{1, 2, 3});
    Record out;
    ASSERT_TRUE(queue.dequeue(out));
    EXPECT_EQ(out, (Record{1, 2, 3}));
}

TEST_F(SyncMappedQueueTest, SymlinkedBufferDirectoryIsRefused) {
    fs::create_directories(root_ / "real");
    if (!make_link(root_ / "real", root_ / "link")) GTEST_SKIP() << "no symbolic link can be made here";
    const std::string error = construction_error((root_ / "link" / "buffer.bin").string(), QUEUE_SIZE);
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(root_ / "real" / "buffer.bin"));
}

TEST_F(SyncMappedQueueTest, SymlinkAtTheFilePathIsRefusedAndNeverFollowed) {
    const fs::path victim = root_ / "victim";
    std::ofstream(victim.string()) << "keep me";
    if (!make_link(victim, path_)) GTEST_SKIP() << "no symbolic link can be made here";
    const std::string error = construction_error(path_, QUEUE_SIZE);
    EXPECT_NE(error.find("buffer file " + path_ + ": is a symbolic link"), std::string::npos) << error;
    EXPECT_TRUE(fs::is_symlink(path_));
    EXPECT_EQ(file_bytes(victim.string()), "keep me");
}

// A typo in -B naming a user's file: refused with one line naming the path, the file intact.
TEST_F(SyncMappedQueueTest, FileThatIsNotABufferFileIsRefusedAndKept) {
    const std::string user_data = "measurements 2026\n" + std::string(8192, 'm');
    for (const std::string& content : {user_data, std::string(10, 'x'), std::string("busgated buffer file")}) {
        std::ofstream(path_, std::ios::binary) << content;
        const std::string error = construction_error(path_, QUEUE_SIZE);
        EXPECT_EQ(error, "buffer file " + path_ +
                             ": exists and is not a buffer file of busgated, refused and left as it is (name "
                             "another path with -B)");
        EXPECT_EQ(file_bytes(path_), content);
    }
    fs::remove(path_);
    fs::create_directory(path_);
    EXPECT_NE(construction_error(path_, QUEUE_SIZE).find("is not a regular file"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(path_));
}

// The file of a queue that lives (a running gateway) is never taken over; once it is gone, the
// path is free again. The refusal proposes a path that names nothing yet.
TEST_F(SyncMappedQueueTest, FileOfALiveQueueIsRefusedAndLeftToIt) {
    std::ofstream(root_ / "buffer-2.bin") << "taken";
    {
        Queue running(path_, QUEUE_SIZE);
        running.enqueue(Record{7});
        EXPECT_EQ(construction_error(path_, QUEUE_SIZE),
                  "buffer file " + path_ + ": in use by another running gateway, refused and left as it is (give this "
                  "gateway its own, e.g. -B " + (root_ / "buffer-3.bin").string() + ")");
        Record out;
        ASSERT_TRUE(running.dequeue(out));
        EXPECT_EQ(out, Record{7});
        const std::string bytes = file_bytes(path_);
        EXPECT_TRUE(BufferFileMark::is_marked(bytes.data(), bytes.size()));
    }
    EXPECT_FALSE(fs::exists(path_));
    Queue next(path_, QUEUE_SIZE);
    EXPECT_TRUE(fs::exists(path_));
}

TEST_F(SyncMappedQueueTest, EmptyFileIsReplacedAndTheNewFileIsMarked) {
    std::ofstream(path_, std::ios::binary).flush();
    ASSERT_EQ(fs::file_size(path_), 0u);
    Queue queue(path_, QUEUE_SIZE);
    queue.enqueue(Record{1, 2, 3});
    EXPECT_EQ(fs::file_size(path_), QUEUE_SIZE);
    const std::string bytes = file_bytes(path_);
    EXPECT_TRUE(BufferFileMark::is_marked(bytes.data(), bytes.size()));
    Record out;
    ASSERT_TRUE(queue.dequeue(out));
    EXPECT_EQ(out, (Record{1, 2, 3}));
}

#ifndef _WIN32
TEST_F(SyncMappedQueueTest, DirectoryOfAnotherUserIsRefused) {
    if (::geteuid() != 0) {
        // Inside a user namespace the real owner of /tmp shows as an unmapped user.
        RUN_INSIDE_NAMESPACE("-r");
        struct stat st;
        ASSERT_EQ(::stat("/tmp", &st), 0);
        if (st.st_uid == 0 || st.st_uid == ::geteuid()) GTEST_SKIP() << "/tmp is not foreign here";
        const std::string error = construction_error("/tmp/busgate-foreign-test.bin", QUEUE_SIZE);
        EXPECT_NE(error.find("another user"), std::string::npos) << error;
        return;
    }
    const fs::path foreign = root_ / "foreign";
    fs::create_directories(foreign);
    ASSERT_EQ(::chown(foreign.c_str(), 12345, 12345), 0);
    const std::string error = construction_error((foreign / "buffer.bin").string(), QUEUE_SIZE);
    EXPECT_NE(error.find("another user"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(foreign / "buffer.bin"));
}
#endif

#ifndef _WIN32
TEST_F(SyncMappedQueueTest, DiskTooFullIsRefusedAtStart) {
    RUN_INSIDE_NAMESPACE("-rm");
    const fs::path small = root_ / "small";
    fs::create_directories(small);
    int status = std::system(("mount -t tmpfs -o size=256k tmpfs '" + small.string() + "'").c_str());
    if (status != 0) GTEST_SKIP() << "cannot mount a small tmpfs here";
    const std::string path = (small / "buffer.bin").string();
    const std::string error = construction_error(path, QUEUE_SIZE);
    EXPECT_NE(error.find("disk too full"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(path));
    // A buffer that fits is still made there.
    EXPECT_EQ(construction_error(path, 64u << 10), "");
}
#endif
