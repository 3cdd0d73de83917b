#include "servers/server_scan.h"

#include "engine/operation.h"
#include "engine/time_query.h"
#include "resources/dialogs.h"
#include "servers/server_list.h"
#include "storage/settings.h"
#include "storage/strings.h"

namespace tavrel {

std::atomic<int32_t> scanRow{0};

namespace {

constexpr int kSlotServer = 8;
constexpr int kSlotError = 21;
constexpr int kSlotTimeOut = 86;
constexpr int kSlotScanning = 178;
constexpr int kSlotFinished = 179;
constexpr uint32_t kTickMs = 1000;
constexpr int32_t kCountdownPerTick = 7;
constexpr int32_t kTimedOutBelow = 10;
constexpr int kColumnAddress = 1;
constexpr int kColumnTime = 2;
constexpr int kColumnSntp = 3;

std::atomic<platform::WindowHandle> window{platform::kNoWindow};
// The settings the scan borrows, given back when it ends.
int32_t savedAutoChoice = 1;
int32_t savedProtocol = 2;
int32_t savedSelected = 0;
int32_t savedSource = 0;
bool ending = false;

void startMeasurement(platform::WindowHandle w) {
    syncState.store(kSyncActive);
    queryStep.store(0);
    startTimeQuery();
    if (settings.protocol.load() == 0) platform::listViewInsertRow(w, kIdScanList, scanRow.load(), currentServerName());
    platform::setTimer(w, kScanTimerId, kTickMs);
}

void finish(platform::WindowHandle w) { platform::setWindowText(w, slot(kSlotFinished)); }

void nextStep(platform::WindowHandle w) {
    if (settings.protocol.load() == 0) {
        settings.protocol.store(1);
        startMeasurement(w);
        return;
    }
    scanRow.store(scanRow.load() + 1);
    settings.selectedServer.store(settings.selectedServer.load() + 1);
    if (readServerList(settings.selectedServer.load() + 1) != 0) {
        settings.protocol.store(0);
        startMeasurement(w);
    } else {
        finish(w);
    }
}

void record(platform::WindowHandle w, const std::string& result) {
    const int row = scanRow.load();
    if (settings.protocol.load() == 0) {
        platform::listViewSetCell(w, kIdScanList, row, kColumnAddress, serverAddressText());
        platform::listViewSetCell(w, kIdScanList, row, kColumnTime, result);
    } else {
        platform::listViewSetCell(w, kIdScanList, row, kColumnSntp, result);
    }
}

void tick(platform::WindowHandle w) {
    if (queryThread.load() == 0) {
        platform::killTimer(w, kScanTimerId);
        waitForQueryThread();
        record(w, queryFailed.load() == 0 ? std::to_string(responseMs.load()) : slot(kSlotError));
        nextStep(w);
        return;
    }
    const int32_t left = timeoutCountdown.load() - kCountdownPerTick;
    timeoutCountdown.store(left);
    if (left >= kTimedOutBelow) return;
    platform::killTimer(w, kScanTimerId);
    abortRunningQuery();
    record(w, slot(kSlotTimeOut));
    settings.abortQuery.store(0);
    nextStep(w);
}

intptr_t scanProcedure(platform::WindowHandle w, const platform::WindowMessage& message) {
    switch (message.kind) {
        case platform::MessageKind::Timer:
            if (message.id == kScanTimerId) tick(w);
            break;
        case platform::MessageKind::Close:
        case platform::MessageKind::Command:
            if (message.kind == platform::MessageKind::Close || message.id == 2) endServerScan();
            break;
        case platform::MessageKind::Destroy: endServerScan(); break;
        default: break;
    }
    return 0;
}

}  // namespace

platform::WindowHandle scanWindow() { return window.load(); }

bool openServerScan(platform::WindowHandle) {
    if (window.load() != platform::kNoWindow || syncState.load() != kSyncIdle) return false;
    const platform::WindowHandle w = platform::createDialog(kScanWindow, scanProcedure);
    window.store(w);
    ending = false;
    scanActive.store(1);
    platform::setWindowText(w, slot(kSlotScanning));
    platform::listViewSetColumns(w, kIdScanList, {slot(kSlotServer), "IP", "TIME (ms)", "SNTP (ms)"});
    platform::showWindow(w, platform::ShowCommand::Normal);
    platform::setForegroundWindow(w);
    savedAutoChoice = autoProtocolChoice.load();
    savedProtocol = settings.protocol.load();
    savedSelected = settings.selectedServer.load();
    savedSource = settings.serverSource.load();
    // The scan measures the list's entries whatever source is selected.
    settings.serverSource.store(0);
    settings.selectedServer.store(0);
    settings.protocol.store(0);
    scanRow.store(0);
    syncState.store(kSyncActive);
    if (readServerList(1) == 0) {
        finish(w);
    } else {
        startMeasurement(w);
    }
    return true;
}

void endServerScan() {
    const platform::WindowHandle w = window.load();
    if (w == platform::kNoWindow || ending) return;
    ending = true;
    platform::killTimer(w, kScanTimerId);
    if (queryThread.load() != 0) abortRunningQuery();
    settings.abortQuery.store(0);
    syncState.store(kSyncIdle);
    queryStep.store(0);
    autoProtocolChoice.store(savedAutoChoice);
    settings.protocol.store(savedProtocol);
    settings.selectedServer.store(savedSelected);
    settings.serverSource.store(savedSource);
    scanActive.store(0);
    window.store(platform::kNoWindow);
    platform::destroyWindow(w);
}

}  // namespace tavrel
