// POST /upload-replay: storage under the backend's own names, and refusals.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "backend/ReplayStore.h"
#include "platform/Sanitizers.h"
#include "tests/backend/BackendTestSupport.h"

namespace backend_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kBoundary = "----BREVANTBOUNDARYa1B2c3D4e5F6g7H8i9J0k1L2";

// The body exactly as the plugin builds it.
std::string pluginBody(const std::string& device, const std::string& server,
                       const std::string& uploader, const std::string& fileName,
                       const std::string& bytes) {
    const std::string open = "--" + kBoundary + "\r\n";
    std::string b = open + "Content-Disposition: form-data; name=\"deviceId\"\r\n\r\n" + device +
                    "\r\n" + open + "Content-Disposition: form-data; name=\"server\"\r\n\r\n" +
                    server + "\r\n";
    if (!uploader.empty())
        b += open + "Content-Disposition: form-data; name=\"uploader\"\r\n\r\n" + uploader + "\r\n";
    return b + open + "Content-Disposition: form-data; name=\"file\"; filename=\"" + fileName +
           "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + bytes + "\r\n--" + kBoundary +
           "--\r\n";
}

std::string headers(const std::string& contentType = "multipart/form-data; boundary=" + kBoundary,
                    const std::string& key = "qworlenstapifendrux",
                    const std::string& client = "brevant-plugin") {
    std::string h = "Content-Type: " + contentType + "\r\n";
    if (!key.empty())
        h += "x-api-key: " + key + "\r\n";
    if (!client.empty())
        h += "x-client: " + client + "\r\n";
    return h;
}

