// First-in first-out record queue between the producers (acquisition, lifesign) and the UDP
// transmit thread. The container lives in a segment of a memory-mapped buffer file that exists
// only while the queue does; each record takes one slot in the segment, its bytes stay on the heap.
// The file begins with a mark (BufferFileMark) that tells it from any other file.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/container/deque.hpp>
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/creation_tags.hpp>
#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/file_mapping.hpp>
#include <boost/interprocess/indexes/iset_index.hpp>
#include <boost/interprocess/managed_external_buffer.hpp>
#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/mem_algo/rbtree_best_fit.hpp>
#include <boost/interprocess/offset_ptr.hpp>
#include <boost/interprocess/sync/mutex_family.hpp>

#include "gateway/queue/bufferfilemark.h"
#include "gateway/queue/bufferusage.h"
#include "platform/bufferfile.h"

template <typename T>
class SyncMappedQueue {
public:
    static constexpr unsigned DEQUEUE_WAIT_MS = 10;

    // How long dequeue_some waits for a first record.
    enum class Wait { bounded, until_record };

    // Creates the buffer file and an empty queue. A buffer file left by an earlier run, or an
    // empty file, is replaced; anything else at the path, the buffer file of a running gateway
    // included, is refused and left untouched. The file stays locked while the queue lives.
    // Throws when the directory or the file cannot be made safely, or the segment cannot be built.
    SyncMappedQueue(const std::string& path, unsigned size);
    ~SyncMappedQueue();

    SyncMappedQueue(const SyncMappedQueue&) = delete;
    SyncMappedQueue& operator=(const SyncMappedQueue&) = delete;

    // Holds the mutex for one append, never throws: a record that finds no room in the segment
    // is dropped and counted (dropped_count), so a producer thread never dies of it. A record the
    // caller no longer needs is taken over; any other is copied first, outside the lock.
    void enqueue(T&& item);
    void enqueue(const T& item);
    // Moves the first `count` records of `items` in, in order, under one lock (a block's worth
    // of events); each that finds no room is dropped and counted. Afterwards `items` holds
    // buffers to build the next records in: where a record went in, a buffer the consumer gave
    // back if there is one (see recycle); the dropped records and those beyond `count` stay.
    void enqueue_all(std::vector<T>& items, std::size_t count);

    // Takes spent records back from the consumer, `spent` is left empty: their buffers are
    // handed to the producer of enqueue_all again, so that records do not cost an allocation
    // in one thread and a free in another, which the allocator makes expensive. The pool never
    // holds more buffers than that producer has given away (nor MAX_SPARES): records of other
    // producers (a lifesign) would otherwise add one buffer each, for good.
    void recycle(std::vector<T>& spent);
    static constexpr std::size_t MAX_SPARES = 32768;

    // Waits at most 10 ms for a record; on timeout returns false and leaves out untouched.
    bool dequeue(T& out);

    // Waits like dequeue for the first record (or, with Wait::until_record, until one comes or
    // wake_consumer is called), then moves up to `max` records, in order, to the back of `out`
    // under one lock. Returns how many it took: 0 after a timeout or a wake-up.
    std::size_t dequeue_some(std::vector<T>& out, std::size_t max, Wait wait = Wait::bounded);

    // Ends the consumer's current or next wait without a record: a consumer with nothing to
    // send can then sleep until there is something, and still be stopped at once.
    void wake_consumer();

    // Recomputes the use of the segment; used + free == total.
    BufferUsage get_usage();

    // The smallest size with room for the segment's own data and one record; a smaller size
    // is refused at construction with a line that gives this figure.
    static uint32_t minimum_size();

    // Records refused since construction because the segment (or the heap) was exhausted.
    uint64_t dropped_count() const { return dropped_.load(std::memory_order_relaxed); }

private:
    // The file is reserved on disk before it is mapped, so the segment is formatted in a mapping
    // of our own rather than by a managed mapped file, which would map a sparse file.
    using Segment = boost::interprocess::basic_managed_external_buffer<
        char,
        boost::interprocess::rbtree_best_fit<boost::interprocess::mutex_family,
                                             boost::interprocess::offset_ptr<void>>,
        boost::interprocess::iset_index>;
    using Allocator = boost::interprocess::allocator<T, typename Segment::segment_manager>;
    using Container = boost::container::deque<T, Allocator>;

