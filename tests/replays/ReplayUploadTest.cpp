// The replay upload on its worker thread against the loopback test server, and the manual
// command.
#include "replays/ReplayUpload.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>

#include "core/Globals.h"
#include "match/MatchIdentity.h"
#include "rotation/HostingState.h"
#include "tests/replays/ReplayFixture.h"
#include "tests/support/Wine.h"

namespace {

using brevant::replays::standardUploadConfig;
using brevant::replays::uploadLastReplayAsync;
using testing_support::HttpCannedResponse;

class ReplayUpload : public testing_support::ReplayFixture {
protected:
    void SetUp() override { load(false); }
    void upload(const std::string& uploader, const std::string& id = "dev-1",
                const std::string& server = "Sala") {
        uploadLastReplayAsync(id, server, standardUploadConfig(uploader),
                              brevant::globalCvarManager.load());
        deliver();
    }
};

std::string part(const std::string& boundary, const std::string& name, const std::string& value) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
           value + "\r\n";
}

TEST_F(ReplayUpload, BodyIsExactWithAndWithoutUploaderAndValuesGoInUnchanged) {
    write("replay_VXA_a.replay", 3);
    const std::string id = "dev \"q\"\r\nx", room = "Sala\r\n--\"", player = "Jog\xE1 \"1\"";
    upload("", id, room);
    upload(player, id, room);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::regex shape("multipart/form-data; boundary=(----BREVANTBOUNDARY[0-9A-Za-z]{24})");
    std::string boundaries[2];
    for (int i = 0; i < 2; ++i) {
        std::smatch match;
        const std::string type = *requests[i].header("Content-Type");
        ASSERT_TRUE(std::regex_match(type, match, shape)) << type;
        const std::string b = boundaries[i] = match[1];
        std::string expected = part(b, "deviceId", id) + part(b, "server", room) +
                               (i ? part(b, "uploader", player) : "") + "--" + b +
                               "\r\nContent-Disposition: form-data; name=\"file\"; filename=\""
                               "replay_VXA_a.replay\"\r\nContent-Type: application/octet-stream"
                               "\r\n\r\nrrr\r\n--" +
                               b + "--\r\n";
        EXPECT_EQ(requests[i].body, expected);
    }
    EXPECT_NE(boundaries[0], boundaries[1]);
}

// The outbox keeps the replay until the backend has it: a 2xx delivers it, another 4xx refuses
// it for good, and no answer, a 5xx, 408 or 429 keep it for a later try.
TEST_F(ReplayUpload, TheAnswerDecidesWhetherTheReplayIsTriedAgain) {
    write("replay_VXA_a.replay");
    const auto pending = [] { return brevant::outbox::pending().size(); };
    server.enqueue(HttpCannedResponse::make(404, "x"));
    upload("");
    EXPECT_TRUE(
        host->hasLog("[BRV] Outbox: replay replay_VXA_a.replay recusado pelo backend; descartado"));
    EXPECT_EQ(pending(), 0u);

    server.enqueue(HttpCannedResponse::make(500, "x"));
    upload("");
    EXPECT_EQ(pending(), 1u);
    EXPECT_EQ(host->countLog("[BRV] Falha no upload (replay_VXA_a.replay)"), 2);
    // Tried again within the longest wait, and delivered once.
    host->advance(30 * 60);
    deliver();
    EXPECT_EQ(pending(), 0u);
    EXPECT_EQ(host->countLog("[BRV] Replay enviado (replay_VXA_a.replay)"), 1);
    EXPECT_EQ(server.requestCount(), 3u);
    EXPECT_EQ(server.requests()[2].body.size(), server.requests()[1].body.size());

    brevant::setBackendEndpointForTests({L"127.0.0.1", 1, 1, 1, 1});  // nothing answers
    upload("");
    EXPECT_EQ(pending(), 1u);
    EXPECT_EQ(host->toastTexts(),
              (std::vector<std::string>{"Falha ao enviar replay.", "Falha ao enviar replay.",
                                        "Replay enviado.", "Falha ao enviar replay."}));
}