// Now in UTC as "YYYY-MM-DDTHH:MM:SSZ", read through the C library.
std::string utcText() {
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return text;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::size_t filesIn(const fs::path& folder) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

// Replay bytes with NULs, CRLFs and text that looks like a delimiter but is not one.
std::string replayBytes() {
    std::string bytes("\0\x01replay", 8);
    bytes += "\r\n--" + kBoundary.substr(0, 20) + "\r\n--\r\n--" + kBoundary + "X\r\n";
    for (int i = 0; i < 70000; ++i)
        bytes += static_cast<char>(i * 7);
    return bytes;
}

class UploadTest : public BackendTest {
protected:
    HttpAnswer upload(const std::string& body, const std::string& h = headers()) {
        return httpPost(ports().upload, "/upload-replay", body, h);
    }
    fs::path folder() const { return options_.uploadDir; }
};

TEST_F(UploadTest, PluginUploadIsStoredUnderANumberWithItsDataBeside) {
    ASSERT_TRUE(start());
    const std::string bytes = replayBytes();
    const std::string before = utcText();
    const auto first = upload(pluginBody("dev1", "Final", "Zé", "replay_VXA_1.replay", bytes));
    const std::string after = utcText();
    ASSERT_EQ(first.status, 200u) << first.body;
    EXPECT_EQ(first.json(), Json({{"ok", true}, {"id", 1}}));
    // The same file name again is a new replay, not an overwrite.
    const auto second = upload(pluginBody("dev1", "", "", "replay_VXA_1.replay", "x"));
    EXPECT_EQ(second.json(), Json({{"ok", true}, {"id", 2}}));

    EXPECT_EQ(readFile(folder() / "000001.replay"), bytes);
    EXPECT_EQ(readFile(folder() / "000002.replay"), "x");
    const Json sidecar = Json::parse(readFile(folder() / "000001.json"));
    EXPECT_EQ(sidecar["fileName"], "replay_VXA_1.replay");
    EXPECT_EQ(sidecar["deviceId"], "dev1");
    EXPECT_EQ(sidecar["server"], "Final");
    EXPECT_EQ(sidecar["uploader"], "Zé");
    EXPECT_EQ(sidecar["bytes"], bytes.size());
    const std::string receivedAt = sidecar.value("receivedAt", "");
    EXPECT_TRUE(before <= receivedAt && receivedAt <= after) << receivedAt;  // UTC, ISO 8601

    const auto uploads = server_->uploads();
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_EQ(uploads[0].storedPath, folder() / "000001.replay");
    EXPECT_EQ(uploads[1].fileName, "replay_VXA_1.replay");
    EXPECT_EQ(uploads[1].uploader, "");
}

// The console's upload faults each hit one upload: a 500 stores nothing, a stall stores the
// replay and answers it late, and the upload after either is answered as usual.
TEST_F(UploadTest, ConsoleFaultsHitOnlyTheNextUpload) {
    ASSERT_TRUE(start());
    EXPECT_EQ(server_->runCommand("fail-upload stall 0").rfind("error: ", 0), 0u);
    EXPECT_EQ(server_->runCommand("fail-upload 500 2").rfind("error: ", 0), 0u);
    server_->runCommand("fail-upload 500");
    EXPECT_EQ(upload(pluginBody("dev1", "S", "", "a.replay", "aaa")).status, 500u);
    EXPECT_EQ(filesIn(folder()), 0u);
    server_->runCommand("fail-upload stall 1");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(upload(pluginBody("dev1", "S", "", "a.replay", "aaa")).status, 200u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(readFile(folder() / "000001.replay"), "aaa");
    server_->runCommand("fail-upload 500");
    server_->runCommand("fail-upload off");
    EXPECT_EQ(upload(pluginBody("dev1", "S", "", "b.replay", "bbb")).json(),
              Json({{"ok", true}, {"id", 2}}));
}

TEST_F(UploadTest, ClientFileNamesNeverBecomePathsAndNumbersSkipFilesAlreadyThere) {
    fs::create_directories(folder());
    std::ofstream(folder() / "000007.replay") << "earlier";
    ASSERT_TRUE(start());
    std::ofstream(folder() / "000008.replay") << "late";  // taken after the store looked
    for (const char* name : {"../../escape.replay", "/tmp/absolute.replay", "a/b.replay"}) {
        const auto answer = upload(pluginBody("dev", "S", "", name, name));
        ASSERT_EQ(answer.status, 200u) << answer.body;
    }
    EXPECT_EQ(readFile(folder() / "000007.replay"), "earlier");
    EXPECT_EQ(readFile(folder() / "000008.replay"), "late");
    EXPECT_EQ(server_->uploads().front().id, 9u);
    EXPECT_EQ(server_->uploads().front().fileName, "../../escape.replay");
    EXPECT_FALSE(fs::exists(dir_.path() / "escape.replay"));
    EXPECT_FALSE(fs::exists(folder().parent_path().parent_path() / "escape.replay"));
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
        if (entry.is_directory())
            continue;
        EXPECT_EQ(entry.path().parent_path(), folder()) << entry.path();
        ++files;
    }
    EXPECT_EQ(files, 8u);  // the two earlier files, three replays and three sidecars
}

// A client that did not learn whether its delivery arrived sends it again: the backend keeps
// each replay and each game result once.
TEST_F(UploadTest, ADeliveryMadeTwiceIsKeptOnce) {
    ASSERT_TRUE(start());
    const std::string bytes = replayBytes();
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(upload(pluginBody("dev1", "Final", "", "r.replay", bytes)).json(),
                  Json({{"ok", true}, {"id", 1}}));
    EXPECT_TRUE(server_->waitForLog("repeats #1 (the same file from the same device)", kWait));
    EXPECT_EQ(upload(pluginBody("dev2", "Final", "", "r.replay", bytes)).json(),
              Json({{"ok", true}, {"id", 2}}));
    EXPECT_EQ(upload(pluginBody("dev1", "Final", "", "r.replay", bytes + "x")).json(),
              Json({{"ok", true}, {"id", 3}}));
    EXPECT_EQ(upload(pluginBody("dev1", "Final", "", "r2.replay", bytes)).json(),
              Json({{"ok", true}, {"id", 4}}));  // another game's replay with the same bytes
    EXPECT_EQ(filesIn(folder()), 8u);
    const std::string uploads = server_->runCommand("uploads");
    EXPECT_EQ(std::count(uploads.begin(), uploads.end(), '\n'), 4) << uploads;

    WsClient a(ports().ws);
    a.hello("dev1");
    const std::string result = R"({"t":"game_result","server":"Final","blueGoals":1})";
    for (const std::string& text : {result, result, std::string(R"({"t":"game_result"})")})
        a.send(text);
    ASSERT_TRUE(server_->waitUntil([&] { return server_->gameResults().size() == 2; }, kWait));
    EXPECT_TRUE(
        server_->waitForLog("] game_result server='Final' map= blue 1-? orange, winner=, "
                            "0 players: a repeat of one",
                            kWait));
    const std::string results = server_->runCommand("results");
    EXPECT_EQ(std::count(results.begin(), results.end(), '\n'), 4) << results;  // rows and players
}

// The same replay arrives in other pieces the second time (the network splits it as it likes):
// it is still the same replay.
TEST(ReplayStoreRepeat, TheSameBytesInOtherPiecesAreTheSameReplay) {
    testing_support::TempDir dir{"brevant-replay-store"};
    brevant::backend::LogBook log;
    std::string error;
    const auto store = brevant::backend::openStore(":memory:", 10, log, error);
    brevant::backend::ReplayStore replays(log, *store, dir.path() / "up");
    ASSERT_TRUE(replays.open(error)) << error;
    const std::string bytes = replayBytes();
    std::vector<bool> repeats;
    for (const std::size_t piece : {std::size_t(65536), std::size_t(1000)}) {
        const auto draft = replays.begin(error);
        ASSERT_TRUE(draft) << error;
        for (std::size_t at = 0; at < bytes.size(); at += piece)
            ASSERT_TRUE(draft->write(std::string_view(bytes).substr(at, piece), error));
        const auto kept = replays.commit(*draft, {"r.replay", "dev1", "Final", ""}, error);
        ASSERT_TRUE(kept) << error;
        repeats.push_back(kept->repeat);
    }
    EXPECT_EQ(repeats, (std::vector<bool>{false, true}));
}

TEST_F(UploadTest, PartialUploadsOfAnEarlierRunAreRemovedAtStart) {
    fs::create_directories(folder());
    for (const char* name : {".incoming-0badf00d-1.part", ".incoming-0badf00d-2.part"})
        std::ofstream(folder() / name) << "cut off";
    std::ofstream(folder() / "notes.part") << "not ours";
    ASSERT_TRUE(start());
    EXPECT_TRUE(server_->waitForLog("removed 2 of 2 partial uploads (.incoming-*.part)", kWait));
    EXPECT_EQ(filesIn(folder()), 1u);
    EXPECT_TRUE(fs::exists(folder() / "notes.part"));
}

TEST_F(UploadTest, RequestsWithoutTheClientsCredentialsAreRefused) {
    ASSERT_TRUE(start());
    const std::string body = pluginBody("dev", "S", "", "r.replay", "data");
    EXPECT_EQ(upload(body, headers("multipart/form-data; boundary=" + kBoundary, "")).status, 401u);
    EXPECT_EQ(upload(body, headers("multipart/form-data; boundary=" + kBoundary, "wrong")).status,
              401u);
    EXPECT_EQ(upload(body, headers("multipart/form-data; boundary=" + kBoundary,
                                   "qworlenstapifendrux", ""))
                  .status,
              403u);
    EXPECT_TRUE(server_->uploads().empty());
}

TEST_F(UploadTest, MalformedBodiesAreRefusedWith400AndNothingIsStored) {
    ASSERT_TRUE(start());
    const std::string good = pluginBody("dev", "S", "", "r.replay", "data");
    const std::string disposition = "Content-Disposition: form-data; name=\"file\"";
    struct Case {
        const char* what;
        std::string body;
        std::string headers;
    };
    const Case cases[] = {
        {"no boundary", good, headers("multipart/form-data")},
        {"not multipart", good, headers("application/octet-stream")},
        {"truncated", good.substr(0, good.size() - 30), headers()},
        {"no closing delimiter", good.substr(0, good.find("--" + kBoundary + "--")), headers()},
        {"other boundary", good, headers("multipart/form-data; boundary=nothere")},
        {"no file part",
         good.substr(0, good.find("--" + kBoundary + "\r\n" + disposition)) + "--" + kBoundary +
             "--\r\n",
         headers()},
        {"header without colon",
         std::string(good).replace(good.find(disposition), 20, "Content-Disposition"), headers()},
        {"not form-data",
         std::string(good).replace(good.find("form-data; name=\"deviceId"), 9, "inline"),
         headers()},
    };
    for (const Case& c : cases) {
        const auto answer = upload(c.body, c.headers);
        EXPECT_EQ(answer.status, 400u) << c.what << ": " << answer.body;
    }
    EXPECT_TRUE(server_->uploads().empty());
    EXPECT_TRUE(fs::is_empty(folder()));
    EXPECT_EQ(upload(good).status, 200u);
}

TEST_F(UploadTest, OversizedBodiesAndPartsAre413WithoutReadingThem) {
    options_.maxUploadBytes = 64 * 1024;
    options_.maxFieldBytes = 100;
    ASSERT_TRUE(start());
    // Only the head is sent: the answer comes before any of the announced body.
    const std::string answer =
        rawExchange(ports().upload, "POST /upload-replay HTTP/1.1\r\nHost: x\r\n" + headers() +
                                        "Content-Length: 104857600\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 413", 0), 0u) << answer;

    EXPECT_EQ(upload(pluginBody("dev", std::string(101, 's'), "", "r.replay", "d")).status, 413u);
    EXPECT_EQ(upload(pluginBody("dev", "S", "", "r.replay", std::string(70 * 1024, 'r'))).status,
              413u);
    EXPECT_TRUE(server_->uploads().empty());
    EXPECT_EQ(upload(pluginBody("dev", std::string(100, 's'), "", "r.replay", "d")).status, 200u);
}

