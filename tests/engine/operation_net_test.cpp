#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "engine/supervisor.h"
#include "platform/clock_file.h"
#include "platform/nts_crypto.h"
#include "servers/server_list.h"
#include "storage/history.h"
#include "storage/settings.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/environment.h"
#include "tests/support/fake_time_servers.h"
#include "tests/support/temp_dir.h"
#include "timeservice/time_servers.h"

namespace tavrel {
namespace {

using test::FakeSntpServer;
using test::FakeTimeServer;
using test::Journal;
using test::Listen;
using test::Reply;

constexpr uint32_t kSecondLoopback = 0x7F000002;
constexpr uint32_t kThirdLoopback = 0x7F000003;

bool contains(const std::vector<std::string>& texts, const std::string& prefix) {
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.starts_with(prefix); });
}

// The figure of a result text ("... by 299.99871 Scs ...").
double figureAfter(const std::string& text, const std::string& lead) {
    const size_t at = text.find(lead);
    return at == std::string::npos ? 0.0 : std::strtod(text.c_str() + at + lead.size(), nullptr);
}

// The history's rows in the order the file holds them (readHistory sorts
// them by time).
std::vector<HistoryEntry> rowsAsWritten(const std::string& path) {
    std::vector<HistoryEntry> rows;
    const std::string text = test::readFile(path);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view line = std::string_view(text).substr(start, end - start);
        if (line.ends_with('\r')) line.remove_suffix(1);
        HistoryEntry entry;
        if (parseHistoryRow(line, entry)) rows.push_back(entry);
        start = end + 1;
    }
    return rows;
}

class Operation : public test::EngineTest {
protected:
    void start(OperationKind kind) { ASSERT_TRUE(engine->requestOperation(kind)); }
};

// Every Check, Correct and automatic run leaves a row in the clock's
// history: who was asked, how, the offset measured and the round trip.
TEST_F(Operation, EveryRunLeavesARowInTheHistory) {
    FakeSntpServer server(Reply::Correct);
    settings.protocol.store(Protocol::Sntp);
    test::setSimulatedOffsetSeconds(-300);  // the server is 300 s ahead
    start(OperationKind::Check);
    ASSERT_TRUE(runToEnd());
    start(OperationKind::Correct);
    ASSERT_TRUE(runToEnd());
    ASSERT_TRUE(engine->requestAutoOperation(false));
    ASSERT_TRUE(runToEnd());
    EXPECT_TRUE(test::readFile(dir.file(kHistoryFileName)).starts_with(std::string(kHistoryHeader) + "\r\n"));
    const std::vector<HistoryEntry> rows = readHistory();
    ASSERT_EQ(rows.size(), 3u);
    const char* actions[] = {"Check", "Correct", "AutoCheck"};
    const char* outcomes[] = {"Checked", "Corrected", "Checked"};
    const double offsets[] = {300, 300, 0};
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].action, actions[i]);
        EXPECT_EQ(rows[i].outcome, outcomes[i]);
        EXPECT_EQ(rows[i].server, "127.0.0.1");
        EXPECT_EQ(rows[i].address, "127.0.0.1");
        EXPECT_EQ(rows[i].protocol, "SNTP");
        ASSERT_TRUE(rows[i].offsetSeconds.has_value());
        EXPECT_NEAR(*rows[i].offsetSeconds, offsets[i], 0.05);
        EXPECT_TRUE(rows[i].roundTripMs.has_value());
    }
}

TEST_F(Operation, CheckBySntpShowsEveryStepAndTheExactDifference) {
    FakeSntpServer server(Reply::Correct);
    settings.protocol.store(Protocol::Sntp);
    test::setSimulatedOffsetSeconds(-300);  // the server is 300 s ahead
    start(OperationKind::Check);
    engine->runPass();
    EXPECT_TRUE(view.busy());
    EXPECT_EQ(engine->refreshPeriod(), kRefreshOperationMs);
    ASSERT_TRUE(runToEnd());

    const std::vector<std::string> texts = statusTexts();
    const std::vector<std::string> expected = {"Initialising...", "Creating Socket...",
                                               "Looking for server at 127.0.0.1",
                                               "Waiting for reply from 127.0.0.1", "Converting..."};
    ASSERT_GE(texts.size(), expected.size() + 1);
    EXPECT_EQ(std::vector<std::string>(texts.end() - 6, texts.end() - 1), expected);
    EXPECT_TRUE(texts.back().starts_with("Time Checked, Difference found as ")) << texts.back();
    // Not 0.12% short of the true difference.
    EXPECT_NEAR(figureAfter(texts.back(), " as "), 300, 0.05) << texts.back();
    EXPECT_NEAR(test::simulatedOffsetSeconds(), -300, 1e-6);
    EXPECT_EQ(view.serverName(), "127.0.0.1");
    EXPECT_FALSE(view.busy());
    EXPECT_EQ(engine->refreshPeriod(), kRefreshShownMs);
}

