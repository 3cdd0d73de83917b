// The sync operation's walk through the server list, on its own: a host
// whose list entries all fail at once (names that give no address, so no
// query leaves the machine), passes driven from the test.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "engine/operation.h"
#include "platform/thread.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

class Walk : public ::testing::Test {
protected:
    static inline std::atomic<uint64_t> fakeTick{0};

    void SetUp() override {
        test::resetProcessState(dir.path(), dir.path());
        ASSERT_TRUE(fillStringTable(defaultStringsFile(), stringTable(), kRequiredSlots));
        applyDefaults();
        settings.protocol.store(Protocol::Auto);
        settings.dateRangeEnabled.store(false);
        fakeTick.store(1'000'000);
        platform::setTickSource([] { return fakeTick.load(); });
    }
    void TearDown() override {
        operation.reset();
        platform::setTickSource(nullptr);
    }

    // A list of `entries` servers, each a name without an address.
    void makeOperation(int entries) {
        OperationHost host{view,
                           false,
                           [this, entries](int n, std::string& name) {
                               if (n < 1 || n > entries) return false;
                               picked.push_back(n);
                               name.clear();
                               return true;
                           },
                           [] { return false; },
                           [this] { woken.set(); },
                           statusHold,
                           serverClock,
                           autoProtocolChoice,
                           {},
                           {},
                           {}};
        operation = std::make_unique<SyncOperation>(std::move(host));
    }

    // Passes until the operation ends or waits for its next round; the
    // selection after each pass that changed it.
    std::vector<int32_t> runRound() {
        std::vector<int32_t> selections{settings.selectedServer.load()};
        for (int i = 0; i < 10'000 && operation->running() && !operation->waitingForRound(); ++i) {
            operation->pass();
            if (settings.selectedServer.load() != selections.back()) selections.push_back(settings.selectedServer.load());
            woken.wait(5);
            woken.reset();
        }
        return selections;
    }

    size_t failuresLogged() {
        const std::string text = test::readFile(dir.file(kLogFileName));
        size_t n = 0;
        for (size_t at = text.find("No response from"); at != std::string::npos; at = text.find("No response from", at + 1)) ++n;
        return n;
    }

    test::TempDir dir;
    test::RecordingView view;
    platform::ManualResetEvent woken;
    uint32_t statusHold = 0;
    ServerClock serverClock;
    Protocol autoProtocolChoice = Protocol::Sntp;
    std::vector<int> picked;
    std::unique_ptr<SyncOperation> operation;
};

