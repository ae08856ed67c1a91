#pragma once
// The game result report: when a game of a private match ends, the plugin that
// created the match on the backend's order reports the map, the score, the winner and the players
// as one "game_result" message. Two triggers fire for one game (the match-ended hook and the
// post-game lobby); the last attempt's key lets only one of them through.
//
// Everything the report needs from other features comes in as parameters: plugin/ reads them
// when its timer runs and passes them here.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class GameWrapper;

namespace brevant {

// Hands the report's text on: empty when the session took it, else why not ("sem conexao").
using ResultSender = std::function<std::string(const std::string&)>;
using ResultLogger = std::function<void(const std::string&)>;

// One report, game thread only. Nothing without a game wrapper, unless paired and owned (the
// last attempt is then left as it was). Reads the scores and the map, then takes the duplicate
// key: a report with the same map and score as the last attempted one, less than 30 s of the
// monotonic clock after it, stops there. Otherwise it becomes the last attempt, even when the
// game turns out not to be a private match (then nothing is sent). Reads the players, sends the
// compact JSON text through `send` (when set) and logs "[BRV] game_result enviado: <winner>
// <blue>-<orange>" through `log` (when set) once the session took it, or that it was not sent
// and why. Errors of the
// game while reading scores or players are swallowed (the report goes out with what was read);
// text that is not valid UTF-8 is sent with U+FFFD in place of the bad bytes.
void reportGameResult(GameWrapper* gw, bool paired, bool owned, const std::string& server,
                      const std::string& deviceId, const std::string& version, std::int32_t region,
                      const ResultSender& send, const ResultLogger& log);

// A copy with every byte below 32 replaced by a space; other bytes (UTF-8 included) kept.
std::string sanitizeName(std::string text);
// "blue" for team 0, "orange" for any other number.
std::string teamName(int team);
// "blue" when blue scored more, "orange" when orange did, "draw" otherwise.
std::string winnerOf(std::int32_t blue, std::int32_t orange);

// A player's unique-id text as the report carries it.
struct ReportedId {
    std::string steamId;  // decimal; "0" unless the text is all digits
    std::string epicId;   // the whole text unless it is all digits; "" otherwise
};
// Non-empty and only the digits 0 to 9: its unsigned 64-bit value (leading zeros dropped, too
// large a value becomes 18446744073709551615) as steamId, epicId empty. Otherwise steamId "0"
// and the whole text as epicId.
ReportedId reportedId(const std::string& uniqueId);

// The duplicate key of a game: the map name's FNV-1a 64-bit hash (its low 32 bits) mixed with
// the two scores, sign-extended: ((blue << 16) ^ low32(hash)) ^ orange.
std::uint64_t resultKey(const std::string& map, std::int32_t blue, std::int32_t orange);

// The last report attempted: its key and when (steady-clock nanoseconds).
struct ResultAttempt {
    std::uint64_t key = 0;
    std::int64_t atNanos = 0;
};
// None until a report gets past the key step. Any thread.
std::optional<ResultAttempt> lastResultAttempt();
// No attempt yet, as at a first load.
void resetResultState();

}  // namespace brevant