TEST_F(Operation, CorrectBySntpSetsTheClockAndShowsTheChangeMade) {
    FakeSntpServer server(Reply::Correct);
    settings.protocol.store(Protocol::Sntp);
    settings.dateRangeEnabled.store(true);
    settings.dateRangeAutoReset.store(true);
    test::setSimulatedOffsetSeconds(-90);
    start(OperationKind::Correct);
    ASSERT_TRUE(runToEnd());
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.02);
    const std::string shown = status();
    ASSERT_TRUE(shown.starts_with("Time Corrected by ")) << shown;
    EXPECT_NEAR(figureAfter(shown, " by "), 90, 0.05) << shown;
    EXPECT_TRUE(shown.ends_with(" ms")) << shown;
}

TEST_F(Operation, CheckAndCorrectByTime) {
    FakeTimeServer server(Reply::Correct);
    settings.protocol.store(Protocol::Time);
    test::setSimulatedOffsetSeconds(30);
    start(OperationKind::Check);
    ASSERT_TRUE(runToEnd());
    EXPECT_TRUE(status().starts_with("Time Checked, Difference found  in ")) << status();
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 30, 1e-6);
    start(OperationKind::Correct);
    ASSERT_TRUE(runToEnd());
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 1.1);
    EXPECT_TRUE(status().starts_with("Time Corrected in ")) << status();
    EXPECT_EQ(server.connections(), 2);
}

TEST_F(Operation, AutoFallsBackThroughProtocolsAndServers) {
    if (test::runningUnderWine()) GTEST_SKIP() << "under Wine a UDP port bound on 127.0.0.1 is held on 127.0.0.2 too";
    Journal journal;
    FakeSntpServer sntpA(Reply::Silent, 0, 0, Listen{0x7F000001, &journal, "A"});
    FakeTimeServer timeA(Reply::Silent, 0, 0, Listen{0x7F000001, &journal, "A"});
    FakeSntpServer sntpB(Reply::Silent, 0, 0, Listen{kSecondLoopback, &journal, "B"});
    FakeTimeServer timeB(Reply::Silent, 0, 0, Listen{kSecondLoopback, &journal, "B"});
    listServers({"127.0.0.1", "127.0.0.2"});
    settings.protocol.store(Protocol::Auto);
    start(OperationKind::Check);
    ASSERT_TRUE(runPassesUntil([&] { return journal.runs().size() >= 5; }));
    engine->requestAbort();
    engine->runPass();
    size_t longest = 0;
    const std::vector<std::string> asked = journal.runs(&longest);
    EXPECT_EQ(std::vector<std::string>(asked.begin(), asked.begin() + 5),
              (std::vector<std::string>{"A-SNTP", "A-TIME", "B-SNTP", "B-TIME", "A-SNTP"}));
    EXPECT_LE(longest, 4u);  // never more than four SNTP requests to a silent server at a time
    const std::vector<std::string> texts = statusTexts();
    EXPECT_TRUE(contains(texts, "Time out on127.0.0.1"));
    EXPECT_TRUE(contains(texts, "Unable to sync from 127.0.0.1"));
    EXPECT_TRUE(contains(texts, "Unable to sync from 127.0.0.2"));
    EXPECT_EQ(status(), "Aborting...");
    EXPECT_FALSE(engine->busy());
}

TEST_F(Operation, ManualAddressTimingOutEndsTheOperation) {
    FakeTimeServer server(Reply::Silent);
    settings.protocol.store(Protocol::Time);
    settings.serverSource.store(ServerSource::ManualA);
    setManualAddressA("127.0.0.1");
    start(OperationKind::Correct);
    ASSERT_TRUE(runToEnd());
    const std::vector<std::string> texts = statusTexts();
    const auto timeOut = std::find(texts.begin(), texts.end(), "Time out on127.0.0.1");
    ASSERT_NE(timeOut, texts.end());
    ASSERT_NE(timeOut + 1, texts.end());
    EXPECT_EQ(*(timeOut + 1), "Unable to sync from 127.0.0.1");
    EXPECT_EQ(server.connections(), 1);
    EXPECT_NE(log().find("No response from 127.0.0.1"), std::string::npos);
}

