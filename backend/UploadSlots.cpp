#include "backend/UploadSlots.h"

#include <utility>
#include <vector>

#include "backend/Text.h"

namespace brevant::backend {

UploadSlot::UploadSlot(UploadSlot&& other) noexcept
    : slots_(std::exchange(other.slots_, nullptr)), id_(other.id_) {}

UploadSlot::~UploadSlot() {
    if (slots_)
        slots_->release(id_);
}

void UploadSlot::received(std::size_t bytes) {
    slots_->received(id_, bytes);
}

bool UploadSlot::setDevice(const std::string& device, std::string& why) {
    return slots_->setDevice(id_, device, why);
}

void UploadSlot::whenEvicted(std::function<void()> stop) {
    slots_->whenEvicted(id_, std::move(stop));
}

UploadSlots::UploadSlots(const Options& options, LogBook& log)
    : max_(options.maxConcurrentUploads),
      perAddress_(options.maxUploadsPerAddress),
      perDevice_(options.maxUploadsPerDevice),
      window_(options.slowUploadWindow),
      slowBytesPerSecond_(options.slowUploadBytesPerSecond),
      clock_(options.clock ? options.clock : [] { return Clock::now(); }),
      log_(log) {}

std::optional<UploadSlot> UploadSlots::take(const std::string& address, std::string& why) {
    std::function<void()> stop;
    std::optional<UploadSlot> slot;
    {
        std::lock_guard lock(mutex_);
        std::size_t fromAddress = 0;
        for (const auto& [id, upload] : uploads_)
            fromAddress += upload.address == address ? 1 : 0;
        // The address's own limit first: room made there is room in all.
        bool room = true;
        if (perAddress_ != 0 && fromAddress >= perAddress_) {
            room = evictSlowest([&](const Upload& u) { return u.address == address; }, 0,
                                std::to_string(perAddress_) + " uploads from " + address, stop);
            why = std::to_string(perAddress_) + " uploads from this address are being received";
        } else if (uploads_.size() >= max_) {
            room = evictSlowest([](const Upload&) { return true; }, 0,
                                std::to_string(max_) + " uploads", stop);
            why = std::to_string(max_) + " uploads are being received";
        }
        if (room) {
            const std::uint64_t id = next_++;
            Upload& upload = uploads_[id];
            upload.address = address;
            upload.started = clock_();
            upload.samples.emplace_back(upload.started, 0);
            slot.emplace(*this, id);
        }
    }
    if (stop)
        stop();
    return slot;
}

void UploadSlots::release(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    uploads_.erase(id);
}

void UploadSlots::received(std::uint64_t id, std::size_t bytes) {
    std::lock_guard lock(mutex_);
    const auto it = uploads_.find(id);
    if (it == uploads_.end())
        return;
    Upload& upload = it->second;
    upload.bytes += bytes;
    const auto now = clock_();
    if (now - upload.samples.back().first < window_ / 30)
        upload.samples.back().second = upload.bytes;
    else
        upload.samples.emplace_back(now, upload.bytes);
    // The samples a window back are needed only down to the latest one before it.
    while (upload.samples.size() > 2 && upload.samples[1].first <= now - window_)
        upload.samples.pop_front();
}

bool UploadSlots::setDevice(std::uint64_t id, const std::string& device, std::string& why) {
    std::function<void()> stop;
    bool room = true;
    {
        std::lock_guard lock(mutex_);
        const auto it = uploads_.find(id);
        if (it == uploads_.end())
            return true;  // evicted already: its connection is ending
        std::size_t ofDevice = 0;
        for (const auto& [other, upload] : uploads_)
            ofDevice += other != id && upload.device == device ? 1 : 0;
        if (perDevice_ != 0 && ofDevice >= perDevice_) {
            room = evictSlowest(
                [&](const Upload& u) { return u.device == device; }, id,
                std::to_string(perDevice_) + " uploads of device " + escaped(device, 60), stop);
            why = std::to_string(perDevice_) + " uploads of this device are being received";
        }
        if (room)
            it->second.device = device;
    }
    if (stop)
        stop();
    return room;
}

void UploadSlots::whenEvicted(std::uint64_t id, std::function<void()> stop) {
    {
        std::lock_guard lock(mutex_);
        const auto it = uploads_.find(id);
        if (it != uploads_.end()) {
            it->second.stop = std::move(stop);
            return;
        }
    }
    stop();  // a slot still held but no longer counted was evicted
}

std::uint64_t UploadSlots::recentBytes(const Upload& upload, Clock::time_point now) const {
    std::uint64_t before = 0;  // the bytes a window ago: of the latest sample no later
    for (const auto& [when, bytes] : upload.samples) {
        if (when > now - window_)
            break;
        before = bytes;
    }
    return upload.bytes - before;
}

bool UploadSlots::slow(const Upload& upload, Clock::time_point now) const {
    if (now - upload.started < window_)
        return false;
    // bytes / seconds < floor, in doubles: no overflow whatever the size or the window
    return static_cast<double>(recentBytes(upload, now)) * 1000.0 <
           static_cast<double>(slowBytesPerSecond_) * static_cast<double>(window_.count());
}

bool UploadSlots::evictSlowest(const std::function<bool(const Upload&)>& within,
                               std::uint64_t spare, const std::string& limit,
                               std::function<void()>& stop) {
    const auto now = clock_();
    auto slowest = uploads_.end();
    for (auto it = uploads_.begin(); it != uploads_.end(); ++it) {
        if (it->first == spare || !within(it->second) || !slow(it->second, now))
            continue;
        if (slowest == uploads_.end() ||
            recentBytes(it->second, now) < recentBytes(slowest->second, now))
            slowest = it;
    }
    if (slowest == uploads_.end())
        return false;
    const Upload& upload = slowest->second;
    log_.write(
        "upload from " + upload.address +
        (upload.device.empty() ? std::string() : " (device " + escaped(upload.device, 60) + ")") +
        " ended after " +
        std::to_string(
            std::chrono::duration_cast<std::chrono::seconds>(now - upload.started).count()) +
        " s: " + std::to_string(upload.bytes) + " bytes, " +
        std::to_string(recentBytes(upload, now)) + " of them in the last " +
        std::to_string(window_.count()) + " ms (under " + std::to_string(slowBytesPerSecond_) +
        " bytes/s); " + limit + " were being received, and a new one takes its place");
    stop = std::move(slowest->second.stop);
    uploads_.erase(slowest);
    return true;
}

}  // namespace brevant::backend
