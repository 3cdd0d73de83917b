#include "ui/history_view.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "resources/dialogs.h"

namespace tavrel {
namespace {

constexpr platform::FileTime kDay = 86'400ULL * platform::kFileTimeUnitsPerSecond;

std::string figure(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// "7 Dec 2026 21:30", in local time.
std::string whenText(platform::FileTime utc) {
    platform::FileTime local = utc;
    (void)platform::fileTimeToLocalFileTime(utc, local);
    platform::SystemTime t{};
    if (!platform::fileTimeToSystemTime(local, t)) return std::string();
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02u:%02u", t.hour, t.minute);
    return platform::formatShortDate(t) + " " + clock;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One series: its chart and its line of figures.
void fillSeries(gui::WindowHandle view, int textId, int chartId, const char* name, int decimals,
                const std::vector<std::pair<platform::FileTime, double>>& series) {
    gui::ChartData chart;
    if (series.empty()) {
        gui::setDlgItemText(view, textId, std::string(name) + ": no replies in this span");
        gui::chartSetData(view, chartId, chart);
        return;
    }
    std::vector<double> values;
    const platform::FileTime first = series.front().first;
    for (const auto& [when, value] : series) {
        values.push_back(value);
        chart.points.emplace_back(static_cast<double>(when - first) / platform::kFileTimeUnitsPerSecond, value);
    }
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    chart.top = figure(*high, decimals);
    chart.bottom = figure(*low, decimals);
    chart.left = whenText(first);
    chart.right = whenText(series.back().first);
    gui::chartSetData(view, chartId, chart);
    gui::setDlgItemText(view, textId,
                        std::string(name) + ": min " + figure(*low, decimals) + "  median " +
                            figure(median(values), decimals) + "  max " + figure(*high, decimals) + "  (" +
                            std::to_string(values.size()) + (values.size() == 1 ? " reply)" : " replies)"));
}

// Fills the view from the history files.
void fillHistoryViewFromFiles(gui::WindowHandle view, HistorySpan span) {
    size_t skippedRows = 0;
    const std::vector<HistoryEntry> entries = readHistory(0, skippedRows);
    fillHistoryView(view, span, platform::getSystemTimeAsFileTime(), entries, skippedRows);
}

}  // namespace

void fillHistoryView(gui::WindowHandle view, HistorySpan span, platform::FileTime now,
                     const std::vector<HistoryEntry>& entries, size_t skippedRows) {
    const platform::FileTime since = span == HistorySpan::Day ? now - kDay : span == HistorySpan::Week ? now - 7 * kDay : 0;
    gui::checkDlgButton(view, kIdHistoryDay, span == HistorySpan::Day);
    gui::checkDlgButton(view, kIdHistoryWeek, span == HistorySpan::Week);
    gui::checkDlgButton(view, kIdHistoryAll, span == HistorySpan::All);
    std::vector<std::pair<platform::FileTime, double>> offsets, roundTrips;
    for (const HistoryEntry& e : entries) {
        // Rows stamped after `now` stay: taken while the clock ran ahead,
        // before a Correct set it back.
        if (e.when < since) continue;
        if (e.offsetSeconds) offsets.emplace_back(e.when, *e.offsetSeconds * 1000);
        if (e.roundTripMs) roundTrips.emplace_back(e.when, static_cast<double>(*e.roundTripMs));
    }
    fillSeries(view, kIdHistoryOffsetText, kIdHistoryOffsetChart, "Offset (ms)", 3, offsets);
    fillSeries(view, kIdHistoryRoundTripText, kIdHistoryRoundTripChart, "Round trip (ms)", 0, roundTrips);
    gui::setDlgItemText(view, kIdHistorySkipped,
                        skippedRows == 0   ? std::string()
                        : skippedRows == 1 ? std::string("1 row could not be read and was skipped")
                                           : std::to_string(skippedRows) + " rows could not be read and were skipped");
}

void showHistoryView(gui::WindowHandle owner) {
    (void)gui::runModalDialog(
        kHistoryDialog,
        [](gui::WindowHandle view, const gui::WindowMessage& message) -> intptr_t {
            switch (message.kind) {
                case gui::MessageKind::Create: fillHistoryViewFromFiles(view, HistorySpan::Day); break;
                case gui::MessageKind::Command:
                    if (message.id == kIdHistoryDay || message.id == kIdHistoryWeek || message.id == kIdHistoryAll) {
                        const HistorySpan span = message.id == kIdHistoryDay    ? HistorySpan::Day
                                                 : message.id == kIdHistoryWeek ? HistorySpan::Week
                                                                                : HistorySpan::All;
                        fillHistoryViewFromFiles(view, span);
                    } else if (message.id == gui::kIdOk || message.id == gui::kIdCancel) {
                        gui::endDialog(view, message.id);
                    }
                    break;
                case gui::MessageKind::Close: gui::endDialog(view, gui::kIdCancel); break;
                default: break;
            }
            return 0;
        },
        owner);
}

}  // namespace tavrel