TEST_F(Operation, AveragingWithAManualAddressAsksItFourTimes) {
    FakeSntpServer server(Reply::Correct, 100'000);  // 100 s ahead
    settings.protocol.store(Protocol::Sntp);
    settings.serverSource.store(ServerSource::ManualA);
    setManualAddressA("127.0.0.1");
    settings.averageEnabled.store(true);
    start(OperationKind::Check);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(server.requests(), 4);
    EXPECT_NEAR(figureAfter(status(), " as "), 100, 0.05) << status();
}

TEST_F(Operation, EmptyListSwitchesToManualA) {
    FakeTimeServer server(Reply::Correct);
    settings.protocol.store(Protocol::Time);
    listServers({});
    ASSERT_EQ(refreshServerList([](int, std::string_view) {}), 0);
    setManualAddressA("127.0.0.1");
    start(OperationKind::Check);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(settings.serverSource.load(), ServerSource::ManualA);
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(Operation, RunningTimeServerKeepsTheIdleLook) {
    FakeTimeServer server(Reply::Correct);
    settings.protocol.store(Protocol::Time);
    settings.timeServerEnabled.store(true);
    start(OperationKind::Check);
    engine->runPass();
    EXPECT_FALSE(view.busy());
    ASSERT_TRUE(runToEnd());
}

TEST_F(Operation, ServiceShowsNothingAndStillLogs) {
    FakeTimeServer server(Reply::Correct);
    settings.protocol.store(Protocol::Time);
    test::setSimulatedOffsetSeconds(20);  // a change too large to slew
    makeEngine(true);
    start(OperationKind::Correct);
    ASSERT_TRUE(runToEnd());
    EXPECT_TRUE(statusTexts().empty());
    EXPECT_NE(log().find("Tavreled"), std::string::npos);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 1.1);
}

// Abort leaves nothing behind: the next Check waits for its own query
// instead of failing at once with a false "No response" (and never waits
// for a query whose time-out nobody counts).
TEST_F(Operation, CheckAfterAbortStartsClean) {
    FakeSntpServer server(Reply::Silent);
    settings.protocol.store(Protocol::Sntp);
    settings.defaultServerOnly.store(true);
    for (int round = 0; round < 3; ++round) {
        start(OperationKind::Check);
        ASSERT_TRUE(runPassesUntil([&] { return status().starts_with("Waiting for reply from"); }));
        engine->requestAbort();
        start(OperationKind::Check);
        view.clear();
        engine->runPass();
        engine->runPass();
        EXPECT_FALSE(contains(statusTexts(), "Unable to sync")) << "round " << round;
        EXPECT_TRUE(engine->busy());
        ASSERT_TRUE(runPassesUntil([&] { return status().starts_with("Waiting for reply from"); }));
        engine->requestAbort();
        engine->runPass();
    }
    EXPECT_EQ(log().find("No response"), std::string::npos) << log();
}

// What runs stays what it was started as: a Correct asked for (or an
// AutoSync due) while a Check walks the list does not turn it into one.
TEST_F(Operation, ACheckStaysACheckWhileItRuns) {
    FakeSntpServer server(Reply::Correct);
    listServers({"127.0.0.2", "127.0.0.1"});  // nobody answers at 127.0.0.2
    settings.protocol.store(Protocol::Sntp);
    test::setSimulatedOffsetSeconds(40);
    start(OperationKind::Check);
    ASSERT_TRUE(runPassesUntil([&] {
        if (!engine->busy()) return true;
        if (engine->requestOperation(OperationKind::Correct)) ADD_FAILURE() << "a second operation was taken";
        return false;
    }));
    EXPECT_TRUE(status().starts_with("Time Checked")) << status();
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 40, 1e-6);
}

// Auto starts every operation with SNTP, the better protocol: one SNTP
// failure does not leave later operations on TIME.
TEST_F(Operation, AutoStartsEveryOperationWithSntp) {
    settings.protocol.store(Protocol::Auto);
    {
        FakeTimeServer time(Reply::Correct);  // no SNTP server yet: refused at once
        start(OperationKind::Check);
        ASSERT_TRUE(runToEnd());
        EXPECT_TRUE(status().starts_with("Time Checked")) << status();
        EXPECT_EQ(time.connections(), 1);
    }
    FakeSntpServer sntp(Reply::Correct);
    FakeTimeServer time(Reply::Correct);
    start(OperationKind::Check);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(sntp.requests(), 4);  // four samples from a server that answers at once
    EXPECT_EQ(time.connections(), 0);
}

// A clock 200 ms fast is slewed back, not stepped: read at any later moment
// it never shows less than it did before the Correct, and it reaches the
// server's time when the slew's stated duration is over. A Check while the
// slew runs sees what is left of the difference.
TEST_F(Operation, ACorrectOfAClock200MsFastSlewsWithoutRunningBackwards) {
    FakeSntpServer server(Reply::Correct);
    settings.protocol.store(Protocol::Sntp);
    settings.logResponse.store(true);
    test::setSimulatedOffsetSeconds(0.2);
    const char* path = std::getenv("TAVREL_CLOCK_FILE");
    const platform::FileTime before = platform::getSystemTimeAsFileTime();
    const platform::FileTime realBefore = test::realNow();
    start(OperationKind::Correct);
    ASSERT_TRUE(runToEnd());
    const std::string text = log();
    // 0.2 s at 500 microseconds a second: 400 s, give or take the exchange.
    ASSERT_NE(text.find(" : Slewing over 40"), std::string::npos) << text;
    EXPECT_NEAR(figureAfter(text, " s, Time Corrected by - "), 0.2, 0.002) << text;
    EXPECT_EQ(text.find("Tavreled"), std::string::npos) << text;

    const platform::clock_file::SimulatedClock clock = platform::clock_file::readSimulatedClock(path);
    ASSERT_GT(clock.slewDuration, 0);
    EXPECT_NEAR(static_cast<double>(clock.slewDuration) / 1e7, 400, 1);
    const platform::FileTime end = clock.slewStart + static_cast<platform::FileTime>(clock.slewDuration);
    platform::FileTime last = before;
    for (platform::FileTime real = realBefore; real <= end + platform::kFileTimeUnitsPerSecond;
         real += platform::kFileTimeUnitsPerMs) {
        const platform::FileTime now = clock.reading(real);
        ASSERT_GE(now, last) << "at " << (real - realBefore) / platform::kFileTimeUnitsPerMs << " ms";
        last = now;
    }
    // The fake server keeps the real clock: at the end the clock is on it.
    EXPECT_NEAR(static_cast<double>(static_cast<int64_t>(clock.reading(end) - end)) / 1e7, 0, 0.001);

    // Half way through the slew (its start moved back), a Check reports the
    // 100 ms still to make up.
    test::writeFile(path, std::to_string(clock.offset) + " " + std::to_string(clock.slewAmount) + " " +
                              std::to_string(test::realNow() - static_cast<platform::FileTime>(clock.slewDuration / 2)) +
                              " " + std::to_string(clock.slewDuration) + "\n");
    start(OperationKind::Check);
    ASSERT_TRUE(runToEnd());
    EXPECT_NEAR(figureAfter(status(), " as - "), 0.1, 0.005) << status();  // "- 0.1": still that much fast
}

