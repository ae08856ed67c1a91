// The store of the Windows build of the backend library (its tests and the demo under Wine):
// the state lives in this process's memory under the file's name, so that a Server built again
// on the same name (the demo's backend restart) finds what the last one kept. Every change is
// done at once.
#include <algorithm>
#include <mutex>
#include <utility>

#include "backend/Store.h"

namespace brevant::backend {
namespace {

std::mutex statesMutex;
std::map<std::string, StoredState>& states() {
    static std::map<std::string, StoredState> byName;
    return byName;
}

class MemoryStore final : public Store {
public:
    MemoryStore(std::string name, std::size_t maxRecords)
        : name_(std::move(name)), max_(maxRecords) {
        std::lock_guard lock(statesMutex);
        loaded_ = states()[name_];
    }

    const std::string& where() const override { return name_; }
    const StoredState& loaded() const override { return loaded_; }
    CommitRef savePair(const std::string& device, const std::string& user) override {
        return change([&](StoredState& s) { s.pairs[device] = user; });
    }
    CommitRef removePair(const std::string& device) override {
        return change([&](StoredState& s) { s.pairs.erase(device); });
    }
    CommitRef addHello(const Hello& hello) override {
        return change([&](StoredState& s) { add(s.hellos, hello); });
    }
    CommitRef addCreateAck(const CreateAck& ack) override {
        return change([&](StoredState& s) { add(s.createAcks, ack); });
    }
    CommitRef addGameResult(const GameResult& result) override {
        return change([&](StoredState& s) { add(s.gameResults, result); });
    }
    CommitRef addRankSubmission(const RankSubmission& submission) override {
        return change([&](StoredState& s) { add(s.rankSubmissions, submission); });
    }
    CommitRef saveRankDevice(const std::string& device, const RankDeviceRow& row) override {
        return change([&](StoredState& s) { s.rankDevices[device] = row; });
    }
    CommitRef addUpload(const StoredUpload& upload, bool) override {
        return change([&](StoredState& s) { s.uploads.push_back(upload); });
    }
    CommitRef removeUploads(const std::vector<std::uint64_t>& ids) override {
        return change([&](StoredState& s) {
            std::erase_if(s.uploads, [&](const StoredUpload& u) {
                return std::find(ids.begin(), ids.end(), u.upload.id) != ids.end();
            });
        });
    }
    CommitRef barrier() override { return committedAlready(); }
    std::string failure() const override { return {}; }
    bool full() const override { return false; }
    void close() override {}

private:
    template <class T>
    void add(std::vector<T>& list, const T& item) {
        list.push_back(item);
        if (list.size() > max_)
            list.erase(list.begin(), list.end() - static_cast<std::ptrdiff_t>(max_));
    }
    template <class Change>
    CommitRef change(Change&& apply) {
        if (name_ != ":memory:") {
            std::lock_guard lock(statesMutex);
            apply(states()[name_]);
        }
        return committedAlready();
    }

    const std::string name_;
    const std::size_t max_;
    StoredState loaded_;
};

}  // namespace

std::unique_ptr<Store> openStore(const std::string& path, std::size_t maxRecords, LogBook&,
                                 std::string&, std::size_t) {
    return std::make_unique<MemoryStore>(path, maxRecords);
}

}  // namespace brevant::backend
