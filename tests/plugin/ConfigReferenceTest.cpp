// The configuration reference (docs/configuration.md) against what the plugin registers: every
// console variable has its row with its default and whether it is saved, and every command has
// its row.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>

#include "net/Dispatcher.h"
#include "pairing/PairingState.h"
#include "plugin/MessageRoutes.h"
#include "tests/replays/ReplayFixture.h"
#include "tests/support/TestHost.h"

namespace {

using Kind = sdk::HostRuntime::ConsoleEvent::Kind;

// The cells after the first of each table row of the configuration reference whose first cell is
// a name in backticks; none when the page cannot be read.
std::map<std::string, std::vector<std::string>> referenceRows() {
    std::ifstream in(BREVANT_CONFIG_DOC);
    std::map<std::string, std::vector<std::string>> rows;
    const std::regex row(R"(^\| `([a-z_]+)` \|(.*)\|$)");
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (!std::regex_match(line, m, row))
            continue;
        std::vector<std::string> cells;
        std::string rest = m[2];
        for (std::size_t at = 0; at <= rest.size();) {
            const std::size_t bar = std::min(rest.find('|', at), rest.size());
            std::string cell = rest.substr(at, bar - at);
            cell.erase(0, cell.find_first_not_of(' '));
            cell.erase(cell.find_last_not_of(' ') + 1);
            cells.push_back(cell);
            at = bar + 1;
        }
        rows[m[1]] = cells;
    }
    return rows;
}

TEST(ConfigReference, EveryVariableAndCommandHasItsRowWithItsDefault) {
    testing_support::TestHost host;
    host.load();
    const auto rows = referenceRows();
    ASSERT_FALSE(rows.empty()) << "no rows read from " << BREVANT_CONFIG_DOC;
    int variables = 0, commands = 0;
    for (const auto& e : host.rt().consoleEvents()) {
        if (e.kind != Kind::Cvar && e.kind != Kind::Notifier)
            continue;
        const auto row = rows.find(e.text);
        ASSERT_NE(row, rows.end()) << e.text << " has no row in the configuration reference";
        if (e.kind == Kind::Notifier) {
            ++commands;
            continue;
        }
        ++variables;
        const auto cvar = host.rt().findCvar(e.text);
        const auto& cells = row->second;
        ASSERT_EQ(cells.size(), 3u) << e.text;
        // A default in backticks is the text registered; brv_deviceid's is the device's own.
        if (cells[0].front() == '`') {
            EXPECT_EQ(cells[0].substr(1, cells[0].find('`', 1) - 1), cvar->defaultValue) << e.text;
        }
        EXPECT_EQ(cells[2], cvar->saveToCfg ? "yes" : "no") << e.text;
    }
    EXPECT_GT(variables, 0);
    EXPECT_GT(commands, 0);
}

// What a row says a variable does is true: the plugin looks up every variable whose row gives an
// effect, somewhere along a load, a hosted game with its replay, a rank submission, an upload by
// hand and a status; and never one whose row says it is read by nothing.
class ConfigReads : public testing_support::ReplayFixture {};

TEST_F(ConfigReads, RowsReadByNothingAreNeverLookedUpAndEveryOtherIs) {
    load(true);
    ASSERT_TRUE(host->advanceWithSleeper(0));
    brevant::paired = true;
    brevant::dispatchMessage(R"({"t":"create","server":"S"})", brevant::messageRoutes());
    host->rt().runPosted();
    host->rt().executeCommand("game end 2 0 replay 3000");
    ASSERT_TRUE(host->advanceWithSleeper(2.0));
    host->rt().executeCommand("brv_rank");
    host->rt().executeCommand("brv_upload_last_replay");
    host->rt().executeCommand("brv_status");
    deliver();
    const auto lookups = host->rt().cvarLookups();
    int readByNothing = 0;
    for (const auto& [name, cells] : referenceRows()) {
        if (!host->rt().findCvar(name))
            continue;  // a command's row, or the backend's
        const auto it = lookups.find(name);
        const int count = it == lookups.end() ? 0 : it->second;
        if (cells.at(1).find("read by nothing") != std::string::npos) {
            ++readByNothing;
            EXPECT_EQ(count, 0) << name << " is said to be read by nothing";
        } else {
            EXPECT_GT(count, 0) << name << " is never looked up";
        }
    }
    EXPECT_EQ(readByNothing, 4);
}

}  // namespace