// Where the program has no NTS (Tavrel.exe for now), an nts:// entry fails
// with the reason in the log, and is never asked by SNTP or TIME instead.
TEST_F(Operation, AnNtsEntryWithoutNtsFailsWithItsReasonAndNothingElseIsAsked) {
    if (platform::ntsCryptoAvailable()) GTEST_SKIP() << "this build has NTS: the real-peer tests drive it";
    FakeSntpServer sntp(Reply::Correct);
    FakeTimeServer time(Reply::Correct);
    listServers({"nts://127.0.0.1"});
    settings.protocol.store(Protocol::Auto);
    settings.defaultServerOnly.store(true);
    test::setSimulatedOffsetSeconds(20);
    start(OperationKind::Correct);
    ASSERT_TRUE(runToEnd());
    EXPECT_NE(log().find("No response from nts://127.0.0.1 (NTS is not available in Tavrel.exe)"), std::string::npos)
        << log();
    EXPECT_EQ(sntp.requests(), 0);
    EXPECT_EQ(time.connections(), 0);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 20, 1e-6);
}

// A TIME reply is a whole second: the clock is set to its middle plus half
// the round trip, so the error is centred on zero instead of lying 0 to 1 s
// behind.
TEST_F(Operation, TimeReadingHasNoBias) {
    settings.protocol.store(Protocol::Time);
    for (int phase : {900, 100}) {
        FakeTimeServer server(Reply::AtPhase, 0, phase);
        test::setSimulatedOffsetSeconds(20);
        start(OperationKind::Correct);
        ASSERT_TRUE(runToEnd());
        EXPECT_LT(std::abs(test::simulatedOffsetSeconds()), 0.5) << "sent " << phase << " ms into its second";
    }
    // The history has the offset TIME measured and the change made.
    const std::vector<HistoryEntry> rows = readHistory();
    ASSERT_EQ(rows.size(), 2u);
    ASSERT_TRUE(rows[0].offsetSeconds.has_value());
    EXPECT_NEAR(*rows[0].offsetSeconds, -20, 0.6);
    ASSERT_TRUE(rows[0].changeSeconds.has_value());
    EXPECT_NEAR(*rows[0].changeSeconds, -20, 0.6);
}

// With this computer's clock 10 s fast, a Check, the Correct that puts the
// clock right and a later Check leave rows stamped with the server's time,
// in order, not a first row 10 s after the ones that follow. An SNTP
// stamp is good to half its exchange's round trip (and the file's whole
// milliseconds): the bounds allow that much.
TEST_F(Operation, HistoryRowsCarryTheServersTimeAndRunInOrder) {
    FakeSntpServer server(Reply::Correct);  // the real time
    settings.protocol.store(Protocol::Sntp);
    test::setSimulatedOffsetSeconds(10);
    const platform::FileTime before = test::realNow();
    for (const OperationKind kind : {OperationKind::Check, OperationKind::Correct, OperationKind::Check}) {
        start(kind);
        ASSERT_TRUE(runToEnd());
    }
    const platform::FileTime after = test::realNow();
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.02);

    const std::vector<HistoryEntry> rows = rowsAsWritten(dir.file(kHistoryFileName));
    ASSERT_EQ(rows.size(), 3u);
    const char* actions[] = {"Check", "Correct", "Check"};
    std::vector<platform::FileTime> margins;
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].action, actions[i]);
        ASSERT_TRUE(rows[i].roundTripMs.has_value());
        margins.push_back((*rows[i].roundTripMs / 2 + 1) * platform::kFileTimeUnitsPerMs);
        EXPECT_GE(rows[i].when + margins[i], before) << rows[i].action << " row " << i;
        EXPECT_LE(rows[i].when, after + margins[i]) << rows[i].action << " row " << i;
        if (i > 0) {
            EXPECT_GE(rows[i].when + margins[i] + margins[i - 1], rows[i - 1].when) << "row " << i;
        }
    }
}

// What Tavrel's own SNTP server says of this computer's clock, asked as
// another client asks it, with the engine's record of its last good
// correction or check behind it (the system's own view, the simulated
// clock's, says nothing).
QueryResult askOwnServer(const Engine& engine) {
    settings.timeServerEnabled.store(true);
    TimeServerOptions options;
    options.sink = [](const std::string&) {};
    options.limitClients = false;
    options.standing = [&engine] { return engine.clockStanding(); };
    options.localTimeService.stop = options.localTimeService.start = [](const std::string&) {};
    TimeServers servers;
    servers.start(options);
    QueryTarget target;
    target.server = "127.0.0.1";
    QueryResult result;
    // Until the server answers, one way or the other.
    EXPECT_TRUE(test::waitUntil([&] {
        TimeQuery query(target, nullptr);
        if (!test::waitUntil([&] { return query.finished(); })) return false;
        result = query.result();
        return result.accepted || !result.failure.empty();
    }));
    servers.stop();
    servers.join();
    settings.timeServerEnabled.store(false);
    return result;
}

