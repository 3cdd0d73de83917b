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

}  // namespace
}  // namespace tavrel