    static constexpr const char* CONTAINER_NAME = "_queue";

    void map_buffer_file();
    static bool segment_fits(std::size_t size);
    // Appends under the held lock; false when the record was dropped.
    bool append_locked(T&& item);
    bool wait_for_record(std::unique_lock<std::mutex>& lock, Wait wait);
    bool segment_still_full() const;

    Container* queue_ = nullptr;
    std::mutex mutex_;
    std::condition_variable condition_;
    BufferUsage usage_;
    std::string path_;
    uint32_t size_;
    boost::interprocess::file_mapping mapping_;
    boost::interprocess::mapped_region region_;
    Segment segment_;
    std::atomic<uint64_t> dropped_{0};
    // After a refusal, the segment's free memory then: until it grows no append can succeed,
    // so records are dropped at once instead of each paying for a failed allocation.
    bool refused_ = false;
    std::size_t free_when_refused_ = 0;
    bool consumer_woken_ = false;
    std::vector<T> spares_;  // emptied record buffers on their way back to the producer
    std::size_t lent_ = 0;   // buffers enqueue_all's producer gave away without one in return
    // Held from the file's creation until after its removal: while it is held, no other
    // gateway takes the file over.
    platform::BufferFileLock lock_;
};

template <typename T>
SyncMappedQueue<T>::SyncMappedQueue(const std::string& path, unsigned size) : path_(path), size_(size) {
    if (size_ < minimum_size())
        throw std::invalid_argument("a buffer size of " + std::to_string(size_) +
                                    " bytes is too small for the queue: it must be at least " +
                                    std::to_string(minimum_size()) + " bytes");
    platform::prepare_buffer_directory(std::filesystem::path(path_).parent_path().string());
    // A typo in the path must not cost a user's file: only a file of ours or an empty one goes.
    BufferFileMark::check_replaceable(path_);
    platform::remove_buffer_file(path_);
    lock_ = platform::create_buffer_file(path_, size_);
    try {
        map_buffer_file();
    } catch (...) {
        // The file is ours (created just now): no half-built buffer stays behind.
        segment_ = Segment();
        region_ = boost::interprocess::mapped_region();
        mapping_ = boost::interprocess::file_mapping();
        platform::remove_buffer_file(path_);
        throw;
    }
}

template <typename T>
void SyncMappedQueue<T>::map_buffer_file() {
    namespace bip = boost::interprocess;
    mapping_ = bip::file_mapping(path_.c_str(), bip::read_write);
    region_ = bip::mapped_region(mapping_, bip::read_write, 0, size_);
    char* start = static_cast<char*>(region_.get_address());
    BufferFileMark::write(start);
    segment_ = Segment(bip::create_only, start + BufferFileMark::AREA_SIZE, size_ - BufferFileMark::AREA_SIZE);
    queue_ = segment_.template find_or_construct<Container>(CONTAINER_NAME)(segment_.get_segment_manager());
    queue_->clear();
}

