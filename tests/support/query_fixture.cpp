#include "tests/support/query_fixture.h"

#include <cstdlib>
#include <thread>

#include "engine/clock_correction.h"
#include "engine/operation.h"
#include "engine/time_query.h"
#include "platform/file.h"
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

double simulatedOffsetSeconds() {
    const std::string text = readFile(clockFile());
    return text.empty() ? 0.0 : std::strtod(text.c_str(), nullptr) / 1e7;
}

void QueryTest::SetUp() {
    resetProcessState(dir.path(), dir.path());
    resetQueryState();
    ASSERT_TRUE(fillStringTable(defaultStringsFile(), stringTable(), kRequiredSlots));
    applyDefaults();
    setSimulatedOffsetSeconds(0);
    syncState.store(kSyncIdle);
    correctMode.store(0);
    serverClockRunning.store(0);
}

void QueryTest::TearDown() {
    waitForQueryThread();
    syncState.store(kSyncIdle);
    setSimulatedOffsetSeconds(0);
}

bool QueryTest::runQuery(bool abortWhenWaiting) {
    syncState.store(kSyncActive);
    startTimeQuery();
    if (abortWhenWaiting) {
        EXPECT_TRUE(waitUntil([] { return queryStep.load() >= 4 || queryThread.load() == 0; }));
        abortRunningQuery();
    }
    waitForQueryThread();
    syncState.store(kSyncIdle);
    return queryStep.load() == 6 && queryFailed.load() == 0;
}

std::string QueryTest::log() { return readFile(dir.file(kLogFileName)); }

}  // namespace tavrel::test
