// What a hostile client cannot do to the backend: write into the operator's console.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backend/Text.h"
#include "tests/backend/BackendTestSupport.h"

namespace backend_test {
namespace {

using namespace std::chrono_literals;

class BoundsTest : public BackendTest {};

TEST_F(BoundsTest, ClientTextIsShownEscapedInAnswersAndLogLines) {
    using brevant::backend::escaped;
    EXPECT_EQ(escaped("a\\b\n\t\x1b[2J\xC2\x9B\xE2\x80\xAE\xC3\xA9\xFF"),
              "a\\\\b\\n\\t\\x1b[2J\\u{009b}\\u{202e}\xC3\xA9\\xff");
    EXPECT_EQ(escaped("abcdef", 4), "abcd...");

    ASSERT_TRUE(start());
    WsClient a(ports().ws);
    const std::string forged = "devF\n  ws#99 127.0.0.1:1 device=admin\x1b[2J\x1b]0;owned\x07";
    a.hello(forged);
    ASSERT_TRUE(a.waitForType("pair_required"));
    const std::string expected =
        "devF\\n  ws#99 127.0.0.1:1 device=admin\\x1b[2J\\x1b]0;owned\\x07";
    for (const std::string& answer :
         {server_->runCommand("clients"), adminPost(ports().pair, "clients").body}) {
        EXPECT_EQ(std::count(answer.begin(), answer.end(), '\n'), answer.back() == '\n' ? 2 : 1)
            << answer;  // the title and one row
        EXPECT_NE(answer.find("device=" + expected + " platform="), std::string::npos) << answer;
        EXPECT_EQ(answer.find('\x1b'), std::string::npos);
    }
    // A field may hold a newline and a file name an escape sequence.
    const std::string body =
        "--x\r\nContent-Disposition: form-data; name=\"deviceId\"\r\n\r\ndev\nF\r\n"
        "--x\r\nContent-Disposition: form-data; name=\"file\"; filename=\"r\x1b[2J.replay\"\r\n"
        "\r\ndata\r\n--x--\r\n";
    ASSERT_EQ(httpPost(ports().upload, "/upload-replay", body,
                       "Content-Type: multipart/form-data; boundary=x\r\n"
                       "x-api-key: qworlenstapifendrux\r\nx-client: brevant-plugin\r\n")
                  .status,
              200u);
    const std::string uploads = server_->runCommand("uploads");
    EXPECT_EQ(std::count(uploads.begin(), uploads.end(), '\n'), 1) << uploads;
    EXPECT_NE(uploads.find("file='r\\x1b[2J.replay' device=dev\\nF "), std::string::npos)
        << uploads;

    const auto lines = server_->logLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("ws#1[devF\\n  ws#99") != std::string::npos;
    }));
    for (const std::string& line : lines)
        EXPECT_EQ(line.find_first_of("\n\x1b\x07"), std::string::npos) << line;
}

}  // namespace
}  // namespace backend_test
