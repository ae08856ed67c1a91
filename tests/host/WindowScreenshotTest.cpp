// The host program's window on a display (Xvfb in the test command): the plugin's window
// rendered by OpenGL and read back as PNG, before and after the device is paired, and with the
// backend gone.
#include <gtest/gtest.h>
#include <stb_image.h>

#include <cstdlib>
#include <iostream>

#include "backend/Server.h"
#include "host/DemoClient.h"
#include "tests/support/LoopbackBackend.h"

namespace {

struct Rgb {
    int r, g, b;
};
const Rgb warningColour{242, 166, 51};    // 0.95, 0.65, 0.2
const Rgb pairedColour{51, 217, 77};      // 0.2, 0.85, 0.3
const Rgb connectedColour{77, 191, 179};  // the status panel's 0.3, 0.75, 0.7
const Rgb closedColour{217, 115, 115};    // and its 0.85, 0.45, 0.45

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgba;

    int count(Rgb c) const {
        int n = 0;
        for (std::size_t i = 0; i + 3 < rgba.size(); i += 4)
            n += std::abs(rgba[i] - c.r) <= 3 && std::abs(rgba[i + 1] - c.g) <= 3 &&
                 std::abs(rgba[i + 2] - c.b) <= 3;
        return n;
    }
    // Pixels that differ from the top-left one (the background).
    int drawn() const {
        int n = 0;
        for (std::size_t i = 0; i + 3 < rgba.size(); i += 4)
            n += rgba[i] != rgba[0] || rgba[i + 1] != rgba[1] || rgba[i + 2] != rgba[2];
        return n;
    }
};

Picture load(const std::filesystem::path& file) {
    Picture p;
    int channels = 0;
    unsigned char* data = stbi_load(file.string().c_str(), &p.width, &p.height, &channels, 4);
    if (data) {
        p.rgba.assign(data, data + static_cast<std::size_t>(p.width) * p.height * 4);
        stbi_image_free(data);
    }
    return p;
}

TEST(HostWindow, ShowsTheWarningUntilTheDeviceIsPaired) {
    if (!std::getenv("DISPLAY"))
        GTEST_SKIP() << "no display (the test command runs this under Xvfb)";
    testing_support::TempDir dir;
    host::Timeline timeline;
    brevant::backend::Server backend(testing_support::loopbackBackendOptions(dir));
    std::string error;
    ASSERT_TRUE(backend.start(&error)) << error;
    const std::string endpoint = testing_support::endpointOf(backend);
    host::DemoClient client({"A",
                             BREVANT_HOST_PROGRAM,
                             BREVANT_MODULE_PATH,
                             dir.path() / "A",
                             endpoint,
                             {"--window", "--show", "Brevant"}},
                            timeline);
    const std::filesystem::path shots = BREVANT_SCREENSHOT_DIR;
    std::filesystem::create_directories(shots);

    auto waitFor = [&](const std::string& prefix, std::size_t since = 0) {
        std::string seen;
        timeline.waitFor(
            [&](const host::TimelineEvent& e) {
                if (e.text.rfind(prefix, 0) != 0)
                    return false;
                seen = e.text;
                return true;
            },
            std::chrono::seconds(30), since);
        return seen;
    };
    auto screenshot = [&](const std::string& name) {
        const std::size_t since = timeline.size();
        client.command("screenshot " + (shots / name).string());
        EXPECT_FALSE(waitFor("brevant-host: screenshot saved", since).empty());
        std::cout << "screenshot: " << (shots / name).string() << std::endl;
        return load(shots / name);
    };

    client.start();
    ASSERT_FALSE(waitFor("brevant-host: window open").empty());
    ASSERT_FALSE(waitFor("[BRV] Concetado").empty());
    const Picture unpaired = screenshot("window-unpaired.png");
    EXPECT_GT(unpaired.drawn(), 1000);
    EXPECT_GT(unpaired.count(warningColour), 50);
    EXPECT_EQ(unpaired.count(pairedColour), 0);

    client.command("brv_deviceid");
    const std::string shown = waitFor("brv_deviceid = \"");
    ASSERT_FALSE(shown.empty());
    backend.runCommand("pair " + shown.substr(16, shown.size() - 17));
    ASSERT_FALSE(waitFor("[BRV] Device paired to your Discord. Ready.").empty());
    const Picture paired = screenshot("window-paired.png");
    EXPECT_GT(paired.drawn(), 1000);
    EXPECT_EQ(paired.count(warningColour), 0);
    EXPECT_GT(paired.count(pairedColour), 10);
    EXPECT_GT(paired.count(connectedColour), 10);
    EXPECT_EQ(paired.count(closedColour), 0);

    // The backend goes away: the status panel says the connection is closed.
    const std::size_t beforeStop = timeline.size();
    backend.stop();
    ASSERT_FALSE(waitFor("[BRV] WS", beforeStop).empty());
    const Picture closed = screenshot("window-disconnected.png");
    EXPECT_GT(closed.count(closedColour), 10);
    EXPECT_EQ(closed.count(connectedColour), 0);

    EXPECT_TRUE(client.quit(std::chrono::seconds(20)));
}

}  // namespace