constexpr uint32_t kSecond16 = 1u << 16;  // a second in the replies' 16.16 format

// A Check that finds the clock within a second of a good server's makes
// Tavrel's own server serve it as synchronised: stratum 2, with the
// Check's round trip as root delay and half of it (plus what TIME's whole
// seconds add) as dispersion, for a day from the Check. A Check that finds
// it further off, or a clock kept off the server's on purpose, leaves it
// unsynchronised, which clients refuse.
TEST_F(Operation, AGoodCheckMakesTheServedClockSynchronisedForADay) {
    if (test::runningUnderWine()) GTEST_SKIP() << "the own servers' tests run on Linux";
    // The source elsewhere than where the own server is asked from: a
    // server whose source is the asker is refused.
    listServers({"127.0.0.2"});
    settings.protocol.store(Protocol::Sntp);
    EXPECT_EQ(askOwnServer(*engine).failure, "server not synchronised");
    {
        FakeSntpServer server(Reply::Correct, 0, 0, test::listenAt(kSecondLoopback));
        test::setSimulatedOffsetSeconds(-3);
        start(OperationKind::Check);
        ASSERT_TRUE(runToEnd());
        test::setSimulatedOffsetSeconds(0.3);
        settings.offsetAmount.store(5);  // a fixed offset: the clock is kept off on purpose
        start(OperationKind::Check);
        ASSERT_TRUE(runToEnd());
        settings.offsetAmount.store(0);
    }
    EXPECT_EQ(askOwnServer(*engine).failure, "server not synchronised");

    {
        FakeSntpServer server(Reply::Correct, 0, 0, test::listenAt(kSecondLoopback));
        const platform::FileTime before = platform::getSystemTimeAsFileTime();
        start(OperationKind::Check);
        ASSERT_TRUE(runToEnd());
        const platform::FileTime after = platform::getSystemTimeAsFileTime();
        EXPECT_TRUE(status().starts_with("Time Checked")) << status();
        const ClockStanding standing = engine->clockStanding();
        EXPECT_GE(standing.lastSync, before);
        EXPECT_LE(standing.lastSync, after);
        // A day from the Check, and not longer.
        EXPECT_TRUE(servedClockAt(standing, standing.lastSync + kSynchronisedFor - platform::kFileTimeUnitsPerSecond)
                        .synchronised);
        EXPECT_FALSE(servedClockAt(standing, standing.lastSync + kSynchronisedFor + platform::kFileTimeUnitsPerSecond)
                         .synchronised);
    }
    const QueryResult served = askOwnServer(*engine);
    ASSERT_TRUE(served.accepted) << served.failure;
    EXPECT_EQ(served.stratum, 3);  // the fake server's 2, plus one
    const std::vector<HistoryEntry> rows = readHistory();
    ASSERT_FALSE(rows.empty());
    ASSERT_TRUE(rows.back().roundTripMs.has_value());
    ASSERT_TRUE(rows.back().offsetSeconds.has_value());
    const double roundTrip = static_cast<double>(*rows.back().roundTripMs) / 1000;
    EXPECT_NEAR(static_cast<double>(served.rootDelay) / kSecond16, roundTrip, 0.002);
    // The Check left the clock as it found it (0.3 s off): the dispersion
    // says so.
    EXPECT_NEAR(std::fabs(*rows.back().offsetSeconds), 0.3, 0.01);
    EXPECT_NEAR(static_cast<double>(served.rootDispersion) / kSecond16,
                std::fabs(*rows.back().offsetSeconds) + roundTrip / 2, 0.002);

    // By TIME: good to its whole second only.
    {
        FakeTimeServer server(Reply::Correct, 0, 0, test::listenAt(kSecondLoopback));
        settings.protocol.store(Protocol::Time);
        start(OperationKind::Check);
        ASSERT_TRUE(runToEnd());
        settings.protocol.store(Protocol::Sntp);
    }
    const QueryResult byTime = askOwnServer(*engine);
    ASSERT_TRUE(byTime.accepted) << byTime.failure;
    EXPECT_EQ(byTime.stratum, 2);  // TIME names no stratum: taken as 1
    const std::vector<HistoryEntry> timeRows = readHistory();
    ASSERT_TRUE(timeRows.back().offsetSeconds.has_value());
    const double found = std::fabs(*timeRows.back().offsetSeconds);
    EXPECT_GE(byTime.rootDispersion / double{kSecond16}, 1 + found - 0.001);
    EXPECT_LT(byTime.rootDispersion / double{kSecond16}, 1 + found + 0.1);
}

