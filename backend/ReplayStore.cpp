#include "backend/ReplayStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <system_error>

#include "backend/Json.h"

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

// Creates `path` only when it does not exist yet and writes `data` into it. errno-style error
// code in `err` on failure; EEXIST means the name is taken.
bool writeNew(const fs::path& path, std::string_view data, int& err) {
    std::FILE* file = std::fopen(path.c_str(), "wbx");
    if (!file) {
        err = errno;
        return false;
    }
    const bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
    err = written ? 0 : errno;
    if (std::fclose(file) != 0 && written)
        err = errno;
    if (err != 0) {
        std::error_code ignored;
        fs::remove(path, ignored);
        return false;
    }
    return true;
}

std::string errnoText(int err) {
    return std::error_code(err, std::generic_category()).message();
}

std::string utcNow() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
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
    std::uint64_t highest = 0;
    for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec))
        highest = std::max(highest, numberOf(it->path()));
    if (ec) {
        error = "cannot read the upload folder " + folder_.string() + ": " + ec.message();
        return false;
    }
    std::lock_guard lock(mutex_);
    next_ = highest + 1;
    return true;
}

ReplayStore::Draft::~Draft() {
    std::string ignored;
    close(ignored);
    std::error_code ec;
    fs::remove(path_, ec);
}

bool ReplayStore::Draft::write(std::string_view bytes, std::string& error) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "cannot write " + path_.string() + ": " + errnoText(n < 0 ? errno : EIO);
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
        bytes_ += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool ReplayStore::Draft::close(std::string& error) {
    if (fd_ < 0)
        return true;
    const int result = ::close(fd_);
    fd_ = -1;
    if (result != 0) {
        error = "cannot write " + path_.string() + ": " + errnoText(errno);
        return false;
    }
    return true;
}

std::unique_ptr<ReplayStore::Draft> ReplayStore::begin(std::string& error) {
    std::uint64_t n = 0;
    {
        std::lock_guard lock(mutex_);
        n = nextDraft_++;
    }
    const fs::path path =
        folder_ / (".incoming-" + std::to_string(::getpid()) + "-" + std::to_string(n) + ".part");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + path.string() + ": " + errnoText(errno);
        return nullptr;
    }
    return std::unique_ptr<Draft>(new Draft(fd, path));
}

std::optional<Upload> ReplayStore::keep(Draft& draft, const Details& details, std::string& error) {
    if (!draft.close(error))
        return std::nullopt;
    Upload upload;
    upload.fileName = details.fileName;
    upload.deviceId = details.deviceId;
    upload.server = details.server;
    upload.uploader = details.uploader;
    upload.bytes = draft.bytes();

    std::lock_guard lock(mutex_);
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
        int err = 0;
        fs::path failed = upload.storedPath;
        if (::link(draft.path_.c_str(), upload.storedPath.c_str()) == 0) {
            failed = sidecarPath;
            if (writeNew(sidecarPath, dumpCompact(sidecar) + "\n", err))
                break;
            std::error_code ignored;
            fs::remove(upload.storedPath, ignored);
        } else {
            err = errno;
        }
        if (err != EEXIST || attempt == 1000) {
            error = "cannot write " + failed.string() + ": " + errnoText(err);
            return std::nullopt;
        }
    }
    uploads_.push_back(upload);
    return upload;
}

std::vector<Upload> ReplayStore::uploads() const {
    std::lock_guard lock(mutex_);
    return uploads_;
}

}  // namespace brevant::backend
