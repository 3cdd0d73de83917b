#include "app/service.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "app/saved_time.h"
#include "engine/clock_correction.h"
#include "engine/supervisor.h"
#include "platform/autostart.h"
#include "platform/process.h"
#include "platform/service_dispatcher.h"
#include "platform/service_manager.h"
#include "platform/thread.h"
#include "servers/server_list.h"
#include "storage/data_directory.h"
#include "storage/log.h"
#include "storage/metrics_file.h"
#include "storage/plain_text.h"
#include "storage/settings.h"
#include "timeservice/time_servers.h"
#include "timezone/time_zone.h"

namespace tavrel {

namespace {

constexpr char kServiceSwitch[] = "/x";
constexpr char kQuickSwitch[] = "/q";
// The logon entry is named after the program file: "Tavrel.exe" in the Run
// key, "tavrel.desktop" among the XDG autostart entries.
constexpr const char* kLogonEntryName = platform::kProgramFileName;
constexpr uint32_t kStartWaitHintMs = 3000;
constexpr uint32_t kStopWaitHintMs = 1000;
constexpr uint32_t kStopCheckMs = 500;
constexpr unsigned kStopChecks = 10;
constexpr uint32_t kStopBeforeRemoveMs = 1000;
constexpr char kOutcomeTimePicture[] = "HH':'mm";
constexpr uint32_t kMetricsEveryMs = 60'000;
// The service says it is ready (and so lets boot reach time-sync.target)
// once its first correction has ended, or after this long.
constexpr uint32_t kFirstCorrectionWaitMs = 30'000;
constexpr uint32_t kFirstCorrectionStepMs = 100;
constexpr uint32_t kStartProgressMs = 1000;
constexpr char kNotYetCorrected[] =
    "Clock not yet corrected: no server answered within 30 s; still trying";

// A line for the service manager's status; it may hold a server's name,
// so its control characters are escaped.
void reportStatusText(std::string_view text) { platform::reportServiceText(plainText(text)); }

// The service has no window: the engine's texts go nowhere.
class ServiceView final : public EngineView {
public:
    void showStatus(std::string_view) override {}
    void showBusy(bool) override {}
    // The service manager's status line carries the last outcome and when
    // it came ("systemctl status" shows it).
    void showOutcome(std::string_view text) override {
        reportStatusText(std::string(text) + " at " +
                         platform::formatTime(platform::getLocalTime(), kOutcomeTimePicture));
    }
    void showServerName(std::string_view) override {}
    void showLocalClock(const platform::SystemTime&) override {}
    void showServerClock(const platform::SystemTime&) override {}
    std::string statusSuffix() override { return std::string(); }
    void operationStarting() override { (void)refreshTimeZone(); }
    void supervisorEnded() override { servers.stop(); }
    // After each result the figures for a metrics collector are written
    // again, and once a minute besides (the servers' counts move on).
    // A good Correct or Check also keeps the time for the next start.
    void resultRecorded(const HistoryEntry& entry) override {
        if (entry.outcome == "Corrected" || entry.outcome == "Checked") savedTime.save();
        std::lock_guard lock(metricsMutex_);
        metrics_.record(entry);
        writeMetricsLocked();
    }
    void writeMetrics() {
        std::lock_guard lock(metricsMutex_);
        writeMetricsLocked();
    }

