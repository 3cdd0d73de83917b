#include "tests/support/engine_fixture.h"

#include "servers/server_list.h"
#include "storage/settings.h"

namespace tavrel::test {

void RecordingView::showStatus(std::string_view text) {
    std::lock_guard lock(mutex_);
    statuses_.emplace_back(text);
}
void RecordingView::showBusy(bool busy) {
    std::lock_guard lock(mutex_);
    busy_ = busy;
}
void RecordingView::showServerName(std::string_view name) {
    std::lock_guard lock(mutex_);
    serverName_ = name;
}
void RecordingView::showLocalClock(const platform::SystemTime&) {
    std::lock_guard lock(mutex_);
    ++localClockShown_;
}
void RecordingView::showServerClock(const platform::SystemTime& local) {
    std::lock_guard lock(mutex_);
    serverClocks_.push_back(local);
}
std::string RecordingView::statusSuffix() {
    std::lock_guard lock(mutex_);
    return suffix_;
}
void RecordingView::operationStarting() {}
void RecordingView::supervisorEnded() {
    std::lock_guard lock(mutex_);
    ended_ = true;
}
std::vector<std::string> RecordingView::statuses() const {
    std::lock_guard lock(mutex_);
    return statuses_;
}
std::string RecordingView::status() const {
    std::lock_guard lock(mutex_);
    return statuses_.empty() ? std::string() : statuses_.back();
}
bool RecordingView::busy() const {
    std::lock_guard lock(mutex_);
    return busy_;
}
std::string RecordingView::serverName() const {
    std::lock_guard lock(mutex_);
    return serverName_;
}
int RecordingView::localClockShown() const {
    std::lock_guard lock(mutex_);
    return localClockShown_;
}
std::vector<platform::SystemTime> RecordingView::serverClocks() const {
    std::lock_guard lock(mutex_);
    return serverClocks_;
}
bool RecordingView::ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
}
void RecordingView::setSuffix(std::string suffix) {
    std::lock_guard lock(mutex_);
    suffix_ = std::move(suffix);
}
void RecordingView::clear() {
    std::lock_guard lock(mutex_);
    statuses_.clear();
    serverClocks_.clear();
    localClockShown_ = 0;
}

void RecordingView::machineResumed() {
    std::lock_guard lock(mutex_);
    ++resumed_;
}

void RecordingView::clockSetElsewhere() {
    std::lock_guard lock(mutex_);
    ++clockSetElsewhere_;
}

int RecordingView::resumedCount() const {
    std::lock_guard lock(mutex_);
    return resumed_;
}

int RecordingView::clockSetElsewhereCount() const {
    std::lock_guard lock(mutex_);
    return clockSetElsewhere_;
}

void EngineTest::SetUp() {
    QueryTest::SetUp();
    settings.dateRangeEnabled.store(false);
    settings.syncTimeout.store(std::chrono::seconds(5));
    listServers({"127.0.0.1"});
    makeEngine();
}

void EngineTest::TearDown() {
    engine.reset();
    QueryTest::TearDown();
}

void EngineTest::makeEngine(bool service) {
    engine.reset();
    engine = std::make_unique<Engine>(view, EngineConfig{service, readServerEntry, serverListUnusable});
}

void EngineTest::listServers(const std::vector<std::string>& names) {
    std::string content;
    for (const auto& n : names) content += n + "\r\n";
    writeFile(dir.file(kServerFileName), content);
}

bool EngineTest::runPassesUntil(const std::function<bool()>& done, int maxPasses, uint32_t waitMs) {
    for (int i = 0; i < maxPasses; ++i) {
        if (done()) return true;
        engine->runPass();
        if (done()) return true;
        engine->wakeEvent().wait(waitMs);
        engine->wakeEvent().reset();
    }
    return done();
}

}  // namespace tavrel::test
