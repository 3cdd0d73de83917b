// The sync operation's walk through the server list, on its own: a host
// whose list entries all fail at once (names that give no address, so no
// query leaves the machine), passes driven from the test.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
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
    fakeTick.fetch_add(29'000);
    operation->pass();
    EXPECT_TRUE(operation->waitingForRound());
    fakeTick.fetch_add(1'000);
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
