// The machine's events as the running engine meets them: its watcher sees
// the private namespace's addresses and routes come and go and the
// simulated clock's file rewritten, as it would see a laptop's network and
// another time program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "engine/supervisor.h"
#include "platform/system_events.h"
#include "platform/time.h"
#include "protocol/server_replies.h"
#include "storage/history.h"
#include "storage/settings.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/environment.h"
#include "tests/support/fake_time_servers.h"

namespace tavrel {
namespace {

using test::FakeSntpServer;
using test::Reply;
using namespace std::chrono_literals;

constexpr char kNoServerAnswered[] = "No server answered; next try in ";
constexpr char kNoNetwork[] = "No network; waiting for one";
constexpr char kSetElsewhere[] = "The clock was set by another program: ";

bool run(const std::string& command) { return std::system((command + " 2>/dev/null").c_str()) == 0; }

// An address on lo for the test's life.
class LoopbackAddress {
public:
    explicit LoopbackAddress(std::string cidr) : cidr_(std::move(cidr)) {}
    bool add() { return added_ = run("ip addr add " + cidr_ + " dev lo"); }
    ~LoopbackAddress() {
        if (added_) run("ip addr del " + cidr_ + " dev lo");
    }

private:
    std::string cidr_;
    bool added_ = false;
};

// The namespace's local route narrowed to 127.0.0.0/16, so that the rest
// of 127/8 has no route until an address is added there.
class NarrowLocalRoute {
public:
    NarrowLocalRoute() {
        narrowed_ = run("ip route add local 127.0.0.0/16 dev lo table local") &&
                    run("ip route del local 127.0.0.0/8 dev lo table local");
    }
    ~NarrowLocalRoute() {
        run("ip route add local 127.0.0.0/8 dev lo table local");
        run("ip route del local 127.0.0.0/16 dev lo table local");
    }
    bool narrowed() const { return narrowed_; }

private:
    bool narrowed_ = false;
};

class SystemEventsNet : public test::EngineTest {
protected:
    bool statusIs(const std::string& text) { return status() == text; }
    bool statusStarts(const std::string& text) { return status().rfind(text, 0) == 0; }
    size_t linesWith(const std::string& text) {
        const std::string all = log();
        size_t count = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
        return count;
    }
};

TEST_F(SystemEventsNet, ANewAddressEndsTheWalksPause) {
    if (test::runningUnderWine()) GTEST_SKIP() << "addresses are added with Linux's ip in the namespace";
    // The one listed server is silent at first: nobody serves at its address.
    listServers({"127.0.0.9"});
    engine->start();
    ASSERT_TRUE(engine->requestOperation(OperationKind::Check));
    ASSERT_TRUE(test::waitUntil([&] { return statusStarts(kNoServerAnswered); }, 20s)) << status();

    FakeSntpServer server(Reply::Correct, 0, 0, test::listenAt(0x7F000009));
    ASSERT_TRUE(server.listening());
    LoopbackAddress address("127.0.0.9/8");
    ASSERT_TRUE(address.add());
    // The pause is 30 s; the new address brings the next round well before.
    EXPECT_TRUE(test::waitUntil([&] { return !engine->busy(); }, 15s)) << status();
    EXPECT_GE(server.requests(), 1);
    EXPECT_TRUE(status().starts_with("Time Checked")) << status();
}

TEST_F(SystemEventsNet, WithoutARouteNothingIsTriedUntilAnAddressComes) {
    if (test::runningUnderWine()) GTEST_SKIP() << "addresses are added with Linux's ip in the namespace";
    NarrowLocalRoute narrow;
    ASSERT_TRUE(narrow.narrowed());
    ASSERT_FALSE(platform::routeExists("127.77.0.9"));
    ASSERT_TRUE(platform::routeExists("127.0.0.1"));
    listServers({"127.77.0.9"});
    engine->start();
    ASSERT_TRUE(engine->requestOperation(OperationKind::Check));
    ASSERT_TRUE(test::waitUntil([&] { return statusIs(kNoNetwork); }, 20s)) << status();

    // Its address comes; still nobody serves there: the walk tries at
    // once, and its next pause is the first round's again.
    LoopbackAddress address("127.77.0.9/16");
    ASSERT_TRUE(address.add());
    ASSERT_TRUE(test::waitUntil([&] { return statusStarts(kNoServerAnswered); }, 15s)) << status();
    EXPECT_EQ(status(), std::string(kNoServerAnswered) + "30 Scs");
    engine->requestAbort();
}

TEST_F(SystemEventsNet, AWakeMakesTheServiceCorrectAgain) {
    FakeSntpServer server(Reply::Correct, 2000);
    makeEngine(true);
    engine->start();
    platform::raiseSystemEvent(platform::SystemEvent{platform::SystemEventKind::Resumed});
    ASSERT_TRUE(test::waitUntil([&] {
        for (const HistoryEntry& row : readHistory()) {
            if (row.action == "Correct" && row.outcome == "Corrected") return true;
        }
        return false;
    }));
    EXPECT_GE(server.requests(), 1);
}

TEST_F(SystemEventsNet, AnotherProgramsStepIsNoticedAndTheOwnIsNot) {
    if (test::runningUnderWine()) GTEST_SKIP() << "Tavrel.exe hears of a step by WM_TIMECHANGE; nothing watches the simulated clock's file there";
    // A Correct of this program's own steps the clock 20 s: not another's.
    FakeSntpServer server(Reply::Correct, 20'000);
    settings.slewDisabled.store(true);
    engine->start();
    ASSERT_TRUE(engine->requestOperation(OperationKind::Correct));
    ASSERT_TRUE(test::waitUntil([&] { return !engine->busy(); }));
    ASSERT_NEAR(test::simulatedOffsetSeconds(), 20.0, 1.0);
    ClockStanding standing = engine->clockStanding();
    ASSERT_NE(standing.lastSync, 0u);
    ASSERT_TRUE(servedClockAt(standing, platform::getSystemTimeAsFileTime()).synchronised);

    // Another program moves it on an hour and a fifth of a second, as such
    // a program writes the simulated clock's file.
    test::setSimulatedOffsetSeconds(test::simulatedOffsetSeconds() + 3600.2);
    ASSERT_TRUE(test::waitUntil([&] { return linesWith(kSetElsewhere) > 0; })) << log();
    EXPECT_EQ(linesWith(kSetElsewhere), 1u) << log();
    EXPECT_EQ(linesWith(std::string(kSetElsewhere) + "+3600.2 s"), 1u) << log();
    bool kept = false;
    for (const HistoryEntry& row : readHistory()) {
        if (row.action == "Other program" && row.outcome == "Clock set" && row.changeSeconds &&
            *row.changeSeconds > 3600.1 && *row.changeSeconds < 3600.3) {
            kept = true;
        }
    }
    EXPECT_TRUE(kept);

    // The served clock is no longer synchronised: stratum 16, leap 3.
    ASSERT_TRUE(test::waitUntil([&] { return engine->clockStanding().lastSync == 0; }));
    uint8_t packet[kSntpPacketSize] = {0x23};  // version 4, client
    const platform::FileTime now = platform::getSystemTimeAsFileTime();
    buildSntpReply(packet, now, now, servedClockAt(engine->clockStanding(), now));
    EXPECT_EQ(packet[1], 16);
    EXPECT_EQ(packet[0] >> 6, 3);
}

}  // namespace
}  // namespace tavrel