// From the selected server to the end of the list, on from its start, and
// back to where it began: a round, then a pause; the selection ends where
// the round began. No address means no TIME try either.
TEST_F(Walk, ARoundWrapsPastTheEndAndStopsWhereItBegan) {
    makeOperation(3);
    settings.selectedServer.store(1);
    operation->start(OperationKind::Check);
    EXPECT_EQ(runRound(), (std::vector<int32_t>{1, 2, 0, 1}));
    EXPECT_TRUE(operation->waitingForRound());
    EXPECT_EQ(failuresLogged(), 3u);
    EXPECT_EQ(view.status(), "No server answered; next try in 30 Scs");

    // The next round begins when its pause is over, from the same server.
    // The wait's text counts whole seconds up: with part of a second left
    // it never reads 0.
    fakeTick.fetch_add(28'500);
    operation->pass();
    EXPECT_EQ(view.status(), "No server answered; next try in 2 Scs");
    fakeTick.fetch_add(1'000);
    operation->pass();
    EXPECT_TRUE(operation->waitingForRound());
    EXPECT_EQ(view.status(), "No server answered; next try in 1 Scs");
    fakeTick.fetch_add(500);
    operation->pass();
    EXPECT_FALSE(operation->waitingForRound());
    EXPECT_EQ(runRound(), (std::vector<int32_t>{1, 2, 0, 1}));
    EXPECT_TRUE(operation->waitingForRound());
    EXPECT_EQ(view.status(), "No server answered; next try in 1 Mns");
    operation->abort();
    EXPECT_FALSE(operation->running());
}

TEST_F(Walk, DefaultServerOnlyAsksOneServerOnce) {
    makeOperation(3);
    settings.selectedServer.store(1);
    settings.defaultServerOnly.store(true);
    operation->start(OperationKind::Check);
    EXPECT_EQ(runRound(), (std::vector<int32_t>{1}));
    EXPECT_FALSE(operation->running());
    EXPECT_EQ(picked, (std::vector<int>{2}));
    EXPECT_EQ(failuresLogged(), 1u);
    EXPECT_EQ(view.status(), "Unable to sync from ");
}

// A list that shrank below the saved selection starts at its first entry.
TEST_F(Walk, ASelectionPastTheEndStartsAtTheFirstEntry) {
    makeOperation(2);
    settings.selectedServer.store(7);
    operation->start(OperationKind::Check);
    EXPECT_EQ(runRound(), (std::vector<int32_t>{0, 1, 0}));
    EXPECT_TRUE(operation->waitingForRound());
    EXPECT_EQ(failuresLogged(), 2u);
}

// Each round that finds no answer is followed by a pause twice as long as
// the one before, from 30 s, until it reaches 15 minutes; every later
// round waits 15 minutes. Each wait lasts as long as its text says: a
// second before its end it still says 1 s is left, and at its end the
// next round begins.
TEST_F(Walk, TheRoundPauseDoublesUntil15MinutesAndStaysThere) {
    makeOperation(2);
    settings.selectedServer.store(0);
    operation->start(OperationKind::Check);
    const std::vector<std::pair<uint64_t, std::string>> pauses = {
        {30'000, "30 Scs"}, {60'000, "1 Mns"},   {120'000, "2 Mns"},  {240'000, "4 Mns"},
        {480'000, "8 Mns"}, {900'000, "15 Mns"}, {900'000, "15 Mns"}, {900'000, "15 Mns"}};
    for (size_t round = 1; round <= pauses.size(); ++round) {
        const auto& [ms, text] = pauses[round - 1];
        runRound();
        ASSERT_TRUE(operation->waitingForRound()) << "round " << round;
        EXPECT_EQ(view.status(), "No server answered; next try in " + text) << "round " << round;
        if (round > 1) {
            const std::string line =
                "No response from any of the 2 servers, round " + std::to_string(round) + "; next try in " + text;
            EXPECT_NE(test::readFile(dir.file(kLogFileName)).find(line), std::string::npos) << line;
        }
        fakeTick.fetch_add(ms - 1'000);
        operation->pass();
        ASSERT_TRUE(operation->waitingForRound()) << "round " << round << " waited less than " << text;
        EXPECT_EQ(view.status(), "No server answered; next try in 1 Scs") << "round " << round;
        fakeTick.fetch_add(1'000);
        operation->pass();
        ASSERT_FALSE(operation->waitingForRound()) << "round " << round << " waited longer than " << text;
    }
    operation->abort();
    // The next operation backs off afresh.
    operation->start(OperationKind::Check);
    runRound();
    ASSERT_TRUE(operation->waitingForRound());
    EXPECT_EQ(view.status(), "No server answered; next try in 30 Scs");
    operation->abort();
}

// How far off a clock was, in the largest unit that fits, rounded to the
// nearest whole one: server minus this computer, so positive is behind.
TEST(ClockErrorText, TheLargestUnitThatFitsAndTheSide) {
    constexpr int64_t second = 10'000'000;
    constexpr int64_t day = 86'400 * second;
    constexpr int64_t year = 31'557'600 * second;  // 365.25 days
    EXPECT_EQ(clockErrorText(3 * year), "3 years behind");
    EXPECT_EQ(clockErrorText(-3 * year), "3 years ahead");
    EXPECT_EQ(clockErrorText(year + 100 * day), "1 year behind");
    EXPECT_EQ(clockErrorText(year + 200 * day), "2 years behind");
    EXPECT_EQ(clockErrorText(-(2 * day + 3600 * second)), "2 days ahead");
    EXPECT_EQ(clockErrorText(364 * day), "364 days behind");
    EXPECT_EQ(clockErrorText(90 * 60 * second), "2 hours behind");
    EXPECT_EQ(clockErrorText(-59 * 60 * second), "59 minutes ahead");
    EXPECT_EQ(clockErrorText(second), "1 second behind");
    EXPECT_EQ(clockErrorText(-second / 2), "less than a second ahead");
    EXPECT_EQ(clockErrorText(0), "less than a second behind");
    EXPECT_EQ(clockErrorText(INT64_MIN), "29227 years ahead");
}

TEST(MiddleOffset, OneLiarAmongThreeOrFourCannotMoveIt) {
    const int64_t liar = 1'000'000'000;  // 100 s
    for (const auto& offsets : std::vector<std::vector<int64_t>>{{liar, 10, 20}, {10, liar, 20}, {10, 20, liar}}) {
        EXPECT_EQ(middleOffset(offsets), 20);
    }
    EXPECT_EQ(middleOffset({liar, 10, 20, 30}), 25);
    EXPECT_EQ(middleOffset({-liar, 10, 20, 30}), 15);
    EXPECT_EQ(middleOffset({7}), 7);
    EXPECT_NEAR(static_cast<double>(middleOffset({INT64_MIN, INT64_MAX})), 0, 1);
    EXPECT_EQ(middleOffset({}), 0);
}

// Replies as intervals: the largest set with a point in common decides
// when it holds more than half of them, its middle offset is used, and
// the others are named as disagreeing.
TEST(AgreeingReplies, TheLargestOverlappingMajorityDecides) {
    constexpr int64_t ms = 10'000;
    constexpr int64_t s = 1000 * ms;
    // Five servers, one 100 s and one 10 s off, the honest three a few ms apart.
    const std::vector<OffsetInterval> five = {
        {100 * s, 5 * ms}, {2 * ms, 5 * ms}, {10 * s, 5 * ms}, {-1 * ms, 5 * ms}, {4 * ms, 5 * ms}};
    Agreement a = agreeingReplies(five);
    EXPECT_TRUE(a.majority);
    EXPECT_EQ(a.members, (std::vector<size_t>{1, 3, 4}));
    EXPECT_EQ(a.offset, 2 * ms);  // the middle of the three

    // Four with one liar: the three agree, their middle is used.
    a = agreeingReplies({{3 * ms, 2 * ms}, {-40 * s, 2 * ms}, {ms, 2 * ms}, {2 * ms, 2 * ms}});
    EXPECT_TRUE(a.majority);
    EXPECT_EQ(a.members, (std::vector<size_t>{0, 2, 3}));
    EXPECT_EQ(a.offset, 2 * ms);

    // Two against two, or all apart: no majority.
    EXPECT_FALSE(agreeingReplies({{0, ms}, {0, ms}, {s, ms}, {s, ms}}).majority);
    EXPECT_FALSE(agreeingReplies({{0, ms}, {s, ms}, {2 * s, ms}}).majority);
    EXPECT_FALSE(agreeingReplies({{0, ms}, {s, ms}}).majority);

    // Intervals that only touch agree; a unit further apart they do not.
    a = agreeingReplies({{0, 5 * ms}, {10 * ms, 5 * ms}, {s, ms}});
    EXPECT_TRUE(a.majority);
    EXPECT_EQ(a.members, (std::vector<size_t>{0, 1}));
    EXPECT_EQ(a.offset, 5 * ms);
    EXPECT_FALSE(agreeingReplies({{0, 5 * ms}, {10 * ms + 1, 5 * ms}, {s, ms}}).majority);

    // TIME's whole seconds: wide intervals agree with a precise reply
    // 0.8 s away, not with one 3 s away.
    a = agreeingReplies({{0, s + ms}, {8 * s / 10, ms}, {3 * s, ms}});
    EXPECT_TRUE(a.majority);
    EXPECT_EQ(a.members, (std::vector<size_t>{0, 1}));

    // One reply agrees with itself; none decides nothing.
    a = agreeingReplies({{7, 0}});
    EXPECT_TRUE(a.majority);
    EXPECT_EQ(a.offset, 7);
    EXPECT_FALSE(agreeingReplies({}).majority);
}

}  // namespace
}  // namespace tavrel
