#pragma once
// The places for uploads received at once: so many in all, from one address and of one device.
// A body may take long to arrive, so a slot is earned by its pace: a new upload that finds a
// limit reached takes the place of the slowest upload within it that has run a while and
// received too little lately (that one ends), else it is refused.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "backend/LogBook.h"
#include "backend/Server.h"

namespace brevant::backend {

class UploadSlots;

// One upload's place; given back when destroyed.
class UploadSlot {
public:
    UploadSlot(UploadSlots& slots, std::uint64_t id) : slots_(&slots), id_(id) {}
    UploadSlot(UploadSlot&& other) noexcept;
    UploadSlot& operator=(UploadSlot&&) = delete;
    ~UploadSlot();

    // Bytes of the body that arrived now.
    void received(std::size_t bytes);
    // The device named by the upload's deviceId part: false with `why` when the device has
    // its most uploads already and none of them is slow.
    bool setDevice(const std::string& device, std::string& why);
    // Called (on any thread, once) when the upload must end to give its place to another.
    void whenEvicted(std::function<void()> stop);

private:
    UploadSlots* slots_;
    std::uint64_t id_;
};

class UploadSlots {
public:
    UploadSlots(const Options& options, LogBook& log);

    // A slot for an upload from `address`; nullopt with `why` when a limit is reached and no
    // upload within it is slow.
    std::optional<UploadSlot> take(const std::string& address, std::string& why);

private:
    friend class UploadSlot;
    using Clock = std::chrono::steady_clock;
    struct Upload {
        std::string address;
        std::string device;  // once known
        Clock::time_point started;
        std::uint64_t bytes = 0;
        // (when, bytes so far), a sample per slowUploadWindow/30, back to the latest one at
        // least a window old.
        std::deque<std::pair<Clock::time_point, std::uint64_t>> samples;
        std::function<void()> stop;
    };

    void release(std::uint64_t id);
    void received(std::uint64_t id, std::size_t bytes);
    bool setDevice(std::uint64_t id, const std::string& device, std::string& why);
    void whenEvicted(std::uint64_t id, std::function<void()> stop);

    // With mutex_ held: the bytes `upload` received over the last window, and whether it is slow.
    std::uint64_t recentBytes(const Upload& upload, Clock::time_point now) const;
    bool slow(const Upload& upload, Clock::time_point now) const;
    // With mutex_ held: ends the slowest slow upload that `within` counts (other than `spare`),
    // returning its stop to be called without the lock; false when none is slow.
    bool evictSlowest(const std::function<bool(const Upload&)>& within, std::uint64_t spare,
                      const std::string& limit, std::function<void()>& stop);

    const std::size_t max_;
    const std::size_t perAddress_;
    const std::size_t perDevice_;
    const std::chrono::milliseconds window_;
    const std::size_t slowBytesPerSecond_;
    const std::function<Clock::time_point()> clock_;
    LogBook& log_;
    std::mutex mutex_;
    std::map<std::uint64_t, Upload> uploads_;  // not evicted, by age
    std::uint64_t next_ = 1;
};

}  // namespace brevant::backend
