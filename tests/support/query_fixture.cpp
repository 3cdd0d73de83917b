#include "tests/support/query_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "storage/log.h"
#include "storage/settings.h"
#include "storage/strings.h"

namespace tavrel::test {

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

namespace {
const char* clockFile() {
    const char* path = std::getenv("TAVREL_CLOCK_FILE");
    EXPECT_NE(path, nullptr) << "the test binary sets TAVREL_CLOCK_FILE at start";
    return path;
}
}  // namespace

void setSimulatedOffsetSeconds(double seconds) {
    writeFile(clockFile(), std::to_string(static_cast<long long>(seconds * 1e7)) + "\n");
}

namespace {
// The simulated kernel's word that the clock is synchronised (set by a
// Correct, read by the own servers) goes with the test that set it: tests
// that share a clock file must not see each other's corrections.
void forgetSimulatedSyncState() {
    if (const char* path = clockFile()) std::remove((std::string(path) + ".sync").c_str());
}
}  // namespace

double simulatedOffsetSeconds() {
    const std::string text = readFile(clockFile());
    return text.empty() ? 0.0 : std::strtod(text.c_str(), nullptr) / 1e7;
}

platform::FileTime realNow() {
    const auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    const auto units = std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
    return platform::kFileTime1970 + static_cast<platform::FileTime>(units);
}

void QueryTest::SetUp() {
    resetProcessState(dir.path(), dir.path());
    ASSERT_TRUE(fillStringTable(defaultStringsFile(), stringTable(), kRequiredSlots));
    applyDefaults();
    setSimulatedOffsetSeconds(0);
    forgetSimulatedSyncState();
}

void QueryTest::TearDown() {
    setSimulatedOffsetSeconds(0);
    forgetSimulatedSyncState();
}

QueryTarget QueryTest::target(const std::string& server) {
    QueryTarget t;
    t.server = server;
    t.useTime = effectiveProtocol(Protocol::Sntp) == Protocol::Time;
    t.dateRangeEnabled = settings.dateRangeEnabled.load();
    t.dateRangeLow = settings.dateRangeLow.load();
    t.dateRangeHigh = settings.dateRangeHigh.load();
    return t;
}

QueryResult QueryTest::runQuery(const QueryTarget& target, bool abortWhenWaiting) {
    TimeQuery query(target, nullptr);
    if (abortWhenWaiting) {
        EXPECT_TRUE(waitUntil([&] { return query.step() >= QueryStep::WaitingForReply || query.finished(); }));
        query.abort();
    }
    EXPECT_TRUE(waitUntil([&] { return query.finished(); }));
    return query.result();
}

std::string QueryTest::log() { return readFile(dir.file(kLogFileName)); }

}  // namespace tavrel::test