// A Correct makes the own server serve the clock as synchronised only when
// it set the clock, and then with the Correct's round trip as root delay
// (a server that answers 150 ms late, so that the round trip shows).
TEST_F(Operation, OnlyACorrectThatSetTheClockMakesTheServedClockSynchronised) {
    if (test::runningUnderWine()) GTEST_SKIP() << "the own servers' tests run on Linux";
    listServers({"127.0.0.2"});
    settings.protocol.store(Protocol::Sntp);
    {
        FakeSntpServer server(Reply::Late, 0, 150, test::listenAt(kSecondLoopback));
        test::TempDir folder;
        const test::ScopedEnv clock("TAVREL_CLOCK_FILE", folder.path().c_str());  // a folder cannot be rewritten as a file
        start(OperationKind::Correct);
        ASSERT_TRUE(runToEnd());
        EXPECT_EQ(status(), "Error setting Time Change Privileges");
    }
    EXPECT_EQ(askOwnServer(*engine).failure, "server not synchronised");

    {
        FakeSntpServer server(Reply::Late, 0, 150, test::listenAt(kSecondLoopback));
        test::setSimulatedOffsetSeconds(2);
        start(OperationKind::Correct);
        ASSERT_TRUE(runToEnd());
        EXPECT_LT(std::fabs(test::simulatedOffsetSeconds()), 0.5) << log();
    }
    const QueryResult served = askOwnServer(*engine);
    ASSERT_TRUE(served.accepted) << served.failure;
    EXPECT_EQ(served.stratum, 3);
    const std::vector<HistoryEntry> rows = readHistory();
    const auto corrected = std::find_if(rows.begin(), rows.end(), [](const HistoryEntry& r) { return r.outcome == "Corrected"; });
    ASSERT_NE(corrected, rows.end());
    ASSERT_TRUE(corrected->roundTripMs.has_value());
    const double roundTrip = static_cast<double>(*corrected->roundTripMs) / 1000;
    EXPECT_GE(roundTrip, 0.15);
    EXPECT_NEAR(static_cast<double>(served.rootDelay) / kSecond16, roundTrip, 0.002);
}