// An upload sent by hand over its own connection: the head first, the body when the test says.
class UploadByHand {
public:
    UploadByHand(std::uint16_t port, std::size_t bodyBytes, bool expectContinue) : client_(port) {
        client_.send("POST /upload-replay HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers() +
                     "Content-Length: " + std::to_string(bodyBytes) + "\r\n" +
                     (expectContinue ? "Expect: 100-continue\r\n" : "") +
                     "Connection: close\r\n\r\n");
    }
    // The backend sends "100 Continue" once it took the upload in.
    bool takenIn() {
        return client_
                   .readUntil(
                       [](const std::string& r) { return r.find("\r\n\r\n") != std::string::npos; })
                   .rfind("HTTP/1.1 100 ", 0) == 0;
    }
    bool send(std::string_view bytes) { return client_.send(bytes); }
    // The answer (after the 100 Continue, if one came), once the backend closed.
    std::string answer() {
        const std::string all = client_.readUntil([](const std::string&) { return false; });
        if (all.rfind("HTTP/1.1 100 ", 0) != 0)
            return all;
        return all.substr(std::min(all.size(), all.find("\r\n\r\n") + 4));
    }

private:
    TcpClient client_;
};

TEST_F(UploadTest, AFifthConcurrentUploadGets503TheFourCompleteAndACutOneLeavesNothing) {
    EXPECT_EQ(brevant::backend::Options{}.maxConcurrentUploads, 16u);
    options_.maxConcurrentUploads = 4;
    ASSERT_TRUE(start());
    // Each from a device of its own: the same replay twice from one device is stored once.
    const auto body = [](int device) {
        return pluginBody("dev" + std::to_string(device), "S", "", "r.replay",
                          std::string(1000, 'r'));
    };
    const std::size_t size = body(0).size();
    std::vector<std::unique_ptr<UploadByHand>> four;
    for (int i = 0; i < 4; ++i) {
        four.push_back(std::make_unique<UploadByHand>(ports().upload, size, true));
        ASSERT_TRUE(four.back()->takenIn()) << i;
        four.back()->send(body(i).substr(0, 500));  // well inside the file part
    }
    const auto fifth = upload(body(4));
    EXPECT_EQ(fifth.status, 503u);
    EXPECT_EQ(fifth.json(), Json({{"ok", false}, {"err", "TOO_MANY_UPLOADS"}}));
    for (int i = 0; i < 4; ++i) {
        auto& started = four[static_cast<std::size_t>(i)];
        started->send(body(i).substr(500));
        const std::string answer = started->answer();
        EXPECT_EQ(answer.rfind("HTTP/1.1 200 ", 0), 0u) << answer;
    }
    EXPECT_EQ(server_->uploads().size(), 4u);

    // Cut off inside the file part: nothing of it stays in the folder.
    const std::size_t mark = server_->logCount();
    {
        UploadByHand cut(ports().upload, size, false);
        cut.send(body(5).substr(0, size / 2));
    }
    ASSERT_TRUE(server_->waitForLog("closed the connection inside a request", kWait, mark));
    EXPECT_EQ(filesIn(folder()), 8u);  // four replays and their sidecars
    EXPECT_EQ(upload(body(6)).json(), Json({{"ok", true}, {"id", 5}}));
}