template <typename T>
bool SyncMappedQueue<T>::segment_fits(std::size_t size) {
    std::vector<std::max_align_t> memory((size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    try {
        Segment segment(boost::interprocess::create_only, memory.data(), size);
        Container* container =
            segment.template find_or_construct<Container>(CONTAINER_NAME)(segment.get_segment_manager());
        container->push_back(T());
        container->clear();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

template <typename T>
uint32_t SyncMappedQueue<T>::minimum_size() {
    // Found once by trying segments in memory: the figure depends on the library's layout.
    static const uint32_t minimum = [] {
        uint32_t too_small = 0, enough = 1u << 20;
        while (enough - too_small > 1) {
            const uint32_t middle = too_small + (enough - too_small) / 2;
            (segment_fits(middle) ? enough : too_small) = middle;
        }
        return static_cast<uint32_t>(enough + BufferFileMark::AREA_SIZE);
    }();
    return minimum;
}

template <typename T>
SyncMappedQueue<T>::~SyncMappedQueue() {
    // Producers and consumer are stopped by now: no lock is needed.
    queue_->clear();
    platform::remove_buffer_file(path_);
}

template <typename T>
void SyncMappedQueue<T>::enqueue(const T& item) {
    T copy;
    try {
        copy = item;
    } catch (const std::bad_alloc&) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    enqueue(std::move(copy));
}

template <typename T>
void SyncMappedQueue<T>::enqueue(T&& item) {
    std::unique_lock<std::mutex> lock(mutex_);
    // The consumer waits only on an empty queue: a record put behind others needs no wake-up.
    const bool was_empty = queue_->empty();
    if (append_locked(std::move(item)) && was_empty) condition_.notify_one();
}

template <typename T>
void SyncMappedQueue<T>::enqueue_all(std::vector<T>& items, std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool was_empty = queue_->empty();
    bool appended = false;
    for (std::size_t i = 0; i < count && i < items.size(); ++i) {
        if (!append_locked(std::move(items[i]))) continue;
        appended = true;
        if (spares_.empty()) {
            ++lent_;
            continue;
        }
        items[i] = std::move(spares_.back());
        spares_.pop_back();
    }
    if (appended && was_empty) condition_.notify_one();
}

template <typename T>
void SyncMappedQueue<T>::recycle(std::vector<T>& spent) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::size_t limit = std::min(lent_, MAX_SPARES);
        for (T& record : spent) {
            if (spares_.size() >= limit) break;
            record.clear();
            spares_.push_back(std::move(record));
        }
    }
    spent.clear();  // buffers beyond the pool are freed here, outside the lock
}

template <typename T>
bool SyncMappedQueue<T>::append_locked(T&& item) {
    if (refused_ && segment_still_full()) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    try {
        queue_->push_back(std::move(item));
        refused_ = false;
        return true;
    } catch (const boost::interprocess::bad_alloc&) {
        refused_ = true;
        free_when_refused_ = segment_.get_free_memory();
    }
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return false;
}

template <typename T>
bool SyncMappedQueue<T>::segment_still_full() const {
    return segment_.get_free_memory() <= free_when_refused_;
}

template <typename T>
bool SyncMappedQueue<T>::wait_for_record(std::unique_lock<std::mutex>& lock, Wait wait) {
    while (queue_->empty()) {
        if (consumer_woken_) {
            consumer_woken_ = false;
            return false;
        }
        if (wait == Wait::until_record)
            condition_.wait(lock);
        else if (condition_.wait_for(lock, std::chrono::milliseconds(DEQUEUE_WAIT_MS)) == std::cv_status::timeout)
            return false;
    }
    return true;
}

template <typename T>
void SyncMappedQueue<T>::wake_consumer() {
    std::lock_guard<std::mutex> lock(mutex_);
    consumer_woken_ = true;
    condition_.notify_all();
}

template <typename T>
bool SyncMappedQueue<T>::dequeue(T& out) {
    T taken;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!wait_for_record(lock, Wait::bounded)) return false;
        taken = std::move(queue_->front());
        queue_->pop_front();
    }
    // What out held before is freed here, outside the lock.
    out.swap(taken);
    return true;
}

template <typename T>
std::size_t SyncMappedQueue<T>::dequeue_some(std::vector<T>& out, std::size_t max, Wait wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (max == 0 || !wait_for_record(lock, wait)) return 0;
    std::size_t taken = 0;
    while (taken < max && !queue_->empty()) {
        out.push_back(std::move(queue_->front()));
        queue_->pop_front();
        ++taken;
    }
    return taken;
}

template <typename T>
BufferUsage SyncMappedQueue<T>::get_usage() {
    std::lock_guard<std::mutex> lock(mutex_);
    // The whole file, mark included.
    usage_.total = size_;
    usage_.free = static_cast<uint32_t>(segment_.get_free_memory());
    usage_.used = usage_.total - usage_.free;
    if (usage_.total != 0) {
        usage_.used_pct = static_cast<float>(usage_.used * 100.0 / usage_.total);
        usage_.free_pct = static_cast<float>(usage_.free * 100.0 / usage_.total);
    }
    return usage_;
}
