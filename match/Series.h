#pragma once
// The life of the series this client plays in, decided here and nowhere else:
//
//   none --create--> hosting --+
//   none --join----> joined  --+--> ended (10 s out of private matches, or a join addressed to
//   none --a peer names the        this device while hosting)
//          series on file
//          (after a load)--> joined
//
// A new create or join starts a new series from any phase; load and unload go back to none.
// Transitions run on the game thread, so that they take effect in the order the game does what
// the orders ask. Every guard (the watchdog, the post-game apply, the hand-off, the state and its
// request, the result, the replay's ownership, the join) asks one of the questions below, from
// any thread. `lobbyOwned` (MatchIdentity.h) says what hostingSeries() says.
#include <cstdint>
#include <string>

namespace brevant {

enum class SeriesPhase : std::uint8_t { None, Hosting, Joined, Ended };

// Out of private matches this long without a break, the series is over for this client. A match
// entered sooner cannot be told apart from the series' own: the game never says a match's name.
inline constexpr std::int64_t seriesEndsOutsideMs = 10'000;
// Time out of private matches counts once the game has been seen in the series' match. An order
// given while the game sat in a private match (the last series') may still see that match for a
// moment: a private match counts as the series' own once the game has been seen out of one since
// the order, or this long after it.
inline constexpr std::int64_t seriesOldMatchMs = 2'000;
// A series whose match the game was never seen in ends this long after its order.
inline constexpr std::int64_t seriesNeverEnteredMs = 60'000;

// Game thread. The create's match exists: this client hosts the series.
void beginHostingSeries();
// Game thread. A join order: this client plays in another's series.
void beginJoinedSeries();
// Game thread. After a load, a peer named the series on file while the game is in a private
// match: it goes on, as joined (a restarted host does not report results). False, and nothing
// changes, unless the phase is none. Logs one line.
bool resumeSeries(const std::string& server);
// Game thread. This client leaves the series; logs one line with the reason. Nothing when no
// series is on.
void endSeries(const std::string& why);
// Back to none with nothing observed: load and unload.
void resetSeries();

// Game thread: whether the game is in a private match now, as it says (the watchdog tells it every
// second, whatever the phase). Ends the series once the game, seen in the series' match, has been
// out for seriesEndsOutsideMs without a break, or was never seen in it seriesNeverEnteredMs after
// the order. Answers whether the game is in the series' own match: the series is on and the game
// is in a private match.
bool observeSeries(bool gameInPrivateMatch);

// Any thread.
SeriesPhase seriesPhase();
// Hosting or joined.
bool seriesOn();
bool hostingSeries();
bool seriesEnded();
// What the game said at the last observation: in a private match.
bool gameInPrivateMatchLastSeen();

}  // namespace brevant