// Whether the backend wrote at least `bytes` of a replay being received to its temporary file
// (so that it counted them), waiting a bounded while: nothing else shows a body's progress.
bool draftHolds(const fs::path& folder, std::uintmax_t bytes) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    do {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            if (entry.path().extension() == ".part" && entry.file_size(ec) >= bytes)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

// Uploads that trickle cannot hold the slots: a new upload takes the place of the slowest one
// that has run 30 s and received under 4 KiB/s over its last 30 s (on the backend's clock),
// while an upload that keeps its pace, the oldest of all, completes beside them.
TEST_F(UploadTest, SlowSquattersGiveTheirSlotsToAPluginsUpload) {
    options_.maxConcurrentUploads = 3;
    const auto base = std::chrono::steady_clock::now();
    std::atomic<long long> elapsedMs{0};
    options_.clock = [&] { return base + std::chrono::milliseconds(elapsedMs.load()); };
    ASSERT_TRUE(start());
    const std::string fastBody = pluginBody("devF", "S", "", "f.replay", std::string(200'000, 'f'));
    UploadByHand fast(ports().upload, fastBody.size(), true);
    ASSERT_TRUE(fast.takenIn());
    std::vector<std::unique_ptr<UploadByHand>> squatters;  // nothing after their heads
    for (int i = 0; i < 2; ++i) {
        squatters.push_back(std::make_unique<UploadByHand>(ports().upload, 1000, true));
        ASSERT_TRUE(squatters.back()->takenIn());
    }
    elapsedMs += 31'000;
    const std::size_t paced = 130 * 1024;  // over 4 KiB/s for 30 s
    fast.send(fastBody.substr(0, paced));
    ASSERT_TRUE(draftHolds(folder(), paced - 8 * 1024));

    const std::size_t mark = server_->logCount();
    EXPECT_EQ(upload(pluginBody("devP", "S", "", "p.replay", "ppp")).json(),
              Json({{"ok", true}, {"id", 1}}));
    EXPECT_TRUE(server_->waitForLog(
        "ended after 31 s: 0 bytes, 0 of them in the last 30000 ms (under 4096 bytes/s); 3 "
        "uploads were being received, and a new one takes its place",
        0ms, mark));
    EXPECT_EQ(squatters[0]->answer(), "");  // closed without an answer
    fast.send(fastBody.substr(paced));
    EXPECT_EQ(fast.answer().rfind("HTTP/1.1 200 ", 0), 0u);
}

// A client that sends its whole body before it reads (as most do) must read the refusal, not a
// reset; and a failure of the backend's own does not show its folders.
TEST_F(UploadTest, ARefusedClientStillSendingReadsTheAnswerAndA500NamesNoPath) {
    options_.maxConcurrentUploads = 1;
    ASSERT_TRUE(start());
    const std::string small = pluginBody("dev", "S", "", "r.replay", "data");
    UploadByHand taking(ports().upload, small.size(), true);
    ASSERT_TRUE(taking.takenIn());
    const std::string body =
        pluginBody("dev", "S", "", "r.replay", std::string(16 * 1024 * 1024, 'r'));
    UploadByHand refused(ports().upload, body.size(), false);
    ASSERT_TRUE(refused.send(body));  // far more than the sockets' buffers hold
    const std::string answer = refused.answer();
    EXPECT_EQ(answer.rfind("HTTP/1.1 503 ", 0), 0u) << answer;
    EXPECT_NE(answer.find("TOO_MANY_UPLOADS"), std::string::npos) << answer;
    ASSERT_TRUE(taking.send(small));
    EXPECT_EQ(taking.answer().rfind("HTTP/1.1 200 ", 0), 0u);

    fs::remove_all(folder());
    const auto failed = upload(pluginBody("dev", "S", "", "r.replay", "data"));
    EXPECT_EQ(failed.status, 500u);
    EXPECT_EQ(failed.body.find(dir_.path().string()), std::string::npos) << failed.body;
    EXPECT_TRUE(server_->waitForLog("-> 500: cannot create " + folder().string(), kWait));
}

// VmRSS, or VmHWM (the peak since the last reset) of this process, in bytes; 0 when unknown.
std::size_t memoryLine(const char* key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key, 0) == 0)
            return std::stoull(line.substr(std::strlen(key))) * 1024;
    }
    return 0;
}

