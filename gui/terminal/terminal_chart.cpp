#include "gui/terminal/terminal_chart.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "gui/terminal/terminal_screen.h"

namespace tavrel::gui {
namespace {

// The braille dot of a cell's column (0, 1) and row (0 to 3).
constexpr char32_t kDotBits[4][2] = {{0x01, 0x08}, {0x02, 0x10}, {0x04, 0x20}, {0x40, 0x80}};

}  // namespace

std::vector<std::u32string> chartLines(const ChartData& chart, int width, int height, bool unicode) {
    std::vector<std::u32string> lines;
    if (width < 4 || height < 2) return lines;
    const std::u32string top = fromUtf8(chart.top), bottom = fromUtf8(chart.bottom);
    const int labels = static_cast<int>(std::max(top.size(), bottom.size()));
    const int plotLeft = std::min(labels + 1, width / 2);
    const int plotWidth = width - plotLeft;
    const int plotHeight = height - 1;
    const char32_t axis = unicode ? U'│' : U'|';
    std::vector<std::u32string> plot(static_cast<size_t>(plotHeight), std::u32string(static_cast<size_t>(plotWidth), U' '));

    if (!chart.points.empty()) {
        double minX = chart.points.front().first, maxX = minX, minY = chart.points.front().second, maxY = minY;
        for (const auto& [x, y] : chart.points) {
            minX = std::min(minX, x);
            maxX = std::max(maxX, x);
            minY = std::min(minY, y);
            maxY = std::max(maxY, y);
        }
        const int dotsX = (plotWidth - 1) * (unicode ? 2 : 1);
        const int dotsY = plotHeight * (unicode ? 4 : 1) - 1;
        auto dot = [&](double x, double y) {
            const double fx = maxX > minX ? (x - minX) / (maxX - minX) : 0.5;
            const double fy = maxY > minY ? (y - minY) / (maxY - minY) : 0.5;
            return std::pair<int, int>{static_cast<int>(std::lround(fx * dotsX)),
                                       dotsY - static_cast<int>(std::lround(fy * dotsY))};
        };
        auto set = [&](int dx, int dy) {
            const int cx = unicode ? dx / 2 : dx;
            const int cy = unicode ? dy / 4 : dy;
            if (cx < 0 || cy < 0 || cx >= plotWidth || cy >= plotHeight) return;
            char32_t& cell = plot[static_cast<size_t>(cy)][static_cast<size_t>(cx)];
            if (!unicode) {
                cell = U'*';
                return;
            }
            if (cell == U' ') cell = 0x2800;
            cell |= kDotBits[dy % 4][dx % 2];
        };
        std::vector<std::pair<double, double>> points = chart.points;
        std::stable_sort(points.begin(), points.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        std::pair<int, int> last = dot(points.front().first, points.front().second);
        set(last.first, last.second);
        for (size_t i = 1; i < points.size(); ++i) {
            // The line from the last point, dot by dot.
            const std::pair<int, int> next = dot(points[i].first, points[i].second);
            const int steps = std::max(std::abs(next.first - last.first), std::abs(next.second - last.second));
            for (int s = 1; s <= steps; ++s) {
                set(last.first + (next.first - last.first) * s / steps, last.second + (next.second - last.second) * s / steps);
            }
            if (steps == 0) set(next.first, next.second);
            last = next;
        }
    }

    for (int row = 0; row < plotHeight; ++row) {
        // The figures right-aligned against the axis.
        std::u32string label = row == 0 ? top : row == plotHeight - 1 ? bottom : std::u32string();
        const size_t room = static_cast<size_t>(std::max(0, plotLeft - 1));
        label = label.size() >= room ? label.substr(0, room) : std::u32string(room - label.size(), U' ') + label;
        lines.push_back(label + axis +
                        plot[static_cast<size_t>(row)].substr(0, static_cast<size_t>(std::max(0, plotWidth - 1))));
    }
    // The x axis's ends under the plot.
    const std::u32string left = fromUtf8(chart.left), right = fromUtf8(chart.right);
    std::u32string xAxis(static_cast<size_t>(plotLeft), U' ');
    xAxis += left;
    const int gap = width - static_cast<int>(xAxis.size()) - static_cast<int>(right.size());
    if (gap >= 1) xAxis += std::u32string(static_cast<size_t>(gap), U' ') + right;
    xAxis.resize(static_cast<size_t>(width), U' ');
    lines.push_back(xAxis);
    return lines;
}

}  // namespace tavrel::gui
