// An engine whose view records what it was told to show, with its passes
// driven from the test thread (or its supervisor thread started by the test).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/supervisor.h"
#include "tests/support/query_fixture.h"

namespace tavrel::test {

class RecordingView final : public EngineView {
public:
    void showStatus(std::string_view text) override;
    void showBusy(bool busy) override;
    void showServerName(std::string_view name) override;
    void showLocalClock(const platform::SystemTime& local) override;
    void showServerClock(const platform::SystemTime& local) override;
    std::string statusSuffix() override;
    void operationStarting() override;
    void supervisorEnded() override;
    void machineResumed() override;
    void clockSetElsewhere() override;

    std::vector<std::string> statuses() const;
    std::string status() const;
    bool busy() const;
    std::string serverName() const;
    int localClockShown() const;
    std::vector<platform::SystemTime> serverClocks() const;
    bool ended() const;
    // How often the engine told of a wake and of a clock set elsewhere.
    int resumedCount() const;
    int clockSetElsewhereCount() const;
    void setSuffix(std::string suffix);
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> statuses_;
    bool busy_ = false;
    std::string serverName_;
    int localClockShown_ = 0;
    std::vector<platform::SystemTime> serverClocks_;
    bool ended_ = false;
    std::string suffix_;
    int resumed_ = 0;
    int clockSetElsewhere_ = 0;
};

class EngineTest : public QueryTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // A fresh engine (the window program's unless service).
    void makeEngine(bool service = false);
    // Writes the server list.
    void listServers(const std::vector<std::string>& names);
    // Runs passes on this thread until `done` holds (or the bound of passes
    // is reached), each followed by a wait of at most waitMs on the engine's
    // wake-up; true when done held.
    bool runPassesUntil(const std::function<bool()>& done, int maxPasses = 20000, uint32_t waitMs = 5);
    bool runToEnd() { return runPassesUntil([this] { return !engine->busy(); }); }
    std::vector<std::string> statusTexts() const { return view.statuses(); }
    std::string status() const { return view.status(); }

    RecordingView view;
    std::unique_ptr<Engine> engine;
};

}  // namespace tavrel::test