// The deadline follows the progress (the limits shortened, in proportion, from 30 s windows):
// an upload that keeps going outlasts many windows and is delivered whole; one whose server takes
// next to nothing (a byte a second) is cut about a window after its last progress, and kept for a
// later try.
class UploadPace : public ReplayUpload {
protected:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kWindow = std::chrono::seconds(1);
    void SetUp() override {
        ReplayUpload::SetUp();
        brevant::replays::setUploadLimits(
            {8 * 1024, kWindow, std::chrono::seconds(30), std::chrono::minutes(30)});
    }
    void TearDown() override { brevant::replays::setUploadLimits({}); }
    // Uploads a replay of `bytes` to a server reading `piece` bytes every `pause`; how long it
    // took.
    Clock::duration paced(std::size_t bytes, std::size_t piece, std::chrono::milliseconds pause) {
        write("replay_VXA_slow.replay", bytes);
        auto canned = HttpCannedResponse::make(200, "{\"ok\":true}");
        canned.readPieceBytes = piece;
        canned.readPause = pause;
        server.enqueue(canned);
        const auto start = Clock::now();
        upload("");
        return Clock::now() - start;
    }
};

TEST_F(UploadPace, AnUploadThatKeepsGoingOutlastsManyWindows) {
    // 256 KiB a second, 32 times the least a window must take; the kernel's buffers aside, more
    // than 4 windows' worth of it.
    const std::size_t bytes = 1536 * 1024;
    EXPECT_GT(paced(bytes, 16 * 1024, std::chrono::milliseconds(62)), 3 * kWindow);
    EXPECT_TRUE(host->hasLog("[BRV] Replay enviado (replay_VXA_slow.replay)"));
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_NE(server.requests()[0].body.find(std::string(bytes, 'r') + "\r\n--"),
              std::string::npos);
    EXPECT_TRUE(brevant::outbox::pending().empty());
}

TEST_F(UploadPace, AServerThatReadsAByteASecondIsCutAboutAWindowAfterItsLastProgress) {
    if (testing_support::underWine())
        GTEST_SKIP() << "Wine's WinHTTP does not end a call under way when its handle is closed";
    const auto took = paced(1024 * 1024, 1, std::chrono::milliseconds(1000));
    EXPECT_GE(took, kWindow);
    EXPECT_LT(took, kWindow + std::chrono::seconds(4));
    EXPECT_TRUE(host->hasLog("[BRV] Falha no upload (replay_VXA_slow.replay)"));
    EXPECT_EQ(brevant::outbox::pending().size(), 1u);  // tried again later, as any failed one
}

TEST_F(ReplayUpload, NothingIsSentWithoutAReadableOwnedReplay) {
    upload("");
    EXPECT_TRUE(host->hasLog("[BRV] Nenhum .replay recente com o prefixo exigido foi encontrado."));
    const auto empty = write("replay_VXA_empty.replay", 0);
    upload("");
    EXPECT_TRUE(host->hasLog("[BRV] Falha ao ler replay: " + empty.string()));
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_TRUE(host->toastTexts().empty());
}

TEST_F(ReplayUpload, ManualCommandChecksOwnershipOnlyWhenAskedTo) {
    write("replay_VXA_older.replay", 64, 2);
    write("game_chosen.replay");
    {
        std::lock_guard lk(brevant::hostingMutex);
        brevant::currentServerName = "Sala 7";
    }
    host->rt().executeCommand("brv_upload_last_replay");
    deliver();
    EXPECT_TRUE(
        host->hasLog("[BRV] brv_upload_last_replay: ignorado \x97 replay mais recente "
                     "n\xE3o tem prefixo VXA."));
    EXPECT_EQ(host->toastTexts(), std::vector<std::string>{"Sem replay_VXA_ recente para enviar."});
    EXPECT_EQ(server.requestCount(), 0u);

    set("brv_upload_only_vxa", "0");
    host->rt().executeCommand("brv_upload_last_replay");
    deliver();
    EXPECT_EQ(uploadedNames(), std::vector<std::string>{"replay_VXA_older.replay"});
    EXPECT_NE(server.requests().at(0).body.find("Sala 7"), std::string::npos);
}

}  // namespace
