#pragma once
// Received replays on disk. Each one is stored under a name of the store's own, a sequence
// number ("000042.replay"), with a JSON sidecar ("000042.json") holding what the client said
// about it. The client's file name is kept as data only. Numbers continue after the highest one
// already in the folder, and a file is never overwritten.
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backend/LogBook.h"
#include "backend/Server.h"

namespace brevant::backend {

class ReplayStore {
public:
    ReplayStore(LogBook& log, std::filesystem::path folder)
        : log_(log), folder_(std::move(folder)) {}

    // Creates the folder when needed and finds the next number. False with `error` set when
    // the folder cannot be used. Without a folder the store is disabled and open() succeeds.
    bool open(std::string& error);
    bool enabled() const { return !folder_.empty(); }

    struct Incoming {
        std::string fileName;
        std::string deviceId;
        std::string server;
        std::string uploader;
        std::string_view data;
    };
    // Nullopt with `error` set when writing failed (nothing is left behind then).
    std::optional<Upload> store(const Incoming& incoming, std::string& error);

    std::vector<Upload> uploads() const;

private:
    LogBook& log_;
    const std::filesystem::path folder_;
    mutable std::mutex mutex_;
    std::uint64_t next_ = 1;
    std::vector<Upload> uploads_;
};

}  // namespace brevant::backend
