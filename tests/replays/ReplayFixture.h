#pragma once
// The plugin loaded on the stand-in host with its replay folder (brv_replay_dir) in a temporary
// folder and its uploads going to a loopback test server that stores them with 200.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "net/BackendEndpoint.h"
#include "outbox/Outbox.h"
#include "platform/Text.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestHost.h"

namespace testing_support {

class ReplayFixture : public ::testing::Test {
protected:
    void load(bool watch) {
        std::filesystem::create_directories(data.path() / "cfg");
        std::ofstream(data.path() / "cfg" / "config.cfg")
            << "brv_replay_dir \"" << demos.path().string() << "\"\nbrv_watch_replays \""
            << (watch ? "1" : "0") << "\"\n";
        server.route("/upload-replay", HttpCannedResponse::make(200, "{\"ok\":true}"));
        host = std::make_unique<TestHost>(data.path());
        host->load();
        host->settle();  // the pairing check at load, refused
        brevant::setBackendEndpointForTests({L"127.0.0.1", 1, 1, 1, server.port()});
    }

    // A replay of `bytes` bytes in the folder, written `minutesAgo` ago.
    std::filesystem::path write(const std::string& name, std::size_t bytes = 64,
                                int minutesAgo = 0) {
        const auto path = demos.path() / name;
        std::ofstream(path, std::ios::binary) << std::string(bytes, 'r');
        if (minutesAgo)
            std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() -
                                                       std::chrono::minutes(minutesAgo));
        else
            stampNewest(path);
        return path;
    }
    // The file system's clock ticks coarsely (and Wine keeps a time it is given to the second):
    // two files written a moment apart may share a write time, and the watcher could take the
    // older one for the newest. Each fresh file is made newer than the one before it.
    void stampNewest(const std::filesystem::path& path) {
        using namespace std::chrono_literals;
        auto time = std::filesystem::last_write_time(path);
        if (time <= lastStamp) {
            std::filesystem::last_write_time(path, lastStamp + 1s);
            time = std::filesystem::last_write_time(path);  // as the file system keeps it
        }
        lastStamp = time;
    }
    // Waits for the workers and then for the outbox's thread to have delivered what it can, and
    // runs what they posted (the toasts).
    void deliver() {
        host->settle();
        EXPECT_TRUE(brevant::outbox::waitForIdle(std::chrono::seconds(30)));
        host->rt().runPosted();
    }
    void set(const std::string& cvar, const std::string& value) {
        host->rt().findCvar(cvar)->set(value);
    }
    // The file names of the uploads the server received, in order.
    std::vector<std::string> uploadedNames() const {
        std::vector<std::string> names;
        for (const auto& request : server.requests()) {
            const auto at = request.body.find("filename=\"");
            if (at != std::string::npos)
                names.push_back(
                    request.body.substr(at + 10, request.body.find('"', at + 10) - (at + 10)));
        }
        return names;
    }

    std::filesystem::file_time_type lastStamp = std::filesystem::file_time_type::min();
    HttpTestServer server;
    TempDir data{"brevant-data"};
    TempDir demos{"brevant-demos"};
    std::unique_ptr<TestHost> host;  // last: it goes first
};

}  // namespace testing_support
