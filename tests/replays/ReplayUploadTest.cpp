// The replay upload on its worker thread against the loopback test server, and the manual
// command.
#include "replays/ReplayUpload.h"

#include <gtest/gtest.h>

#include <regex>

#include "core/Globals.h"
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
        uploadLastReplayAsync(brevant::globalGameWrapper.load(), id, server,
                              standardUploadConfig(uploader), brevant::globalCvarManager.load());
        host->settle();
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

TEST_F(ReplayUpload, OnlyA2xxAnswerCountsAsSent) {
    write("replay_VXA_a.replay");
    const struct {
        unsigned status;  // 0: nothing listens
        bool sent;
    } cases[] = {{200, true}, {201, true}, {500, false}, {404, false}, {0, false}};
    for (const auto& c : cases) {
        if (c.status)
            server.enqueue(HttpCannedResponse::make(c.status, "x"));
        else
            brevant::setBackendEndpointForTests({L"127.0.0.1", 1, 1, 1, 1});
        upload("");
        EXPECT_EQ(host->logs().back(), c.sent ? "[BRV] Replay enviado (replay_VXA_a.replay)"
                                              : "[BRV] Falha no upload (replay_VXA_a.replay)")
            << c.status;
        EXPECT_EQ(host->toastTexts().back(),
                  c.sent ? "Replay enviado." : "Falha ao enviar replay.");
    }
    EXPECT_EQ(host->toastTexts().size(), std::size(cases));
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
    host->settle();
    EXPECT_TRUE(
        host->hasLog("[BRV] brv_upload_last_replay: ignorado \x97 replay mais recente "
                     "n\xE3o tem prefixo VXA."));
    EXPECT_EQ(host->toastTexts(), std::vector<std::string>{"Sem replay_VXA_ recente para enviar."});
    EXPECT_EQ(server.requestCount(), 0u);

    set("brv_upload_only_vxa", "0");
    host->rt().executeCommand("brv_upload_last_replay");
    host->settle();
    EXPECT_EQ(uploadedNames(), std::vector<std::string>{"replay_VXA_older.replay"});
    EXPECT_NE(server.requests().at(0).body.find("Sala 7"), std::string::npos);
}

}  // namespace
