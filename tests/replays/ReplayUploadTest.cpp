// The replay upload on its worker thread against the loopback test server, and the manual
// command.
#include "replays/ReplayUpload.h"

#include <gtest/gtest.h>

#include <regex>

#include "core/Globals.h"
#include "match/MatchIdentity.h"
#include "rotation/HostingState.h"
#include "tests/replays/ReplayFixture.h"

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
