#pragma once
// Received replays on disk. Each one is stored under a name of the store's own, a sequence
// number ("000042.replay"), with a JSON sidecar ("000042.json") holding what the client said
// about it. The client's file name is kept as data only. Numbers continue after the highest one
// already in the folder, and a file is never overwritten. A replay arrives in a temporary file
// of the folder (".incoming-TOKEN-N.part", TOKEN random for each store; never held whole in
// memory) and gets its number once
// it is complete; one that fails or is cut off leaves nothing behind.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/crc.hpp>

#include "backend/LogBook.h"
#include "backend/Server.h"
#include "backend/Store.h"

namespace brevant::backend {

class ReplayStore {
public:
    // The index of stored replays is kept in `store`.
    ReplayStore(LogBook& log, Store& store, std::filesystem::path folder)
        : log_(log), store_(store), folder_(std::move(folder)) {}

    // Creates the folder when needed, finds the next number and reconciles the index with the
    // folder (once): a replay with its sidecar but without a row is indexed, a row whose
    // replay is gone is removed. False with `error` set when the folder cannot be used.
    // Without a folder the store is disabled and open() succeeds.
    bool open(std::string& error);
    bool enabled() const { return !folder_.empty(); }

    // A replay being received: a temporary file in the upload folder, written as the bytes
    // arrive. Destroying it removes the file, also after commit() (which gave the replay its
    // own name).
    class Draft {
    public:
        ~Draft();
        Draft(const Draft&) = delete;
        Draft& operator=(const Draft&) = delete;
        // False with `error` set when the disk refused the bytes.
        bool write(std::string_view bytes, std::string& error);
        std::uint64_t bytes() const { return bytes_; }

    private:
        friend class ReplayStore;
        Draft(std::FILE* file, std::filesystem::path path) : file_(file), path_(std::move(path)) {}
        bool close(std::string& error);
        std::FILE* file_;
        const std::filesystem::path path_;
        std::uint64_t bytes_ = 0;
        // CRC-32 of the bytes so far, one running state whatever pieces they came in.
        boost::crc_32_type crc_;
    };
    // Nullptr with `error` set when the temporary file cannot be created.
    std::unique_ptr<Draft> begin(std::string& error);

    struct Details {
        std::string fileName;
        std::string deviceId;
        std::string server;
        std::string uploader;
    };
    struct Kept {
        Upload upload;
        // The same file (name and bytes) from the same device was stored before (a client that
        // did not learn of its first delivery sends again): `upload` is that earlier one,
        // nothing new stored.
        bool repeat = false;
        // Done once the index holds it (or the earlier one), kept or not: a replay whose row
        // was not kept is discarded again, and its client sends it again later.
        CommitRef after;
    };
    // Gives the draft's replay the next number and writes its sidecar, unless it repeats one
    // stored before. Nullopt with `error` set when that failed (nothing is left behind then).
    std::optional<Kept> commit(Draft& draft, const Details& details, std::string& error);
    // Removes a replay this run stored, whose row was not kept: its file, its sidecar, its entry.
    void discard(std::uint64_t id);
    // Why a replay could not be kept now (the state file cannot take its row), or empty.
    std::string cannotKeep() const;

    std::vector<Upload> uploads() const;

    // A fault the console orders for the next upload, to see how clients cope: answered 500
    // before its body is read, or stored and answered only after `hold`.
    struct NextFault {
        bool fail = false;
        std::chrono::milliseconds hold{0};
    };
    void setNextFault(std::optional<NextFault> fault);
    // The fault for the upload that begins now, once.
    std::optional<NextFault> takeNextFault();

private:
    struct Stored {
        Upload upload;
        std::uint32_t checksum = 0;
        CommitRef commit;  // its row's; none when it was in the index at start
    };
    // An upload with the draft's device, file name and bytes, with mutex_ held.
    const Stored* earlierCopy(const Draft& draft, const Details& details) const;

    // Indexes the replays of the folder (numbers in `found`) against the store's rows.
    void reconcile(const std::vector<std::uint64_t>& found);

    LogBook& log_;
    Store& store_;
    const std::filesystem::path folder_;
    bool reconciled_ = false;
    mutable std::mutex mutex_;
    std::uint64_t next_ = 1;
    std::uint64_t nextDraft_ = 1;
    std::string draftToken_;
    std::vector<Stored> stored_;
    std::optional<NextFault> nextFault_;
};

}  // namespace brevant::backend
