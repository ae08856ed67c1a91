#include "backend/UploadIntake.h"

#include <utility>

#include "backend/Text.h"

namespace brevant::backend {

namespace {

multipart::Limits limitsOf(const Options& options) {
    multipart::Limits limits;
    limits.maxFieldBytes = options.maxFieldBytes;
    limits.maxFileBytes = options.maxUploadBytes;
    return limits;
}

}  // namespace

UploadIntake::UploadIntake(const Options& options, LogBook& log, ReplayStore& replays,
                           const std::string& boundary, Refuse refuse, UploadSlot place,
                           std::chrono::milliseconds holdAnswer)
    : log_(log),
      replays_(replays),
      refuseRequest_(std::move(refuse)),
      place_(std::move(place)),
      holdAnswer_(holdAnswer),
      reader_(boundary, limitsOf(options), *this) {}

void UploadIntake::write(std::string_view bytes) {
    if (place_)
        place_->received(bytes.size());
    if (refusal_ || reader_.write(bytes))
        return;
    if (!refusal_)  // the reader refused the body, not one of the handlers below
        refuse(reader_.failure() == multipart::Failure::TooLarge ? 413 : 400, reader_.error());
}

void UploadIntake::whenEvicted(std::function<void()> stop) {
    if (place_)
        place_->whenEvicted(std::move(stop));
}

bool UploadIntake::deviceKnown() {
    if (deviceChecked_ || details_.deviceId.empty() || !place_)
        return true;
    deviceChecked_ = true;
    std::string why;
    return place_->setDevice(details_.deviceId, why) || refuse(503, why);
}

bool UploadIntake::onPart(const multipart::Part& part) {
    if (field_ == &details_.deviceId && !deviceKnown())
        return false;
    if (!names_.insert(part.name).second)
        return refuse(400, "part '" + escaped(part.name, 40) + "' appears twice");
    inFile_ = false;
    field_ = nullptr;
    if (part.name == "file" && part.fileName) {
        std::string error;
        draft_ = replays_.begin(error);
        if (!draft_)
            return refuse(500, error);
        details_.fileName = *part.fileName;
        inFile_ = true;
        return true;
    }
    for (auto [name, field] :
         {std::pair{"deviceId", &details_.deviceId}, std::pair{"server", &details_.server},
          std::pair{"uploader", &details_.uploader}}) {
        if (part.name != name)
            continue;
        if (part.fileName)
            return refuse(400, std::string("part '") + name + "' must not be a file");
        field_ = field;
    }
    return true;
}

bool UploadIntake::onData(std::string_view bytes, std::uint64_t) {
    if (inFile_) {
        std::string error;
        return draft_->write(bytes, error) || refuse(500, error);
    }
    if (field_)
        field_->append(bytes);  // within the reader's field limit
    return true;
}

bool UploadIntake::refuse(unsigned status, const std::string& why) {
    refusal_ = refuseRequest_(status, why);
    draft_.reset();
    inFile_ = false;
    place_.reset();  // what it still sends is read and dropped, outside the slots
    return false;
}

HttpReply UploadIntake::finish() {
    if (!refusal_ && !reader_.finish())
        refuse(reader_.failure() == multipart::Failure::TooLarge ? 413 : 400, reader_.error());
    if (!refusal_ && !draft_)
        refuse(400, "no file part (name=\"file\" with a filename)");
    if (!refusal_ && details_.deviceId.empty())
        refuse(400, "no deviceId field");
    if (!refusal_)
        deviceKnown();
    if (refusal_)
        return std::move(*refusal_);
    std::string error;
    const std::optional<ReplayStore::Kept> kept = replays_.commit(*draft_, details_, error);
    draft_.reset();
    if (!kept) {
        refuse(500, error);
        return std::move(*refusal_);
    }
    const Upload& stored = kept->upload;
    if (kept->repeat)
        log_.write("upload of " + std::to_string(stored.bytes) + " bytes from device " +
                   escaped(details_.deviceId, 60) + " repeats #" + std::to_string(stored.id) +
                   " (the same file from the same device): answered with #" +
                   std::to_string(stored.id) + ", not stored again");
    else
        log_.write("upload #" + std::to_string(stored.id) + " stored as " +
                   stored.storedPath.filename().string() + ": " + std::to_string(stored.bytes) +
                   " bytes, file='" + escaped(stored.fileName, 80) + "' device=" +
                   escaped(stored.deviceId, 60) + " server='" + escaped(stored.server, 60) +
                   "' uploader='" + escaped(stored.uploader, 40) + "'");
    HttpReply reply = jsonReply({{"ok", true}, {"id", stored.id}});
    // The 200 once the upload is in the index. One whose row was not kept is gone again and
    // answered 503: its client sends it again later.
    reply.after = kept->after;
    reply.settle = [&log = log_, &replays = replays_, after = kept->after, id = stored.id,
                    repeat = kept->repeat](HttpReply& answer) {
        if (after->kept())
            return;
        if (!repeat)
            replays.discard(id);
        log.write("upload #" + std::to_string(id) + ": " +
                  (repeat ? "the upload it repeats was not kept"
                          : "its row was not kept, the replay and its sidecar are removed") +
                  "; answered 503, to be sent again");
        answer = jsonReply({{"ok", false}, {"err", "NOT_KEPT"}}, 503);
    };
    if (holdAnswer_.count() > 0) {
        log_.write("upload #" + std::to_string(stored.id) + ": the answer waits " +
                   std::to_string(holdAnswer_.count()) + " ms (fail-upload stall)");
        reply.holdFor = holdAnswer_;
    }
    return reply;
}

}  // namespace brevant::backend
