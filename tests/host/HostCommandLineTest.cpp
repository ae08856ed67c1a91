// The host program's command line: a mistake named with its reason, the defaults.
#include "host/HostProgramOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

host::HostCommandLine parse(std::vector<std::string> args) {
    std::vector<char*> argv{const_cast<char*>("brevant-host")};
    for (auto& a : args)
        argv.push_back(a.data());
    return host::parseHostCommandLine(static_cast<int>(argv.size()), argv.data(),
                                      "/m/VXAPlugin.so");
}

TEST(HostCommandLine, AMistakeIsNamedWithItsReasonAndAHintToHelp) {
    EXPECT_EQ(parse({"--headless", "--foo", "--bar"}).mistake,
              "brevant-host: unknown option --foo\nTry 'brevant-host --help' for the options.\n");
    auto first = [](std::vector<std::string> args) {
        const std::string text = parse(std::move(args)).mistake;
        return text.substr(0, text.find('\n'));
    };
    EXPECT_EQ(first({"--data"}), "brevant-host: --data needs a folder");
    EXPECT_EQ(first({"--data", "--headless"}), "brevant-host: --data needs a folder");
    EXPECT_EQ(first({"--run-seconds", "soon"}),
              "brevant-host: --run-seconds needs a number of seconds (0 or more), not 'soon'");
    EXPECT_EQ(first({"--run-seconds", "-1"}),
              "brevant-host: --run-seconds needs a number of seconds (0 or more), not '-1'");
    EXPECT_EQ(first({"Brevant"}), "brevant-host: unexpected argument 'Brevant'");
    // An argument cannot drive the terminal it is shown on.
    EXPECT_EQ(first({"--\x1b[2J"}), "brevant-host: unknown option --\\x1b[2J");
}

TEST(HostCommandLine, TheGamesDocumentsFolderIsInTheDataFolderUnlessGiven) {
    const auto plain = parse({"--data", "/a", "--data", "/d", "--show", "Brevant"});
    EXPECT_TRUE(plain.mistake.empty());
    EXPECT_FALSE(plain.help);
    EXPECT_EQ(plain.options.dataFolder, "/d");
    EXPECT_EQ(plain.options.documentsFolder, std::filesystem::path("/d") / "Documents");
    EXPECT_EQ(plain.options.module, "/m/VXAPlugin.so");
    EXPECT_EQ(plain.options.show, std::vector<std::string>{"Brevant"});
    EXPECT_EQ(parse({"--documents", "/e", "--data", "/d"}).options.documentsFolder, "/e");
    EXPECT_TRUE(parse({"--data", "/d", "-h"}).help);
}

}  // namespace
