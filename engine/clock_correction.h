// Turns an accepted reply into a new clock value (user offset, minutes-only
// rule), sets the clock for a Correct or only reads the server's clock for a
// Check, and writes the operation's log line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/time_query.h"
#include "platform/time.h"
#include "protocol/server_replies.h"
#include "storage/settings.h"

namespace tavrel {

enum class CorrectionMode { Check, Correct };

// Added to the bound on the error the system is told after a Correct.
inline constexpr uint64_t kSystemErrorMarginUs = 1000;

// Seconds of SNTP offset beyond which the whole-second route is used.
inline constexpr int64_t kLargestSntpOffset = 1'500'000;

// What the result texts say of an exchange.
struct Difference {
    bool measured = false;  // an SNTP offset was measured: the texts carry a figure
    int64_t units = 0;      // the figure in FILETIME units: for a Correct the change made
    uint32_t responseMs = 0;
};

// Changes smaller than this (half a second) are slewed when slewing is on.
inline constexpr int64_t kLargestSlewUnits = 5'000'000;

struct Correction {
    bool clockSet = false;  // Correct: the clock was set
    uint64_t slewMs = 0;    // Correct: the clock slews for this long (0: it was stepped)
    Difference difference;
    // The server's clock to show from now on (a local time), as of the tick
    // count given; none when it is to run on from its old value.
    std::optional<platform::FileTime> serverClock;
    uint32_t serverClockTick = 0;
    // The outcome as the log words it ("Tavreled, ...", "Time Checked, ...",
    // "Error setting Time Change Privileges"); logged as the settings say.
    std::string outcome;
    // The same in full, the figure and the response time always included
    // (for the service's status line).
    std::string summary;
};

// How a Correct changes the clock: itself, or through the clock helper
// (a privileged copy of the program run through the elevator) when the
// process may not set the clock.
enum class ClockRoute { Direct, Helper };

// Whether a Correct may slew: as the settings say, or never (a run that
// ends at once must leave the clock right when it ends).
enum class SlewUse { AsSettingsSay, Never };

// Corrects or checks from an accepted reply. `sntp` tells which protocol
// answered; forceTimeProtocol is set when an SNTP offset is too large to be
// trusted, and is then honoured here and by the operation's later queries.
// Through the helper the call waits for it (and for the user to answer its
// prompt); a clock it did not set is said in the outcome with the reason.
Correction correctClock(CorrectionMode mode, const QueryResult& reply, bool sntp, bool& forceTimeProtocol,
                        std::string_view server, ClockRoute route = ClockRoute::Direct,
                        SlewUse slewUse = SlewUse::AsSettingsSay);

// As the program ends: a slew still running that the system would not
// carry on without the program is finished as a step of its rest, and the
// log says so ("Exit during a slew: stepped the 0.12345 s not yet slewed").
void finishSlewAtExit();

// The status and log text of a Correct whose clock helper did not set the
// clock: "Clock not set: " and the reason.
std::string clockNotSetText(const std::string& reason);

enum class DifferenceForm { Log = 0, Status = 1, Check = 2 };
// "Time Corrected by 0.12345 Scs in 120 ms" and its log and check forms.
std::string formatDifference(DifferenceForm form, const Difference& difference);

// A signed count of FILETIME units as the result texts write it: whole
// seconds, "." and five decimals, exact (cut, not rounded); a figure between
// -1 and 0 reads "- 0.xxxxx".
std::string formatSecondsFigure(int64_t units);

// The pieces of the computation, free of the clock and the settings.
// The whole-second route: the server's whole seconds plus the time since
// the reply, counted in milliseconds.
platform::FileTime wholeSecondClock(uint32_t wireSeconds, uint32_t msSinceReply);
// The user's fixed offset in FILETIME units (0..99 seconds, minutes or hours).
int64_t userOffsetUnits(uint32_t amount, OffsetUnit unit);
// Minutes and seconds only: the minute, second and millisecond of
// `corrected` in the clock's hour, the hour before or the hour after,
// whichever makes the smallest change.
platform::FileTime minorOnlyClock(platform::FileTime corrected, platform::FileTime now);

// The clock counts as synchronised now by the rule the own servers answer
// by: `standing` (the last good correction or check; none for a program
// that keeps none) with what the system says of the clock now.
bool clockKnownGood(ClockStanding standing);

// How far off a clock was by an offset (server minus this computer, 100 ns),
// in the largest unit that fits, rounded: "3 years behind", "2 days ahead",
// "less than a second behind".
std::string clockErrorText(int64_t offsetUnits);
// The log's line for a reply whose certificate was checked against its
// server's time, the clock being far off.
std::string certificateCheckedLine(int64_t offsetUnits);

}  // namespace tavrel