    TimeServers servers;
    SavedTimeKeeper savedTime;
    Engine* engine = nullptr;  // set before the engine starts

private:
    void writeMetricsLocked() {
        metrics_.servedTime = servers.served(ServedBy::Time);
        metrics_.servedSntp = servers.served(ServedBy::Sntp);
        if (engine != nullptr) {
            ClockStanding standing = engine->clockStanding();
            const platform::ClockSyncState system = platform::clockSyncState();
            standing.systemSynchronised = system.synchronised;
            standing.systemMaxErrorUs = system.maxErrorUs;
            metrics_.synchronised = servedClockAt(standing, platform::getSystemTimeAsFileTime()).synchronised;
        }
        (void)writeMetricsFile(metrics_);
    }
    std::mutex metricsMutex_;
    ClockMetrics metrics_;
};

std::string programPath() { return programFile(); }

// One run of the service process under the dispatcher: serviceMain on the
// service's thread, the control handler on the dispatcher's.
class ServiceRun {
public:
    void serviceMain();
    void controlHandler(bool stop);

private:
    // Set by the control handler when the stop comes; never reset, so a stop
    // that arrives while the service is still starting is not lost.
    platform::ManualResetEvent stopEvent_;
};

void ServiceRun::controlHandler(bool stop) {
    if (stop) {
        platform::reportServiceStatus(platform::ServiceState::StopPending, 0, 0);
        stopEvent_.set();
    } else {
        platform::reportServiceStatus(platform::ServiceState::Running, 0, 0);
    }
}

void ServiceRun::serviceMain() {
    platform::reportServiceStatus(platform::ServiceState::StartPending, kStartWaitHintMs, 0);
    serviceMode.store(1);
    echoLogToStandardError(true);
    // Before anything reads the clock for a sync or serves it.
    (void)stepForwardToSavedTime();
    ServiceView view;
    Engine engine(view, EngineConfig{true, readServerEntry, serverListUnusable});
    view.engine = &engine;
    engine.start();
    // The service's first act is a Correct, whatever the start action
    // says: it stands before time-sync.target, which boot must not reach
    // with a clock nobody checked. The walk keeps trying until a server
    // answers; AutoSync follows as set.
    (void)engine.requestOperation(OperationKind::Correct);
    // The servers' troubles (a port they cannot have) show in the service's status.
    if (settings.timeServerEnabled.load()) {
        TimeServerOptions options;
        options.trouble = [](std::string text) { reportStatusText(text); };
        options.standing = [&engine] { return engine.clockStanding(); };
        options.limitClients = rateLimitWanted();
        view.servers.start(std::move(options));
    }
    (void)refreshTimeZone();
    // Ready once the first correction has ended (or a stop came), at the
    // latest after 30 s, then with a status that says why.
    uint32_t waited = 0;
    uint32_t progress = 1;
    while (engine.busy() && waited < kFirstCorrectionWaitMs && !stopEvent_.wait(kFirstCorrectionStepMs)) {
        waited += kFirstCorrectionStepMs;
        if (waited % kStartProgressMs == 0) {
            platform::reportServiceStatus(platform::ServiceState::StartPending, kStartWaitHintMs, progress++);
        }
    }
    const bool corrected = !engine.busy();
    platform::reportServiceStatus(platform::ServiceState::Running, 0, 0);
    if (!corrected && !stopEvent_.isSet()) reportStatusText(kNotYetCorrected);

    view.writeMetrics();
    while (!stopEvent_.wait(kMetricsEveryMs)) {
        view.writeMetrics();
        view.savedTime.saveWhenDue();
    }
    engine.requestClose();
    engine.wake();
    for (unsigned i = 0; i < kStopChecks && !engine.ended(); ++i) {
        platform::reportServiceStatus(platform::ServiceState::StopPending, kStopWaitHintMs, i);
        platform::sleepMs(kStopCheckMs);
    }
    // The servers were asked to stop with the engine; once they have, the
    // log gets what they served since its last summary.
    view.servers.join();
    // A slew the system would drop with the process is finished first, so
    // that the time kept is the clock's as it is left.
    finishSlewAtExit();
    view.savedTime.save();
    platform::reportServiceStatus(platform::ServiceState::Stopped, 0, 0);
}

}  // namespace

void queryService() {
    bool installed = false;
    bool running = false;
    if (!platform::queryService(kServiceName, installed, running)) return;
    serviceInstalled.store(installed ? 1 : 0);
    serviceRunning.store(running ? 1 : 0);
}

std::string installService() {
    return platform::installService(
        platform::ServiceIdentity{kServiceName, kServiceDisplayName, kServiceDescription, programPath(), kServiceSwitch});
}

void uninstallService() {
    if (serviceRunning.load() != 0) {
        stopService();
        platform::sleepMs(kStopBeforeRemoveMs);
    }
    platform::uninstallService(kServiceName);
}

void startService() { platform::startService(kServiceName); }
void stopService() { platform::stopService(kServiceName); }

void runServiceProcess() {
    ServiceRun run;
    if (!platform::startedByServiceManager() && platform::kServiceRunsByHand[0] != '\0') {
        // Started from a shell: it runs all the same, and says so.
        std::fprintf(stderr, "%s\n", platform::kServiceRunsByHand);
    }
    (void)platform::runServiceDispatcher([&run] { run.serviceMain(); }, [&run](bool stop) { run.controlHandler(stop); },
                                         true);
}

void removeServiceSwitch() {
    queryService();
    if (serviceInstalled.load() != 0) uninstallService();
}

void registerWindowsStart() {
    const WindowsStartAction action = settings.windowsStartAction.load();
    if (action == WindowsStartAction::None) {
        platform::removeLogonStart(kLogonEntryName);
    } else {
        const bool quick = action == WindowsStartAction::SyncAndExit;
        platform::setLogonStart(kLogonEntryName, programPath(), quick ? kQuickSwitch : "", !quick);
    }
}

}  // namespace tavrel
