// What the host program prints for a text of the plugin's or the backend's.
#include "host/ConsoleText.h"

#include <gtest/gtest.h>

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

}  // namespace
