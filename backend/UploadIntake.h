#pragma once
// POST /upload-replay's body, taken piece by piece as it arrives: the multipart reader splits
// it, the fields are kept (each within its limit), and the file part goes straight into a
// draft file of the replay store. Nothing holds the whole body.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "backend/LogBook.h"
#include "backend/Multipart.h"
#include "backend/ReplayStore.h"
#include "backend/Reply.h"
#include "backend/Server.h"
#include "backend/UploadSlots.h"

namespace brevant::backend {

class UploadIntake final : private multipart::Handler {
public:
    // Logs a refusal of this request and builds its answer.
    using Refuse = std::function<HttpReply(unsigned status, const std::string& why)>;

    UploadIntake(const Options& options, LogBook& log, ReplayStore& replays,
                 const std::string& boundary, Refuse refuse, UploadSlot place,
                 std::chrono::milliseconds holdAnswer = std::chrono::milliseconds(0));

    // The next bytes of the body. After a refusal the rest is read and ignored, so that the
    // client, still sending, gets the answer.
    void write(std::string_view bytes);
    // At the end of the body: stores the replay, or says why not.
    HttpReply finish();
    // Called (on any thread, once) when the upload must end to give its slot to another.
    void whenEvicted(std::function<void()> stop);

private:
    bool onPart(const multipart::Part& part) override;
    bool onData(std::string_view bytes, std::uint64_t offset) override;
    bool refuse(unsigned status, const std::string& why);
    // Once the deviceId part is whole: false (refused) when the device has its most uploads.
    bool deviceKnown();

    LogBook& log_;
    ReplayStore& replays_;
    const Refuse refuseRequest_;
    std::optional<UploadSlot> place_;             // until refused
    const std::chrono::milliseconds holdAnswer_;  // a stall ordered on the console
    multipart::Reader reader_;
    std::optional<HttpReply> refusal_;
    std::set<std::string> names_;
    ReplayStore::Details details_;
    std::unique_ptr<ReplayStore::Draft> draft_;  // from the file part on
    // Where the current part's data goes: into the draft, into one of details_, or nowhere.
    bool inFile_ = false;
    std::string* field_ = nullptr;
    bool deviceChecked_ = false;
};

}  // namespace brevant::backend