// Five servers, two of them liars (100 s and 10 s ahead): the three that
// agree decide, each liar is named in the log, and the leap second the
// honest ones announce goes to the system and is served back. Two liars
// among three servers win no majority: nothing is corrected.
TEST_F(Operation, AveragingNamesTheServersThatDisagree) {
    if (test::runningUnderWine()) GTEST_SKIP() << "the own servers' tests run on Linux";
    settings.protocol.store(Protocol::Sntp);
    settings.averageEnabled.store(true);
    {
        FakeSntpServer honest2(Reply::LeapInsert, 0, 0, test::listenAt(0x7F000002));
        FakeSntpServer liar3(Reply::Correct, 100'000, 0, test::listenAt(0x7F000003));
        FakeSntpServer honest4(Reply::LeapInsert, 0, 0, test::listenAt(0x7F000004));
        FakeSntpServer liar5(Reply::LeapInsert, 10'000, 0, test::listenAt(0x7F000005));
        FakeSntpServer honest6(Reply::Correct, 0, 0, test::listenAt(0x7F000006));
        listServers({"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6"});
        test::setSimulatedOffsetSeconds(-2);
        start(OperationKind::Correct);
        ASSERT_TRUE(runToEnd());
        EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.01) << log();
        const std::string text = log();
        EXPECT_NE(text.find("127.0.0.3 disagrees with the other 3 by +100.0 s; not used"), std::string::npos) << text;
        EXPECT_NE(text.find("127.0.0.5 disagrees with the other 3 by +10.0 s; not used"), std::string::npos) << text;
        EXPECT_EQ(text.find("disagrees with the other 3 by +0"), std::string::npos) << text;
        // Two of the three used announce a leap second: the system is told.
        EXPECT_EQ(platform::leapPending(), platform::LeapState::Insert);
    }
    const QueryResult served = askOwnServer(*engine);
    ASSERT_TRUE(served.accepted) << served.failure;
    EXPECT_EQ(served.leap, 1);

    {
        FakeSntpServer honest(Reply::Correct, 0, 0, test::listenAt(0x7F000002));
        FakeSntpServer liar3(Reply::Correct, 100'000, 0, test::listenAt(0x7F000003));
        FakeSntpServer liar4(Reply::Correct, -50'000, 0, test::listenAt(0x7F000004));
        listServers({"127.0.0.2", "127.0.0.3", "127.0.0.4"});
        settings.selectedServer.store(0);
        test::setSimulatedOffsetSeconds(-2);
        start(OperationKind::Correct);
        ASSERT_TRUE(runToEnd());
        EXPECT_NEAR(test::simulatedOffsetSeconds(), -2, 1e-6);
        EXPECT_EQ(status(), "Servers disagree; no majority, clock not corrected");
        EXPECT_NE(log().find("Servers disagree; no majority, clock not corrected"), std::string::npos);
        const std::vector<HistoryEntry> rows = readHistory();
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows.back().outcome, "Servers disagree");
        EXPECT_EQ(rows.back().server, "the 3 servers");
    }
}

// The walk on a network that fails at once: after each round of the list
// the walk pauses (30 s, doubling, at most 15 minutes); the first round logs
// each server, later rounds a line each; Abort ends the wait at once.
class PacedWalk : public Operation {
protected:
    static inline std::atomic<uint64_t> fakeTick{0};
    void SetUp() override {
        fakeTick.store(1'000'000);
        platform::setTickSource([] { return fakeTick.load(); });
        Operation::SetUp();
    }
    void TearDown() override {
        Operation::TearDown();
        platform::setTickSource(nullptr);
    }
    // Advances the engine's time second by second, a pass each.
    void runFor(uint64_t ms) {
        for (uint64_t t = 0; t < ms; t += 1000) {
            fakeTick.fetch_add(1000);
            engine->runPass();
            // A round that began runs to its end (its failures come at once).
            ASSERT_TRUE(runPassesUntil([&] { return !engine->busy() || engine->waitingForRound(); }));
        }
    }
    size_t count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
};

TEST_F(PacedWalk, RoundsPauseAndBackOff) {
    // Nothing listens on these: every TIME connection is refused at once.
    listServers({"127.0.0.2", "127.0.0.3", "127.0.0.4"});
    settings.protocol.store(Protocol::Time);
    start(OperationKind::Check);
    ASSERT_TRUE(runPassesUntil([&] { return status().starts_with("No server answered"); }));
    EXPECT_EQ(status(), "No server answered; next try in 30 Scs");
    EXPECT_EQ(count(log(), "No response from 127.0.0."), 3u) << log();
    EXPECT_EQ(readHistory().size(), 3u);

    // Ten minutes: rounds begin 30, 90, 210 and 450 s after the first.
    runFor(600'000);
    EXPECT_TRUE(engine->busy());
    const std::string text = log();
    EXPECT_EQ(count(text, "No response from 127.0.0."), 3u) << text;
    EXPECT_EQ(count(text, "No response from any of the 3 servers, round "), 4u) << text;
    EXPECT_NE(text.find("No response from any of the 3 servers, round 3; next try in 2 Mns"), std::string::npos)
        << text;
    const std::vector<HistoryEntry> rows = readHistory();
    EXPECT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows.back().server, "any of the 3 servers");
    // Failed tries keep the address asked.
    EXPECT_EQ(rows.front().address, "127.0.0.2");
    EXPECT_TRUE(status().starts_with("No server answered; next try in ")) << status();

    engine->requestAbort();
    engine->runPass();
    EXPECT_FALSE(engine->busy());
    EXPECT_EQ(status(), "Aborting...");
}

// A liar 20 years ahead, then one 20 years behind: the bound it misses is
// widened once in the operation however often it is asked, the other
// bound stays, and the clock is left alone.
TEST_F(PacedWalk, TheDateRangeHoldsAgainstALiar) {
    settings.protocol.store(Protocol::Sntp);
    settings.dateRangeEnabled.store(true);
    settings.dateRangeAutoReset.store(true);
    constexpr int64_t kTwentyYearsMs = 20LL * 365 * 86'400'000;
    for (const int64_t offsetMs : {kTwentyYearsMs, -kTwentyYearsMs}) {
        FakeSntpServer liar(Reply::Correct, offsetMs);
        resetDateRange();
        const uint32_t low = platform::upperWord(settings.dateRangeLow.load());
        const uint32_t high = platform::upperWord(settings.dateRangeHigh.load());
        start(OperationKind::Correct);
        ASSERT_TRUE(runPassesUntil([&] { return !engine->busy() || engine->waitingForRound(); }));
        runFor(20 * 60'000);
        EXPECT_TRUE(engine->busy());
        EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 1e-6);
        // Widened once in this operation; a later one may widen again.
        EXPECT_EQ(platform::upperWord(settings.dateRangeHigh.load()), offsetMs > 0 ? high + 1500 : high) << offsetMs;
        EXPECT_EQ(platform::upperWord(settings.dateRangeLow.load()), offsetMs < 0 ? low - 1500 : low) << offsetMs;
        EXPECT_EQ(liar.requests(), 6) << offsetMs;
        engine->requestAbort();
        ASSERT_TRUE(runPassesUntil([&] { return !engine->busy(); }));
    }
}

TEST_F(PacedWalk, RateKissMovesOnAndLeavesTheServerAloneFor15Minutes) {
    if (test::runningUnderWine()) GTEST_SKIP() << "under Wine a UDP port bound on 127.0.0.1 is held on 127.0.0.2 too";
    FakeSntpServer kisser(Reply::KissOfDeath);
    FakeTimeServer kisserTime(Reply::Correct);
    FakeSntpServer other(Reply::Correct, 0, 0, test::listenAt(kSecondLoopback));
    listServers({"127.0.0.1", "127.0.0.2"});
    settings.protocol.store(Protocol::Auto);
    start(OperationKind::Check);
    ASSERT_TRUE(runToEnd());
    EXPECT_TRUE(status().starts_with("Time Checked")) << status();
    EXPECT_NE(log().find("No response from 127.0.0.1 (refused: RATE)"), std::string::npos) << log();
    EXPECT_EQ(kisser.requests(), 1);
    EXPECT_EQ(kisserTime.connections(), 0);  // told to keep away: not asked by TIME either

    settings.selectedServer.store(0);
    fakeTick.fetch_add(14 * 60'000);
    start(OperationKind::Check);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(kisser.requests(), 1);
    EXPECT_EQ(other.requests(), 8);  // four samples in each of the two Checks

    settings.selectedServer.store(0);
    fakeTick.fetch_add(60'001);
    start(OperationKind::Check);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(kisser.requests(), 2);
}

// A kiss in the middle of a round: the walk goes on to the next server,
// never asks the kisser by TIME, and leaves only the kisser alone
// afterwards. RSTR keeps it away for the rest of the program's run, as
// DENY does; the server that failed before it and the one that answered
// after it are asked again by the next Check.
TEST_F(PacedWalk, ARestrictKissInTheMiddleOfARoundLeavesOnlyTheKisserAlone) {
    if (test::runningUnderWine()) GTEST_SKIP() << "under Wine a UDP port bound on 127.0.0.1 is held on 127.0.0.2 too";
    FakeSntpServer failing(Reply::Unsynchronised, 0, 0, test::listenAt(kSecondLoopback));
    FakeSntpServer kisser(Reply::KissRestrict);
    FakeTimeServer kisserTime(Reply::Correct);
    FakeSntpServer good(Reply::Correct, 0, 0, test::listenAt(kThirdLoopback));
    listServers({"127.0.0.2", "127.0.0.1", "127.0.0.3"});
    settings.protocol.store(Protocol::Auto);
    start(OperationKind::Check);
    ASSERT_TRUE(runToEnd());
    EXPECT_TRUE(status().starts_with("Time Checked")) << status();
    EXPECT_EQ(view.serverName(), "127.0.0.3");
    const std::string text = log();
    EXPECT_NE(text.find("No response from 127.0.0.2 (server not synchronised)"), std::string::npos) << text;
    EXPECT_NE(text.find("No response from 127.0.0.1 (refused: RSTR)"), std::string::npos) << text;
    EXPECT_EQ(kisser.requests(), 1);
    EXPECT_EQ(kisserTime.connections(), 0);
    EXPECT_EQ(failing.requests(), 1);
    EXPECT_EQ(good.requests(), 4);

    // A day later the kisser is still left alone; the others are not.
    settings.selectedServer.store(0);
    fakeTick.fetch_add(24ULL * 3'600'000);
    start(OperationKind::Check);
    ASSERT_TRUE(runToEnd());
    EXPECT_TRUE(status().starts_with("Time Checked")) << status();
    EXPECT_EQ(kisser.requests(), 1);
    EXPECT_EQ(kisserTime.connections(), 0);
    EXPECT_EQ(failing.requests(), 2);
    EXPECT_EQ(good.requests(), 8);
}

// A kiss from the last server of a round: the round ends, and the next
// round asks the other server again but not the kisser (RATE: still
// within its 15 minutes; DENY: for good).
TEST_F(PacedWalk, AKissFromTheLastServerOfARoundKeepsItOutOfTheNextRound) {
    if (test::runningUnderWine()) GTEST_SKIP() << "under Wine a UDP port bound on 127.0.0.1 is held on 127.0.0.2 too";
    listServers({"127.0.0.2", "127.0.0.1"});
    settings.protocol.store(Protocol::Sntp);
    for (const auto& [reply, code] : {std::pair{Reply::KissOfDeath, "RATE"}, std::pair{Reply::KissDeny, "DENY"}}) {
        makeEngine();
        settings.selectedServer.store(0);
        FakeSntpServer failing(Reply::Unsynchronised, 0, 0, test::listenAt(kSecondLoopback));
        FakeSntpServer kisser(reply);
        start(OperationKind::Check);
        ASSERT_TRUE(runPassesUntil([&] { return !engine->busy() || engine->waitingForRound(); })) << code;
        ASSERT_TRUE(engine->waitingForRound()) << code;
        EXPECT_NE(log().find(std::string("No response from 127.0.0.1 (refused: ") + code + ")"), std::string::npos)
            << log();
        EXPECT_EQ(failing.requests(), 1) << code;
        EXPECT_EQ(kisser.requests(), 1) << code;
        runFor(31'000);  // past the first pause: the second round has run
        EXPECT_TRUE(engine->busy()) << code;
        EXPECT_EQ(failing.requests(), 2) << code;
        EXPECT_EQ(kisser.requests(), 1) << code;
        engine->requestAbort();
        engine->runPass();
        EXPECT_FALSE(engine->busy()) << code;
    }
}

// A kiss whose code means nothing to Tavrel still refuses the reply, and
// the walk moves on without asking the server by TIME; nothing more is
// made of it: the server is asked again by the next Check.
TEST_F(PacedWalk, AnUnknownKissCodeFailsThatTryAlone) {
    if (test::runningUnderWine()) GTEST_SKIP() << "under Wine a UDP port bound on 127.0.0.1 is held on 127.0.0.2 too";
    FakeSntpServer kisser(Reply::KissUnknown);
    FakeTimeServer kisserTime(Reply::Correct);
    FakeSntpServer good(Reply::Correct, 0, 0, test::listenAt(kSecondLoopback));
    listServers({"127.0.0.1", "127.0.0.2"});
    settings.protocol.store(Protocol::Auto);
    for (int check = 1; check <= 2; ++check) {
        settings.selectedServer.store(0);
        start(OperationKind::Check);
        ASSERT_TRUE(runToEnd());
        EXPECT_TRUE(status().starts_with("Time Checked")) << status();
        EXPECT_EQ(kisser.requests(), check);
        EXPECT_EQ(good.requests(), 4 * check);
    }
    EXPECT_EQ(kisserTime.connections(), 0);
    EXPECT_NE(log().find("No response from 127.0.0.1 (refused: BUSY)"), std::string::npos) << log();
}

}  // namespace
}  // namespace tavrel
