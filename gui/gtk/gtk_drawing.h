// What the desktop window draws itself with cairo: the History chart, the
// program's icon (a clock face), and the pixel size of dialog units.
#pragma once

#include <gtk/gtk.h>

#include <string>

#include "gui/dialog.h"

namespace tavrel::gui::gtk {

// A function of any signal's shape as GLib's untyped callback (what
// G_CALLBACK does, without a macro's trouble with commas in a lambda).
template <typename Function>
GCallback asCallback(Function* function) {
    return reinterpret_cast<GCallback>(function);
}

// Dialog units in pixels, from the font's metrics as Windows takes them: a
// horizontal unit is a quarter of the average width of the letters, a
// vertical one an eighth of the line's height.
struct DialogUnits {
    double charWidth = 7;
    double lineHeight = 16;
    int x(int units) const { return static_cast<int>(units * charWidth / 4 + 0.5); }
    int y(int units) const { return static_cast<int>(units * lineHeight / 8 + 0.5); }
};
DialogUnits measureDialogUnits(GtkWidget* probe);

// The chart: the series as a line over a white plot, the y axis's labels
// at its left and the x axis's below.
void drawChart(GtkWidget* widget, cairo_t* cr, const ChartData& chart);

// The program's icon at `size` pixels: a clock face.
void drawProgramIcon(cairo_t* cr, int size);
GdkPixbuf* programIconPixbuf(int size);

// Compact paddings for the widgets of the dialogs, so that controls keep
// the sizes of their templates.
void installDialogStyle();

}  // namespace tavrel::gui::gtk
