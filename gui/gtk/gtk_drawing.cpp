#include "gui/gtk/gtk_drawing.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace tavrel::gui::gtk {

DialogUnits measureDialogUnits(GtkWidget* probe) {
    DialogUnits units;
    PangoLayout* layout = gtk_widget_create_pango_layout(probe, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    int width = 0, height = 0;
    pango_layout_get_pixel_size(layout, &width, &height);
    g_object_unref(layout);
    if (width > 0) units.charWidth = std::round(width / 52.0);
    if (height > 0) units.lineHeight = height;
    return units;
}

namespace {

void textAt(cairo_t* cr, PangoLayout* layout, const std::string& text, double x, double y) {
    pango_layout_set_text(layout, text.c_str(), -1);
    cairo_move_to(cr, x, y);
    pango_cairo_show_layout(cr, layout);
}

int textWidth(PangoLayout* layout, const std::string& text) {
    pango_layout_set_text(layout, text.c_str(), -1);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    return w;
}

}  // namespace

void drawChart(GtkWidget* widget, cairo_t* cr, const ChartData& chart) {
    const double width = gtk_widget_get_allocated_width(widget);
    const double height = gtk_widget_get_allocated_height(widget);
    PangoLayout* layout = gtk_widget_create_pango_layout(widget, "0");
    int unused = 0, line = 0;
    pango_layout_get_pixel_size(layout, &unused, &line);
    GtkStyleContext* style = gtk_widget_get_style_context(widget);
    GdkRGBA ink{};
    gtk_style_context_get_color(style, gtk_style_context_get_state(style), &ink);

    const double labels = std::max(textWidth(layout, chart.top), textWidth(layout, chart.bottom)) + 6;
    const double left = labels, top = line / 2.0, right = width - 4, bottom = height - line - 4;
    if (right <= left + 4 || bottom <= top + 4) {
        g_object_unref(layout);
        return;
    }
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, left, top, right - left, bottom - top);
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0.55, 0.55, 0.55);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);

    gdk_cairo_set_source_rgba(cr, &ink);
    textAt(cr, layout, chart.top, 2, top - line / 2.0);
    textAt(cr, layout, chart.bottom, 2, bottom - line / 2.0);
    textAt(cr, layout, chart.left, left, bottom + 2);
    textAt(cr, layout, chart.right, right - textWidth(layout, chart.right), bottom + 2);
    g_object_unref(layout);

    if (chart.points.empty()) return;
    std::vector<std::pair<double, double>> points = chart.points;
    std::stable_sort(points.begin(), points.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    const double minX = points.front().first, maxX = points.back().first;
    double minY = points.front().second, maxY = minY;
    for (const auto& p : points) {
        minY = std::min(minY, p.second);
        maxY = std::max(maxY, p.second);
    }
    const double w = right - left - 4, h = bottom - top - 4;
    cairo_set_source_rgb(cr, 0, 90 / 255.0, 180 / 255.0);
    cairo_set_line_width(cr, 2);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    for (size_t i = 0; i < points.size(); ++i) {
        const double fx = maxX > minX ? (points[i].first - minX) / (maxX - minX) : 0.5;
        const double fy = maxY > minY ? (points[i].second - minY) / (maxY - minY) : 0.5;
        const double px = left + 2 + fx * w, py = bottom - 2 - fy * h;
        if (points.size() == 1) {
            cairo_arc(cr, px, py, 2.5, 0, 2 * M_PI);
            cairo_fill(cr);
        } else if (i == 0) {
            cairo_move_to(cr, px, py);
        } else {
            cairo_line_to(cr, px, py);
        }
    }
    if (points.size() > 1) cairo_stroke(cr);
}

void drawProgramIcon(cairo_t* cr, int size) {
    const double c = size / 2.0, r = size * 0.44;
    cairo_set_source_rgb(cr, 0.13, 0.38, 0.68);
    cairo_arc(cr, c, c, r, 0, 2 * M_PI);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_arc(cr, c, c, r * 0.82, 0, 2 * M_PI);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.13, 0.38, 0.68);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    for (int mark = 0; mark < 12; ++mark) {
        const double a = mark * M_PI / 6;
        cairo_set_line_width(cr, std::max(1.0, size / 32.0));
        cairo_move_to(cr, c + std::sin(a) * r * 0.68, c - std::cos(a) * r * 0.68);
        cairo_line_to(cr, c + std::sin(a) * r * 0.78, c - std::cos(a) * r * 0.78);
        cairo_stroke(cr);
    }
    cairo_set_line_width(cr, std::max(1.5, size / 14.0));
    cairo_move_to(cr, c, c);
    cairo_line_to(cr, c, c - r * 0.6);
    cairo_move_to(cr, c, c);
    cairo_line_to(cr, c + r * 0.42, c + r * 0.1);
    cairo_stroke(cr);
}

GdkPixbuf* programIconPixbuf(int size) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
    cairo_t* cr = cairo_create(surface);
    drawProgramIcon(cr, size);
    cairo_destroy(cr);
    GdkPixbuf* pixbuf = gdk_pixbuf_get_from_surface(surface, 0, 0, size, size);
    cairo_surface_destroy(surface);
    return pixbuf;
}

void installDialogStyle() {
    static const char kStyle[] =
        ".tavrel-dialog button { min-height: 0; min-width: 0; padding: 1px 6px; }\n"
        ".tavrel-dialog entry { min-height: 0; padding-top: 1px; padding-bottom: 1px; }\n"
        ".tavrel-dialog spinbutton button { padding: 0 3px; }\n"
        ".tavrel-dialog spinbutton entry { min-width: 0; }\n"
        ".tavrel-dialog combobox button { padding-top: 0; padding-bottom: 0; }\n"
        ".tavrel-dialog checkbutton, .tavrel-dialog radiobutton { padding: 0; }\n"
        ".tavrel-dialog notebook tab { min-height: 0; padding: 2px 8px; }\n"
        ".tavrel-sunken { padding: 1px 3px; }\n";
    GtkCssProvider* provider = gtk_css_provider_new();
    gtk_css_provider_load_from_data(provider, kStyle, -1, nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(provider),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(provider);
}

}  // namespace tavrel::gui::gtk
