#include "plugin/DeviceId.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "platform/Text.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestHost.h"

namespace {

using brevant::generateDeviceId;
using brevant::loadOrCreateDeviceId;
using testing_support::TempDir;

const std::regex idShape("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");

std::filesystem::path idFile(const TempDir& dir) {
    return dir.path() / "Brevant" / "device_id.txt";
}

std::string readAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::filesystem::path& p, const std::string& bytes) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
}

std::wstring wide(const TempDir& dir) {
    return platform::pathToWide(dir.path());
}

TEST(DeviceId, GeneratedIdentifiersHaveTheShapeAndNeverRepeat) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        auto id = generateDeviceId();
        EXPECT_TRUE(std::regex_match(id, idShape)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(DeviceId, FirstLoadWritesExactly36BytesAndTheNextLoadReadsThemBack) {
    TempDir dir;
    const std::string id = loadOrCreateDeviceId(wide(dir));
    EXPECT_TRUE(std::regex_match(id, idShape));
    EXPECT_EQ(readAll(idFile(dir)), id);  // no line ending, nothing else
    EXPECT_EQ(loadOrCreateDeviceId(wide(dir)), id);
}

TEST(DeviceId, FirstLineIsTrimmedAndTheFileLeftAlone) {
    TempDir dir;
    writeFile(idFile(dir), "  abc  \r\nsecond line\n");
    EXPECT_EQ(loadOrCreateDeviceId(wide(dir)), "abc");
    EXPECT_EQ(readAll(idFile(dir)), "  abc  \r\nsecond line\n");

    writeFile(idFile(dir), "\t\v\f player-chosen id \n");
    EXPECT_EQ(loadOrCreateDeviceId(wide(dir)), "player-chosen id");

    // Bytes that are not UTF-8 become U+FFFD once, here, so every message carries one identity.
    writeFile(idFile(dir), "ab\xFF\xC3(cd");
    EXPECT_EQ(loadOrCreateDeviceId(wide(dir)), "ab\xEF\xBF\xBD\xEF\xBF\xBD(cd");
    EXPECT_EQ(readAll(idFile(dir)), "ab\xFF\xC3(cd");
}

// An identifier made in a child process, read back through a pipe. (POSIX: fork.)
#ifndef _WIN32
std::string identifierFromAnotherProcess() {
    int fds[2];
    if (::pipe(fds) != 0)
        return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        const std::string id = generateDeviceId();
        const auto written = ::write(fds[1], id.data(), id.size());
        ::_exit(written == static_cast<ssize_t>(id.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string id(64, '\0');
    const auto n = child > 0 ? ::read(fds[0], id.data(), id.size()) : -1;
    ::close(fds[0]);
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    id.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return id;
}

// The host gives back the value it saved last time; when the file now holds another identifier,
// the variable shows the one in use, and the line names both.
TEST(DeviceId, ASavedVariableThatIsNotTheIdentifierInUseIsReplacedAtLoad) {
    TempDir dir;
    writeFile(idFile(dir), "walk-b");
    writeFile(dir.path() / "cfg" / "config.cfg", "brv_deviceid \"walk-a\"\n");
    testing_support::TestHost host(dir.path());
    host.load();
    EXPECT_EQ(host.rt().findCvar("brv_deviceid")->get(), "walk-b");
    EXPECT_EQ(host.countLog("[BRV] brv_deviceid salvo ('walk-a') nao e o deviceId em uso; agora "
                            "mostra 'walk-b'"),
              1);
}

TEST(DeviceId, TwoProcessesMakeDifferentIdentifiers) {
    const std::string first = identifierFromAnotherProcess();
    const std::string second = identifierFromAnotherProcess();
    EXPECT_TRUE(std::regex_match(first, idShape)) << first;
    EXPECT_NE(first, second);
}
#endif

TEST(DeviceId, EmptyFirstLineIsReplacedByANewIdentifier) {
    TempDir dir;
    writeFile(idFile(dir), "\nsomething on line two");
    const std::string id = loadOrCreateDeviceId(wide(dir));
    EXPECT_TRUE(std::regex_match(id, idShape));
    EXPECT_EQ(readAll(idFile(dir)), id);

    writeFile(idFile(dir), " \r\n");
    const std::string again = loadOrCreateDeviceId(wide(dir));
    EXPECT_NE(again, id);
    EXPECT_EQ(readAll(idFile(dir)), again);
}

TEST(DeviceId, FolderInPlaceOfTheFileGivesAFreshIdentifierEachLoad) {
    TempDir dir;
    std::filesystem::create_directories(idFile(dir));
    const std::string a = loadOrCreateDeviceId(wide(dir));
    const std::string b = loadOrCreateDeviceId(wide(dir));
    EXPECT_TRUE(std::regex_match(a, idShape));
    EXPECT_TRUE(std::regex_match(b, idShape));
    EXPECT_NE(a, b);
    EXPECT_TRUE(std::filesystem::is_directory(idFile(dir)));
}

TEST(DeviceId, DataFolderWithNonAsciiCharacters) {
    TempDir dir;
    const std::wstring folder = wide(dir) + L"/Jo\u00E3o \u00C7\u00E1 \u6E38\u620F";
    const std::string id = loadOrCreateDeviceId(folder);
    const auto expected = dir.path() / platform::widePath(L"Jo\u00E3o \u00C7\u00E1 \u6E38\u620F") /
                          "Brevant" / "device_id.txt";
    EXPECT_EQ(readAll(expected), id);
    EXPECT_EQ(loadOrCreateDeviceId(folder), id);
}

TEST(DeviceId, UnusableDataFolderStillGivesAnIdentifier) {
    TempDir dir;
    writeFile(dir.path() / "plain-file", "x");  // a file where the folder should be
    const std::string id = loadOrCreateDeviceId(wide(dir) + L"/plain-file");
    EXPECT_TRUE(std::regex_match(id, idShape));
}

}  // namespace
