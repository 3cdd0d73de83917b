// "Use authenticated servers only": with an nts:// entry in the list the
// walk of every kind of operation (and "/q") asks only nts:// entries, so a
// failing NTS server never hands the clock to the plain server below it;
// without one, or with the choice off, the plain server corrects as before.
// The NTS entry's key exchange port has nothing listening (and a build
// without NTS fails it at once): it always fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/quick_mode.h"
#include "engine/authenticated_only.h"
#include "engine/supervisor.h"
#include "storage/settings.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/environment.h"
#include "tests/support/fake_time_servers.h"

namespace tavrel {
namespace {

using test::FakeSntpServer;
using test::Reply;

constexpr char kDeadNtsEntry[] = "nts://127.0.0.1:9";
constexpr char kPlainEntry[] = "127.0.0.1";

class AuthenticatedOnly : public test::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        settings.protocol.store(Protocol::Sntp);
        settings.dateRangeEnabled.store(false);
        settings.syncTimeout.store(std::chrono::seconds(5));
        settings.logErrors.store(true);
        test::setSimulatedOffsetSeconds(20);
    }
    // Runs the operation until the walk has said why nothing was corrected,
    // then aborts it (the walk would wait for its next round).
    bool runUntilRefused() {
        const bool said = runPassesUntil([this] {
            for (const std::string& s : statusTexts()) {
                if (s == kNoAuthenticatedAnswer) return true;
            }
            return !engine->busy();
        });
        const bool refused = said && engine->busy();
        engine->requestAbort();
        (void)runToEnd();
        return refused;
    }
};

TEST_F(AuthenticatedOnly, EveryKindOfOperationLeavesThePlainServerAlone) {
    FakeSntpServer plain(Reply::Correct);
    listServers({kDeadNtsEntry, kPlainEntry});
    settings.authenticatedOnly.store(true);
    struct Run {
        const char* name;
        OperationKind kind;
        bool automatic;
        bool average;
    };
    for (const Run& run : {Run{"Correct", OperationKind::Correct, false, false},
                           Run{"Check", OperationKind::Check, false, false},
                           Run{"AutoSync", OperationKind::Correct, true, false},
                           Run{"Average", OperationKind::Correct, false, true}}) {
        SCOPED_TRACE(run.name);
        view.clear();
        settings.averageEnabled.store(run.average);
        ASSERT_TRUE(engine->requestOperation(run.kind, run.automatic));
        EXPECT_TRUE(runUntilRefused()) << log();
        EXPECT_EQ(plain.requests(), 0);
        EXPECT_NEAR(test::simulatedOffsetSeconds(), 20, 1e-6);
    }
    EXPECT_NE(log().find(kNoAuthenticatedAnswer), std::string::npos) << log();
    EXPECT_NE(log().find(std::string("No response from ") + kDeadNtsEntry), std::string::npos) << log();
    EXPECT_EQ(log().find(std::string("No response from ") + kPlainEntry), std::string::npos) << log();
}

// The walk starts at the selection: a plain entry selected is passed over
// too, and with "Default server only" nothing at all is asked.
TEST_F(AuthenticatedOnly, APlainEntrySelectedIsPassedOver) {
    FakeSntpServer plain(Reply::Correct);
    listServers({kDeadNtsEntry, kPlainEntry});
    settings.authenticatedOnly.store(true);
    settings.selectedServer.store(1);
    ASSERT_TRUE(engine->requestOperation(OperationKind::Correct));
    EXPECT_TRUE(runUntilRefused()) << log();
    EXPECT_NE(log().find(std::string("No response from ") + kDeadNtsEntry), std::string::npos) << log();

    settings.selectedServer.store(1);
    settings.defaultServerOnly.store(true);
    view.clear();
    ASSERT_TRUE(engine->requestOperation(OperationKind::Correct));
    ASSERT_TRUE(runToEnd());
    const std::vector<std::string> shown = statusTexts();
    EXPECT_NE(std::find(shown.begin(), shown.end(), kNoAuthenticatedAnswer), shown.end());
    EXPECT_EQ(plain.requests(), 0);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 20, 1e-6);
}

TEST_F(AuthenticatedOnly, OffOrWithoutAnNtsEntryThePlainServerCorrects) {
    FakeSntpServer plain(Reply::Correct);
    listServers({kDeadNtsEntry, kPlainEntry});
    settings.authenticatedOnly.store(false);
    ASSERT_TRUE(engine->requestOperation(OperationKind::Correct));
    ASSERT_TRUE(runToEnd());
    EXPECT_GT(plain.requests(), 0);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.05) << log();

    // On, but nothing to keep to: as off.
    test::setSimulatedOffsetSeconds(20);
    listServers({"127.0.0.9", kPlainEntry});
    settings.authenticatedOnly.store(true);
    settings.syncTimeout.store(std::chrono::seconds(1));
    ASSERT_TRUE(engine->requestOperation(OperationKind::Correct));
    ASSERT_TRUE(runToEnd());
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.05) << log();

    // A manual address is the user's own pick, not a list entry: asked.
    test::setSimulatedOffsetSeconds(20);
    listServers({kDeadNtsEntry});
    settings.serverSource.store(ServerSource::ManualA);
    setManualAddressA(kPlainEntry);
    ASSERT_TRUE(engine->requestOperation(OperationKind::Correct));
    ASSERT_TRUE(runToEnd());
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 0, 0.05) << log();
}

TEST_F(AuthenticatedOnly, QuickModeAsksOnlyTheNtsEntries) {
    FakeSntpServer plain(Reply::Correct);
    listServers({kPlainEntry, kDeadNtsEntry});
    settings.authenticatedOnly.store(true);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(runQuickMode(), kQuickNoAnswer);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(plain.requests(), 0);
    EXPECT_NEAR(test::simulatedOffsetSeconds(), 20, 1e-6);
    EXPECT_NE(said.find(kNoAuthenticatedAnswer), std::string::npos) << said;
    EXPECT_NE(said.find(std::string("Unable to sync from ") + kDeadNtsEntry + "\n"), std::string::npos) << said;
    EXPECT_NE(log().find(kNoAuthenticatedAnswer), std::string::npos) << log();

    settings.authenticatedOnly.store(false);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(runQuickMode(), kQuickCorrected);
    (void)::testing::internal::GetCapturedStderr();
    EXPECT_GT(plain.requests(), 0);
}

}  // namespace
}  // namespace tavrel
