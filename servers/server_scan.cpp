#include "servers/server_scan.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <ratio>
#include <string>
#include <vector>

#include "engine/time_query.h"
#include "resources/dialogs.h"
#include "servers/server_list.h"
#include "storage/history.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "storage/string_slots.h"

namespace tavrel {
namespace {

constexpr uint32_t kTickMs = 1000;
// The time-out in tenths of a second, losing 7 a tick.
using Tenths = std::chrono::duration<int64_t, std::deci>;
constexpr int32_t kCountdownPerTick = 7;
constexpr int32_t kTimedOutBelow = 10;
constexpr int kColumnAddress = 1;
constexpr int kColumnTime = 2;
constexpr int kColumnSntp = 3;

// The open scan; it lives on the window thread.
struct Scan {
    explicit Scan(Engine& owner) : engine(owner) {}
    Engine& engine;
    gui::WindowHandle window = gui::kNoWindow;
    std::vector<std::string> servers;
    size_t row = 0;
    bool measuringTime = true;  // the row's TIME query, then its SNTP query
    std::unique_ptr<TimeQuery> query;
    int32_t countdown = 0;
    // Each row's response times in ms, -1 where the server did not answer.
    std::vector<int64_t> timeMs, sntpMs;
    QueryTarget limits;  // the date range, as it stood when the scan began
};
std::unique_ptr<Scan> scan;
// Queries given up, released once their threads have ended; never waited
// for on the window thread.
std::vector<std::unique_ptr<TimeQuery>> givenUp;

void releaseEnded() {
    std::erase_if(givenUp, [](const std::unique_ptr<TimeQuery>& q) { return q->finished(); });
}

void giveUpQuery() {
    if (!scan->query) return;
    scan->query->abort();
    if (!scan->query->finished()) givenUp.push_back(std::move(scan->query));
    scan->query.reset();
}

void startMeasurement() {
    const std::string& server = scan->servers[scan->row];
    if (scan->measuringTime) {
        gui::listViewInsertRow(scan->window, kIdScanList, static_cast<int>(scan->row), server);
        scan->timeMs.push_back(-1);
        scan->sntpMs.push_back(-1);
    }
    QueryTarget target = scan->limits;
    target.server = server;
    target.useTime = scan->measuringTime;
    const std::chrono::seconds timeout = settings.syncTimeout.load();
    target.timeoutMs = static_cast<uint32_t>(std::chrono::milliseconds(timeout).count());
    scan->query = std::make_unique<TimeQuery>(std::move(target), nullptr);
    scan->countdown = static_cast<int32_t>(Tenths(timeout).count());
    gui::setTimer(scan->window, kScanTimerId, kTickMs);
}

void finish() {
    gui::setWindowText(scan->window, slot(kSlotScanFinished));
    gui::enableDlgItem(scan->window, kIdScanSort, !scan->servers.empty());
}

// The answering servers first, fastest by SNTP (by TIME where SNTP did not
// answer), then the silent ones, in their old order.
void sortList() {
    ServerRanking rank;
    constexpr int64_t kTimeOnly = int64_t{1} << 40;  // after every SNTP time
    for (size_t i = 0; i < scan->servers.size() && i < scan->sntpMs.size(); ++i) {
        const int64_t sntp = scan->sntpMs[i];
        const int64_t time = scan->timeMs[i];
        const int64_t position = sntp >= 0 ? sntp : time >= 0 ? kTimeOnly + time : INT64_MAX - 1;
        rank.emplace_back(scan->servers[i], position);
    }
    const std::string problem = sortServerList(rank);
    if (!problem.empty()) {
        gui::messageBox(scan->window, problem, "Tavrel.exe", gui::MessageBoxKind::Error);
        return;
    }
    gui::enableDlgItem(scan->window, kIdScanSort, false);
}

void nextStep() {
    if (scan->measuringTime) {
        scan->measuringTime = false;
    } else {
        scan->measuringTime = true;
        ++scan->row;
    }
    if (scan->row < scan->servers.size()) {
        startMeasurement();
    } else {
        finish();
    }
}

void record(const std::string& address, const std::string& result, int64_t ms, const QueryResult* reply = nullptr) {
    const int row = static_cast<int>(scan->row);
    HistoryEntry history;
    history.when = platform::getSystemTimeAsFileTime();
    history.action = "Scan";
    history.server = scan->servers[scan->row];
    history.address = address;
    history.protocol = scan->measuringTime ? "TIME" : "SNTP";
    if (ms >= 0) history.roundTripMs = static_cast<uint32_t>(ms);
    if (reply != nullptr && reply->accepted) {
        history.offsetSeconds = static_cast<double>(reply->offsetUnits) / static_cast<double>(platform::kFileTimeUnitsPerSecond);
    }
    history.outcome = ms >= 0 ? "Answered" : "No response";
    appendHistory(history);
    (scan->measuringTime ? scan->timeMs : scan->sntpMs)[scan->row] = ms;
    if (scan->measuringTime) {
        gui::listViewSetCell(scan->window, kIdScanList, row, kColumnAddress, address);
        gui::listViewSetCell(scan->window, kIdScanList, row, kColumnTime, result);
    } else {
        gui::listViewSetCell(scan->window, kIdScanList, row, kColumnSntp, result);
    }
}

void tick() {
    releaseEnded();
    if (!scan->query) return;
    if (scan->query->finished()) {
        gui::killTimer(scan->window, kScanTimerId);
        const QueryResult& result = scan->query->result();
        record(scan->query->addressText(), result.accepted ? std::to_string(result.responseMs) : slot(kSlotError),
               result.accepted ? static_cast<int64_t>(result.responseMs) : -1, &result);
        scan->query.reset();
        nextStep();
        return;
    }
    scan->countdown -= kCountdownPerTick;
    if (scan->countdown >= kTimedOutBelow) return;
    gui::killTimer(scan->window, kScanTimerId);
    const std::string address = scan->query->addressText();
    giveUpQuery();
    record(address, slot(kSlotTimeOut), -1);
    nextStep();
}

intptr_t scanProcedure(gui::WindowHandle, const gui::WindowMessage& message) {
    switch (message.kind) {
        case gui::MessageKind::Timer:
            if (message.id == kScanTimerId && scan) tick();
            break;
        case gui::MessageKind::Close:
        case gui::MessageKind::Command:
            if (message.kind == gui::MessageKind::Command && message.id == kIdScanSort && scan) {
                sortList();
            } else if (message.kind == gui::MessageKind::Close || message.id == gui::kIdCancel) {
                endServerScan();
            }
            break;
        case gui::MessageKind::Destroy: endServerScan(); break;
        default: break;
    }
    return 0;
}

}  // namespace

gui::WindowHandle scanWindow() { return scan ? scan->window : gui::kNoWindow; }

bool scanQueriesPending() {
    releaseEnded();
    return !givenUp.empty();
}

bool scanMeasurementDone() { return scan && scan->query && scan->query->finished(); }

bool openServerScan(gui::WindowHandle, Engine& engine) {
    releaseEnded();
    if (scan || engine.busy()) return false;
    engine.setScanActive(true);
    scan = std::make_unique<Scan>(engine);
    scan->limits.dateRangeEnabled = settings.dateRangeEnabled.load();
    scan->limits.dateRangeLow = settings.dateRangeLow.load();
    scan->limits.dateRangeHigh = settings.dateRangeHigh.load();
    // The scan measures the list's entries whatever source is selected.
    (void)readServerList([](int, std::string_view name) { scan->servers.emplace_back(name); });
    const gui::WindowHandle w = gui::createDialog(kScanWindow, scanProcedure);
    scan->window = w;
    gui::setWindowText(w, slot(kSlotScanning));
    gui::listViewSetColumns(w, kIdScanList, {slot(kSlotServer), "IP", "TIME (ms)", "SNTP (ms)"});
    // Sorting waits for the scan's last finding.
    gui::enableDlgItem(w, kIdScanSort, false);
    gui::showWindow(w, gui::ShowCommand::Normal);
    gui::setForegroundWindow(w);
    if (scan->servers.empty()) {
        finish();
    } else {
        startMeasurement();
    }
    return true;
}

void endServerScan() {
    if (!scan) return;
    // Taken first: destroying the window comes back here.
    const std::unique_ptr<Scan> ending = std::move(scan);
    gui::killTimer(ending->window, kScanTimerId);
    if (ending->query) {
        ending->query->abort();
        if (!ending->query->finished()) givenUp.push_back(std::move(ending->query));
    }
    ending->engine.setScanActive(false);
    gui::destroyWindow(ending->window);
}

}  // namespace tavrel
