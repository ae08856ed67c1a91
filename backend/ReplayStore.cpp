#include "backend/ReplayStore.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <boost/crc.hpp>

#include "backend/Json.h"
#include "platform/Files.h"
#include "platform/Random.h"

namespace brevant::backend {
namespace {

namespace fs = std::filesystem;

std::string numbered(std::uint64_t id, const char* extension) {
    char name[48];
    std::snprintf(name, sizeof name, "%06llu%s", static_cast<unsigned long long>(id), extension);
    return name;
}

// The number of a file named like "000042.replay" or "000042.json", or 0.
std::uint64_t numberOf(const fs::path& file) {
    if (file.extension() != ".replay" && file.extension() != ".json")
        return 0;
    const std::string stem = file.stem().string();
    if (stem.empty() || stem.size() > 18)
        return 0;
    std::uint64_t n = 0;
    for (char c : stem) {
        if (c < '0' || c > '9')
            return 0;
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return n;
}

// A replay being received is written to ".incoming-TOKEN-N.part".
constexpr std::string_view kDraftPrefix = ".incoming-";
constexpr std::string_view kDraftSuffix = ".part";

bool isDraftName(const std::string& name) {
    return name.size() > kDraftPrefix.size() + kDraftSuffix.size() &&
           name.compare(0, kDraftPrefix.size(), kDraftPrefix) == 0 &&
           name.compare(name.size() - kDraftSuffix.size(), kDraftSuffix.size(), kDraftSuffix) == 0;
}

// errno after a failed call, or EIO when the call failed without saying why (the C library's
// stream functions need not set it).
int failureErrno() {
    return errno != 0 ? errno : EIO;
}

// Creates `path` only when it does not exist yet and writes `data` into it. errno-style error
// code in `err` on failure; EEXIST means the name is taken.
bool writeNew(const fs::path& path, std::string_view data, int& err) {
    std::FILE* file = platform::createNewFile(path, err);
    if (!file)
        return false;
    errno = 0;
    const bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
    err = written ? 0 : failureErrno();
    errno = 0;
    if (std::fclose(file) != 0 && written)
        err = failureErrno();
    if (err != 0) {
        std::error_code ignored;
        fs::remove(path, ignored);
        return false;
    }
    return true;
}

// Whether two files hold the same bytes (false when either cannot be read).
bool sameContents(const fs::path& a, const fs::path& b) {
    std::ifstream first(a, std::ios::binary);
    std::ifstream second(b, std::ios::binary);
    std::vector<char> left(64 * 1024);
    std::vector<char> right(left.size());
    while (first && second) {
        first.read(left.data(), static_cast<std::streamsize>(left.size()));
        second.read(right.data(), static_cast<std::streamsize>(right.size()));
        if (first.gcount() != second.gcount() ||
            !std::equal(left.begin(), left.begin() + first.gcount(), right.begin()))
            return false;
    }
    return first.eof() && second.eof();
}

std::string errnoText(int err) {
    return std::error_code(err, std::generic_category()).message();
}

std::string utcNow() {
    using namespace std::chrono;
    const auto now = floor<seconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date(day);
    const hh_mm_ss time(now - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

}  // namespace

bool ReplayStore::open(std::string& error) {
    if (folder_.empty())
        return true;
    std::error_code ec;
    fs::create_directories(folder_, ec);
    if (ec || !fs::is_directory(folder_, ec)) {
        error = "cannot use the upload folder " + folder_.string() + ": " +
                (ec ? ec.message() : std::string("not a folder"));
        return false;
    }
    // Drafts left by a backend that ended in the middle of an upload are removed: no store
    // still writes them (each store's drafts carry a token of its own, drawn below).
    std::uint64_t highest = 0;
    std::vector<fs::path> stale;
    std::vector<std::uint64_t> replays;
    for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::uint64_t number = numberOf(it->path());
        highest = std::max(highest, number);
        if (number != 0 && it->path().extension() == ".replay")
            replays.push_back(number);
        if (isDraftName(it->path().filename().string()))
            stale.push_back(it->path());
    }
    if (ec) {
        error = "cannot read the upload folder " + folder_.string() + ": " + ec.message();
        return false;
    }
    std::size_t removed = 0;
    for (const fs::path& path : stale) {
        std::error_code ignored;
        removed += fs::remove(path, ignored) ? 1 : 0;
    }
    if (!stale.empty())
        log_.write("removed " + std::to_string(removed) + " of " + std::to_string(stale.size()) +
                   " partial uploads (" + std::string(kDraftPrefix) + "*" +
                   std::string(kDraftSuffix) + ") left in " + folder_.string() +
                   " by an earlier run");
    reconcile(replays);
    std::lock_guard lock(mutex_);
    next_ = highest + 1;
    char token[16];
    std::snprintf(token, sizeof token, "%08x", static_cast<unsigned>(platform::osRandom32()));
    draftToken_ = token;
    return true;
}

void ReplayStore::reconcile(const std::vector<std::uint64_t>& found) {
    if (std::exchange(reconciled_, true))
        return;
    std::map<std::uint64_t, Stored> index;
    for (const StoredUpload& row : store_.loaded().uploads)
        index[row.upload.id] = {row.upload, row.checksum, nullptr};
    std::vector<std::uint64_t> gone;
    for (auto it = index.begin(); it != index.end();) {
        if (std::find(found.begin(), found.end(), it->first) != found.end()) {
            it->second.upload.storedPath = folder_ / numbered(it->first, ".replay");
            ++it;
            continue;
        }
        gone.push_back(it->first);
        it = index.erase(it);
    }
    std::size_t added = 0;
    for (const std::uint64_t id : found) {
        if (index.count(id))
            continue;
        // Stored before the index knew it (a run that ended between the two, or a folder of a
        // backend without a state file): indexed from its sidecar, its checksum unknown (0).
        std::ifstream in(folder_ / numbered(id, ".json"), std::ios::binary);
        const Json sidecar = Json::parse(in, nullptr, false);
        if (!sidecar.is_object())
            continue;
        Stored stored;
        stored.upload.id = id;
        stored.upload.storedPath = folder_ / numbered(id, ".replay");
        stored.upload.fileName = sidecar.value("fileName", "");
        stored.upload.deviceId = sidecar.value("deviceId", "");
        stored.upload.server = sidecar.value("server", "");
        stored.upload.uploader = sidecar.value("uploader", "");
        std::error_code ec;
        stored.upload.bytes = fs::file_size(stored.upload.storedPath, ec);
        store_.addUpload({stored.upload, 0}, false);
        index[id] = stored;
        ++added;
    }
    if (!gone.empty())
        store_.removeUploads(gone);
    std::lock_guard lock(mutex_);
    for (auto& [id, stored] : index)
        stored_.push_back(std::move(stored));
    log_.write("uploads: " + std::to_string(stored_.size()) + " in the index of " + store_.where() +
               " for " + folder_.string() + " (" + std::to_string(added) +
               " found without a row and added, " + std::to_string(gone.size()) +
               " rows whose replay is gone removed)");
}

ReplayStore::Draft::~Draft() {
    std::string ignored;
    close(ignored);
    std::error_code ec;
    fs::remove(path_, ec);
}

bool ReplayStore::Draft::write(std::string_view bytes, std::string& error) {
    if (!file_) {
        error = "cannot write " + path_.string() + ": already closed";
        return false;
    }
    // Buffered: a chunk that did not fit is an error now or at close().
    errno = 0;
    const std::size_t n = std::fwrite(bytes.data(), 1, bytes.size(), file_);
    const int err = n == bytes.size() ? 0 : failureErrno();
    bytes_ += n;
    crc_.process_bytes(bytes.data(), n);
    if (err != 0) {
        error = "cannot write " + path_.string() + ": " + errnoText(err);
        return false;
    }
    return true;
}

bool ReplayStore::Draft::close(std::string& error) {
    if (!file_)
        return true;
    errno = 0;
    const int result = std::fclose(file_);
    const int err = result == 0 ? 0 : failureErrno();
    file_ = nullptr;
    if (err != 0) {
        error = "cannot write " + path_.string() + ": " + errnoText(err);
        return false;
    }
    return true;
}

std::unique_ptr<ReplayStore::Draft> ReplayStore::begin(std::string& error) {
    fs::path path;
    {
        std::lock_guard lock(mutex_);
        path = folder_ / (std::string(kDraftPrefix) + draftToken_ + "-" +
                          std::to_string(nextDraft_++) + std::string(kDraftSuffix));
    }
    int err = 0;
    std::FILE* file = platform::createNewFile(path, err);
    if (!file) {
        error = "cannot create " + path.string() + ": " + errnoText(err);
        return nullptr;
    }
    return std::unique_ptr<Draft>(new Draft(file, path));
}

const ReplayStore::Stored* ReplayStore::earlierCopy(const Draft& draft,
                                                    const Details& details) const {
    for (const Stored& stored : stored_) {
        const Upload& earlier = stored.upload;
        if (earlier.deviceId == details.deviceId && earlier.fileName == details.fileName &&
            earlier.bytes == draft.bytes() &&
            (stored.checksum == 0 || stored.checksum == draft.crc_.checksum()) &&
            sameContents(earlier.storedPath, draft.path_))
            return &stored;
    }
    return nullptr;
}

std::optional<ReplayStore::Kept> ReplayStore::commit(Draft& draft, const Details& details,
                                                     std::string& error) {
    if (!draft.close(error))
        return std::nullopt;
    std::lock_guard lock(mutex_);
    // A repeat is told of once the earlier one's row is kept.
    if (const Stored* earlier = earlierCopy(draft, details))
        return Kept{earlier->upload, true, earlier->commit ? earlier->commit : committedAlready()};

    Upload upload;
    upload.fileName = details.fileName;
    upload.deviceId = details.deviceId;
    upload.server = details.server;
    upload.uploader = details.uploader;
    upload.bytes = draft.bytes();
    // A name may be taken by a file that appeared after open(); such numbers are skipped. A
    // hard link gives the replay its name only when the name is free; the draft's own name
    // goes with the draft.
    for (int attempt = 0;; ++attempt) {
        upload.id = next_++;
        upload.storedPath = folder_ / numbered(upload.id, ".replay");
        const fs::path sidecarPath = folder_ / numbered(upload.id, ".json");
        const Json sidecar = {{"id", upload.id},
                              {"storedAs", upload.storedPath.filename().string()},
                              {"fileName", upload.fileName},
                              {"deviceId", upload.deviceId},
                              {"server", upload.server},
                              {"uploader", upload.uploader},
                              {"bytes", upload.bytes},
                              {"receivedAt", utcNow()}};
        std::error_code failure;
        fs::path failed = upload.storedPath;
        fs::create_hard_link(draft.path_, upload.storedPath, failure);
        // Windows' error codes do not all compare with errc; a name that now exists is taken.
        std::error_code ignored;
        bool taken = failure && fs::exists(upload.storedPath, ignored);
        if (!failure) {
            failed = sidecarPath;
            int err = 0;
            if (writeNew(sidecarPath, dumpCompact(sidecar) + "\n", err))
                break;
            failure = std::error_code(err, std::generic_category());
            taken = err == EEXIST;
            fs::remove(upload.storedPath, ignored);
        }
        if (!taken || attempt == 1000) {
            error = "cannot write " + failed.string() + ": " + failure.message();
            return std::nullopt;
        }
    }
    // Given up at once when the state file cannot take the row: its client is answered and
    // sends the replay again, rather than wait.
    const CommitRef row = store_.addUpload({upload, draft.crc_.checksum()}, true);
    stored_.push_back({upload, draft.crc_.checksum(), row});
    return Kept{upload, false, row};
}

void ReplayStore::discard(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(stored_.begin(), stored_.end(),
                                 [&](const Stored& stored) { return stored.upload.id == id; });
    if (it == stored_.end())
        return;
    std::error_code ignored;
    fs::remove(it->upload.storedPath, ignored);
    fs::remove(folder_ / numbered(id, ".json"), ignored);
    stored_.erase(it);
}

std::string ReplayStore::cannotKeep() const {
    if (const std::string failure = store_.failure(); !failure.empty())
        return "the state file cannot be written now (" + failure + ")";
    if (store_.full())
        return "the changes waiting for the state file are full";
    return {};
}

std::vector<Upload> ReplayStore::uploads() const {
    std::lock_guard lock(mutex_);
    std::vector<Upload> out;
    for (const Stored& stored : stored_)
        out.push_back(stored.upload);
    return out;
}

void ReplayStore::setNextFault(std::optional<NextFault> fault) {
    std::lock_guard lk(mutex_);
    nextFault_ = fault;
}

std::optional<ReplayStore::NextFault> ReplayStore::takeNextFault() {
    std::lock_guard lk(mutex_);
    return std::exchange(nextFault_, std::nullopt);
}

}  // namespace brevant::backend
