// What the host program prints for a text of the plugin's or the backend's.
#include "host/ConsoleText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/ConsolePrinter.h"
#include "host/RepeatFolder.h"

namespace {

TEST(ConsoleText, TextsAreMadeUtf8AndControlCharactersCannotReachTheTerminal) {
    // Windows-1252 from the plugin, UTF-8 from the backend.
    EXPECT_EQ(host::toTerminalText("Pareado: j\xE1 \x97 ok"), "Pareado: j\xC3\xA1 \xE2\x80\x94 ok");
    EXPECT_EQ(host::toTerminalText("S\xC3\xA3o Paulo"), "S\xC3\xA3o Paulo");
    // A forged line, colours, a window title, a C1 control sequence introducer.
    EXPECT_EQ(host::toTerminalText("a\nb\r\x1b[31mred\x1b]0;title\x07 \xC2\x9b"
                                   "2J\x7f"),
              "a\\x0ab\\x0d\\x1b[31mred\\x1b]0;title\\x07 \\u009b2J\\x7f");
    EXPECT_EQ(host::formatConsoleLine(1'500'000'000, sdk::OutputKind::Log, "x\ny"),
              "[   1.500] console | x\\x0ay");
}

TEST(ConsolePrinter, OnATerminalARepeatedLineIsFoldedIntoACountElseEveryLineIsKept) {
    for (bool fold : {true, false}) {
        std::vector<std::string> printed;
        host::ConsolePrinter out(fold, [&](const std::string& line) { printed.push_back(line); });
        out.print("[1] ", "game | a");
        out.print("[2] ", "game | a");
        out.print("[3] ", "game | a");
        out.print("[4] ", "console | b");
        out.print("[5] ", "console | b");
        out.print("brevant-host: stopping");
        out.inputTyped();  // the terminal echoed a command under the count
        out.print("[6] ", "brevant-host: stopping");
        const std::string again = host::ConsolePrinter::eraseLineAbove;
        if (fold)
            EXPECT_EQ(printed, (std::vector<std::string>{
                                   "[1] game | a", "  (repeated 1 more time)",
                                   again + "  (repeated 2 more times)", "[4] console | b",
                                   "  (repeated 1 more time)", "brevant-host: stopping",
                                   "[6] brevant-host: stopping"}));
        else
            EXPECT_EQ(printed.size(), 7u);
    }
}

TEST(RepeatFolder, EachSourceRepeatsOnlyItsOwnLastText) {
    host::RepeatFolder folder;
    std::size_t folded = 9;
    EXPECT_FALSE(folder.repeats("A", "map x", &folded));
    EXPECT_EQ(folded, 0u);
    EXPECT_FALSE(folder.repeats("B", "map x"));
    EXPECT_TRUE(folder.repeats("A", "map x"));
    EXPECT_TRUE(folder.repeats("B", "map x"));
    EXPECT_TRUE(folder.repeats("A", "map x"));
    EXPECT_FALSE(folder.repeats("A", "map y", &folded));
    EXPECT_EQ(folded, 2u);
    EXPECT_TRUE(folder.repeats("B", "map x"));
}

}  // namespace
