#include "ui/scan_window.h"

#include <string>
#include <utility>

#include "platform/process.h"
#include "resources/dialogs.h"
#include "storage/string_slots.h"
#include "storage/strings.h"

namespace tavrel {
namespace {

constexpr uint32_t kTickMs = 1000;
constexpr int kColumnAddress = 1;
constexpr int kColumnTime = 2;
constexpr int kColumnSntp = 3;

}  // namespace

bool ScanWindow::open(gui::WindowHandle owner) {
    givenUp_.releaseEnded();
    if (scan_ || engine_.busy()) return false;
    engine_.setScanActive(true);
    scan_ = std::make_unique<ServerScan>(givenUp_);
    const gui::WindowHandle w = gui::createDialog(
        kScanWindow, [this](gui::WindowHandle, const gui::WindowMessage& message) { return procedure(message); },
        owner);
    window_ = w;
    gui::setWindowText(w, slot(kSlotScanning));
    gui::listViewSetColumns(w, kIdScanList, {slot(kSlotServer), "IP", "TIME (ms)", "SNTP (ms)"});
    // Sorting waits for the scan's last finding.
    gui::enableDlgItem(w, kIdScanSort, false);
    gui::showWindow(w, gui::ShowCommand::Normal);
    gui::setForegroundWindow(w);
    if (scan_->finished()) {
        finish();
    } else {
        startStep();
    }
    return true;
}

void ScanWindow::end() {
    if (!scan_) return;
    // Taken first: destroying the window comes back here.
    std::unique_ptr<ServerScan> ending = std::move(scan_);
    const gui::WindowHandle w = std::exchange(window_, gui::kNoWindow);
    gui::killTimer(w, kScanTimerId);
    ending.reset();
    engine_.setScanActive(false);
    gui::destroyWindow(w);
}

void ScanWindow::startStep() {
    if (scan_->measuringTime()) {
        gui::listViewInsertRow(window_, kIdScanList, static_cast<int>(scan_->row()), scan_->servers()[scan_->row()]);
    }
    scan_->startStep();
    gui::setTimer(window_, kScanTimerId, kTickMs);
}

void ScanWindow::tick() {
    const std::optional<ScanFinding> finding = scan_->tick();
    if (!finding) return;
    gui::killTimer(window_, kScanTimerId);
    show(*finding);
    if (scan_->finished()) {
        finish();
    } else {
        startStep();
    }
}

void ScanWindow::show(const ScanFinding& finding) {
    const int row = static_cast<int>(finding.row);
    const std::string result = finding.outcome == ScanFinding::Outcome::Answered ? std::to_string(finding.responseMs)
                               : finding.outcome == ScanFinding::Outcome::TimedOut ? slot(kSlotTimeOut)
                                                                                   : slot(kSlotError);
    if (finding.byTime) {
        gui::listViewSetCell(window_, kIdScanList, row, kColumnAddress, finding.address);
        gui::listViewSetCell(window_, kIdScanList, row, kColumnTime, result);
    } else {
        gui::listViewSetCell(window_, kIdScanList, row, kColumnSntp, result);
    }
}

void ScanWindow::finish() {
    gui::setWindowText(window_, slot(kSlotScanFinished));
    gui::enableDlgItem(window_, kIdScanSort, !scan_->servers().empty());
}

void ScanWindow::sortList() {
    const std::string problem = scan_->sortListByResponse();
    if (!problem.empty()) {
        gui::messageBox(window_, problem, platform::kProgramCaption, gui::MessageBoxKind::Error);
        return;
    }
    gui::enableDlgItem(window_, kIdScanSort, false);
}

intptr_t ScanWindow::procedure(const gui::WindowMessage& message) {
    switch (message.kind) {
        case gui::MessageKind::Timer:
            if (message.id == kScanTimerId && scan_) tick();
            break;
        case gui::MessageKind::Close:
        case gui::MessageKind::Command:
            if (message.kind == gui::MessageKind::Command && message.id == kIdScanSort && scan_) {
                sortList();
            } else if (message.kind == gui::MessageKind::Close || message.id == gui::kIdCancel) {
                end();
            }
            break;
        case gui::MessageKind::Destroy: end(); break;
        default: break;
    }
    return 0;
}

}  // namespace tavrel
