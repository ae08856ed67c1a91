// The multipart/form-data parser on its own, for the cases a socket test would only repeat.
#include "backend/Multipart.h"

#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "backend/Routes.h"
#include "backend/Text.h"

namespace {

namespace mp = brevant::backend::multipart;
using mp::Failure;

const std::string kBody =
    "preamble to ignore\r\n"
    "--b-1\r\n"
    "Content-Disposition: form-data; name=\"server\"\r\n"
    "\r\n"
    "A \"quoted\" name\r\n"
    "--b-1  \r\n"  // blanks after a delimiter are allowed
    "content-disposition: FORM-DATA; filename=\"x \\\"1\\\".replay\"; name=file\r\n"
    "Content-Type: application/octet-stream\r\n"
    "X-Other: ignored\r\n"
    "\r\n"
    "\r\n--b-10\r\n--b-1x\r\n"  // look like delimiters, but are data
    "\r\n"
    "--b-1--\r\n"
    "epilogue";

TEST(Multipart, BoundaryComesFromTheContentType) {
    std::string error;
    EXPECT_EQ(mp::boundaryOf("multipart/form-data; boundary=----BREVANT42", error),
              "----BREVANT42");
    EXPECT_EQ(mp::boundaryOf("Multipart/Form-Data;boundary=\"a b:c\"", error), "a b:c");
    for (const char* bad :
         {"multipart/form-data", "multipart/form-data; boundary=", "multipart/mixed; boundary=x",
          "text/plain", "multipart/form-data; boundary=\"open",
          "multipart/form-data; boundary=a\x01"}) {
        EXPECT_FALSE(mp::boundaryOf(bad, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_FALSE(mp::boundaryOf("multipart/form-data; boundary=" + std::string(71, 'a'), error));
}

TEST(Multipart, PartsAreSplitAtRealDelimitersOnly) {
    const mp::Result r = mp::parse(kBody, "b-1");
    ASSERT_TRUE(r.ok()) << r.error;
    ASSERT_EQ(r.parts.size(), 2u);
    EXPECT_EQ(r.parts[0].name, "server");
    EXPECT_FALSE(r.parts[0].fileName);
    EXPECT_EQ(r.parts[0].data, "A \"quoted\" name");
    EXPECT_EQ(r.parts[1].name, "file");
    EXPECT_EQ(r.parts[1].fileName, "x \"1\".replay");
    EXPECT_EQ(r.parts[1].contentType, "application/octet-stream");
    EXPECT_EQ(r.parts[1].data, "\r\n--b-10\r\n--b-1x\r\n");
}

TEST(Multipart, MalformedOrTruncatedBodiesAreRefused) {
    const std::string part = "--b\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\ndata";
    const std::pair<const char*, std::string> cases[] = {
        {"no delimiter at all", "just text"},
        {"no closing delimiter", part},
        {"cut inside the closing delimiter", part + "\r\n--b-"},
        {"cut inside the headers", "--b\r\nContent-Disposition: form-da"},
        {"no Content-Disposition", "--b\r\nContent-Type: text/plain\r\n\r\nx\r\n--b--"},
        {"no name", "--b\r\nContent-Disposition: form-data\r\n\r\nx\r\n--b--"},
        {"not form-data", "--b\r\nContent-Disposition: attachment; name=f\r\n\r\nx\r\n--b--"},
        {"header without colon", "--b\r\nContent-Disposition form-data; name=f\r\n\r\nx\r\n--b--"},
        {"folded header", "--b\r\nContent-Disposition: form-data;\r\n name=f\r\n\r\nx\r\n--b--"},
        {"repeated parameter",
         "--b\r\nContent-Disposition: form-data; name=a; name=b\r\n\r\nx\r\n--b--"},
        {"unterminated quote", "--b\r\nContent-Disposition: form-data; name=\"a\r\n\r\nx\r\n--b--"},
        {"junk after a delimiter",
         "--b\r\nContent-Disposition: form-data; name=a\r\n\r\nx\r\n--b\rz"},
    };
    for (const auto& [what, body] : cases) {
        const mp::Result r = mp::parse(body, "b");
        EXPECT_EQ(r.failure, Failure::Malformed) << what;
        EXPECT_FALSE(r.error.empty()) << what;
        EXPECT_TRUE(r.parts.empty()) << what;
    }
}

TEST(Multipart, LimitsApplyToFieldsFilesHeadersAndPartCount) {
    mp::Limits limits;
    limits.maxFieldBytes = 4;
    limits.maxFileBytes = 8;
    limits.maxHeaderBytes = 64;
    limits.maxParts = 2;
    auto part = [](const std::string& disposition, const std::string& data) {
        return "--b\r\nContent-Disposition: form-data; " + disposition + "\r\n\r\n" + data + "\r\n";
    };
    EXPECT_TRUE(mp::parse(part("name=a", "1234") + part("name=f; filename=x", "12345678") + "--b--",
                          "b", limits)
                    .ok());
    EXPECT_EQ(mp::parse(part("name=a", "12345") + "--b--", "b", limits).failure, Failure::TooLarge);
    EXPECT_EQ(mp::parse(part("name=f; filename=x", "123456789") + "--b--", "b", limits).failure,
              Failure::TooLarge);
    EXPECT_EQ(mp::parse(part("name=" + std::string(60, 'n'), "1") + "--b--", "b", limits).failure,
              Failure::Malformed);
    EXPECT_EQ(mp::parse(part("name=a", "1") + part("name=b", "2") + part("name=c", "3") + "--b--",
                        "b", limits)
                  .failure,
              Failure::Malformed);
}

// An upload's body goes through the reader in whatever pieces the network gives; the parts must
// come out the same however the body is cut.
TEST(Multipart, TheReaderGivesTheSamePartsWhateverPiecesTheBodyComesIn) {
    struct Collect final : mp::Handler {
        std::vector<std::pair<std::string, std::string>> parts;  // name, data
        bool onPart(const mp::Part& part) override {
            parts.push_back({part.name, {}});
            return true;
        }
        bool onData(std::string_view bytes, std::uint64_t) override {
            parts.back().second += bytes;
            return true;
        }
    };
    for (const std::size_t piece : {std::size_t(1), std::size_t(2), std::size_t(7), kBody.size()}) {
        Collect collect;
        mp::Reader reader("b-1", {}, collect);
        for (std::size_t at = 0; at < kBody.size(); at += piece)
            ASSERT_TRUE(reader.write(std::string_view(kBody).substr(at, piece))) << piece;
        ASSERT_TRUE(reader.finish()) << piece << ": " << reader.error();
        const std::vector<std::pair<std::string, std::string>> expected = {
            {"server", "A \"quoted\" name"}, {"file", "\r\n--b-10\r\n--b-1x\r\n"}};
        EXPECT_EQ(collect.parts, expected) << piece;
    }
    // A body cut short is refused at its end, also when the cut falls in a delimiter.
    Collect collect;
    mp::Reader cut("b-1", {}, collect);
    EXPECT_TRUE(cut.write(kBody.substr(0, kBody.find("--b-1--") + 4)));
    EXPECT_FALSE(cut.finish());
    EXPECT_EQ(cut.failure(), Failure::Malformed);
}

// Part headers near the limit, the body cut in two inside the CRLF CRLF that ends them, and
// blanks near the limit after a delimiter, the body read a byte at a time: the verdict is the
// same as for the body in one piece.
TEST(Multipart, TheHeaderLimitDoesNotDependOnWhereTheBodyIsCut) {
    struct Ignore final : mp::Handler {
        bool onPart(const mp::Part&) override { return true; }
        bool onData(std::string_view, std::uint64_t) override { return true; }
    };
    mp::Limits limits;
    limits.maxHeaderBytes = 64;
    const std::string disposition = "Content-Disposition: form-data; name=f\r\n";
    for (std::size_t headerBytes = 61; headerBytes <= 67; ++headerBytes) {
        const std::string pad = "X: " + std::string(headerBytes - disposition.size() - 5, 'p');
        const std::string headers = disposition + pad + "\r\n";
        ASSERT_EQ(headers.size(), headerBytes);
        const std::string body = "--b\r\n" + headers + "\r\ndata\r\n--b--";
        const std::size_t blank = body.find("\r\n\r\n");
        for (std::size_t cut = blank; cut <= blank + 4; ++cut) {
            Ignore ignore;
            mp::Reader reader("b", limits, ignore);
            const bool read = reader.write(std::string_view(body).substr(0, cut)) &&
                              reader.write(std::string_view(body).substr(cut)) && reader.finish();
            EXPECT_EQ(read, headerBytes <= 64) << headerBytes << " cut at " << cut - blank;
        }
    }
    for (const std::size_t blanks :
         {std::size_t(63), std::size_t(64), std::size_t(65), std::size_t(66)}) {
        // What follows the blanks makes the line a delimiter or data.
        for (const std::string& after : {"\r\n" + disposition + "\r\n", std::string("x")}) {
            const std::string body = "--b\r\n" + disposition + "\r\ndata\r\n--b" +
                                     std::string(blanks, ' ') + after + "\r\n--b--";
            Ignore ignore;
            mp::Reader reader("b", limits, ignore);
            bool read = true;
            for (std::size_t at = 0; read && at < body.size(); ++at)
                read = reader.write(std::string_view(body).substr(at, 1));
            read = read && reader.finish();
            EXPECT_EQ(read, mp::parse(body, "b", limits).ok()) << blanks << " then " << after;
            EXPECT_EQ(read, blanks <= 64) << blanks << " then " << after;
        }
    }
}

TEST(AdminRoute, AnswersLoopbackScriptsOnly) {
    using namespace brevant::backend;
    Options options;
    LogBook log;
    std::string error;
    const auto store = openStore(":memory:", options.maxRecords, log, error);
    ASSERT_TRUE(store) << error;
    Hub hub(log, *store, options.maxRecords);
    RankDesk ranks(
        log, hub, *store, options.rankCooldown, [] { return std::chrono::steady_clock::now(); },
        options.maxRecords);
    ReplayStore replays(log, *store, {});
    Console console(log, *store, hub, ranks, replays);
    Routes routes(options, log, hub, ranks, replays, console);
    HttpHead head;
    head.method = "POST";
    head.target = "/admin";
    head.peer = "192.0.2.7:4000";
    head.host = "127.0.0.1:8080";
    head.admin = "1";
    const auto refusal = [&](const HttpHead& h) {
        const Routing routing = routes.route(kRolePair, h);
        return routing.refusal ? routing.refusal->status : 0u;
    };
    EXPECT_EQ(refusal(head), 403u);  // not from loopback
    head.fromLoopback = true;
    EXPECT_EQ(refusal(head), 0u);

    HttpHead changed = head;
    changed.admin.reset();
    EXPECT_EQ(refusal(changed), 403u);
    changed.admin = "true";
    EXPECT_EQ(refusal(changed), 403u);
    changed = head;
    changed.origin = "";
    EXPECT_EQ(refusal(changed), 403u);
    changed = head;
    changed.host.reset();
    EXPECT_EQ(refusal(changed), 403u);
    changed.host = "attacker.example:8080";
    EXPECT_EQ(refusal(changed), 403u);

    EXPECT_EQ(routes.answer(Endpoint::Admin, head, "pair d u\r\n").status, 200u);
    EXPECT_TRUE(hub.isPaired("d"));
}

TEST(AdminRoute, LoopbackHostsAreLiteralsOnly) {
    using brevant::backend::isLoopbackHost;
    for (const char* host : {"127.0.0.1", "127.0.0.1:80", "127.255.0.9:65535", "127.0.0.0:0",
                             "localhost", "LOCALHOST:8080", "[::1]", "[::1]:6567"})
        EXPECT_TRUE(isLoopbackHost(host)) << host;
    for (const char* host : {"",
                             "128.0.0.1",
                             "127.0.0",
                             "127.0.0.1.5",
                             "127.0.0.256",
                             "127.0.0.01",
                             "0127.0.0.1",
                             "127.0.0.1:",
                             "127.0.0.1:65536",
                             "127.0.0.1:80x",
                             "127.0.0.1:+80",
                             "127.0.0.1 ",
                             " localhost",
                             "localhost.",
                             "localhost.example",
                             "127.0.0.1.example",
                             "example",
                             "[::1",
                             "[::1]x",
                             "[::1]:",
                             "[0:0:0:0:0:0:0:1]",
                             "::1",
                             "[::2]",
                             "0x7f000001",
                             "2130706433",
                             "[::ffff:127.0.0.1]",
                             "localhost:80:80"})
        EXPECT_FALSE(isLoopbackHost(host)) << host;
}

}  // namespace