#if defined(BREVANT_UNDER_ASAN) || defined(BREVANT_UNDER_TSAN)
// Under a sanitizer, freed memory waits in a quarantine, so resident memory follows how much
// was ever allocated: the sanitizer's count of live bytes stands in for it.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();  // in the sanitizer runtime
constexpr const char* kMeasure = "live heap";
std::size_t memoryInUse() {
    return __sanitizer_get_current_allocated_bytes();
}
#else
constexpr const char* kMeasure = "resident memory";
std::size_t memoryInUse() {
    return memoryLine("VmRSS:");
}
#endif

// The backend runs in this process, so the process's growth bounds the backend's; the client
// sends from one 64 KiB buffer. Samples are taken while sending; without a sanitizer the
// kernel's high-water mark (reset before the upload) gives the peak between them as well.
TEST_F(UploadTest, ASixtyMegabyteUploadGoesToDiskWithoutGrowingTheBackend) {
    ASSERT_TRUE(start());
    const std::string closing = "\r\n--" + kBoundary + "--\r\n";
    const std::string whole = pluginBody("dev", "S", "", "big.replay", "");
    const std::string opening = whole.substr(0, whole.size() - closing.size());
    const std::string chunk(64 * 1024, 'r');
    const std::size_t chunks = 60 * 1024 * 1024 / chunk.size();
    const std::size_t fileBytes = chunks * chunk.size();

    UploadByHand big(ports().upload, opening.size() + fileBytes + closing.size(), true);
    ASSERT_TRUE(big.takenIn());
    const std::size_t before = memoryInUse();
    const bool peakReset = std::string(kMeasure) == "resident memory" &&
                           static_cast<bool>(std::ofstream("/proc/self/clear_refs") << "5");
    std::size_t peak = before;
    ASSERT_TRUE(big.send(opening));
    for (std::size_t i = 0; i < chunks; ++i) {
        ASSERT_TRUE(big.send(chunk)) << i;
        if (i % 16 == 0)
            peak = std::max(peak, memoryInUse());
    }
    ASSERT_TRUE(big.send(closing));
    const std::string answer = big.answer();
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 ", 0), 0u) << answer;
    if (peakReset)
        peak = std::max(peak, memoryLine("VmHWM:"));
    EXPECT_LT(peak - before, 16u * 1024 * 1024)
        << kMeasure << " grew from " << before << " to " << peak;
    std::cout << kMeasure << " growth for a 60 MiB upload: " << (peak - before) / 1024 << " KiB\n";

    EXPECT_EQ(fs::file_size(folder() / "000001.replay"), fileBytes);
    EXPECT_EQ(filesIn(folder()), 2u);  // the replay and its sidecar, no temporary file
}

}  // namespace
}  // namespace backend_test
