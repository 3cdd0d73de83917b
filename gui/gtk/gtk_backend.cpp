// The dialog manager's backend on a Linux desktop: every window of the
// shared model becomes a GTK 3 window whose controls sit where the
// template puts them (dialog units turned into pixels from the font), kept
// in step with the model whenever the loop is about to sleep; clicks, keys
// and typing go back into the model as the same messages the other
// backends produce. The loop sleeps in GLib's main context, woken by the
// model's own wake-up. A property sheet is a notebook whose tabs hold the
// page windows; the tray entry is a StatusNotifierItem (gtk_tray.cpp).
#include "gui/gtk/gtk_backend.h"

#include <gtk/gtk.h>
#include <glib-unix.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "gui/access_keys.h"
#include "gui/dialog.h"
#include "gui/gtk/gtk_drawing.h"
#include "gui/gtk/gtk_tray.h"
#include "gui/modality.h"
#include "platform/loop_wait.h"

namespace tavrel::gui {
namespace {

using gtk::asCallback;
using gtk::DialogUnits;

// A page lies below its sheet's row of tabs (the model's sheet leaves 16
// units for it).
constexpr int kTabRowUnits = 16;
// A drop-down list's template height is that of its open list; closed it
// is one line.
constexpr int kComboUnits = 14;
// The room left between a control and the window's edge, where the
// template leaves none.
constexpr int kEdgePixels = 3;
// The most a window is widened or heightened so that every text fits.
constexpr double kMaxStretch = 2.0;

bool sameDate(const SystemTime& a, const SystemTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day;
}

std::string dateText(const SystemTime& t) {
    char text[24];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", static_cast<unsigned>(t.year), static_cast<unsigned>(t.month),
                  static_cast<unsigned>(t.day));
    return text;
}

// 0 Sunday .. 6 Saturday, for a Gregorian date.
uint16_t dayOfWeek(int year, int month, int day) {
    static const int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) year -= 1;
    return static_cast<uint16_t>((year + year / 4 - year / 100 + year / 400 + offsets[month - 1] + day) % 7);
}

std::vector<std::string> addressFields(const std::string& text) {
    std::vector<std::string> fields(4);
    size_t field = 0;
    for (char c : text) {
        if (c == '.') {
            if (++field == 4) break;
        } else {
            fields[field] += c;
        }
    }
    return fields;
}

class GtkBackend;

// What a signal handler needs to know: the backend, the window and the
// control (by its index in the window).
struct Slot {
    GtkBackend* backend;
    WindowHandle window;
    size_t index;
    int id;
};

struct Widgets {
    GtkWidget* placed = nullptr;  // what sits in the window's fixed area
    GtkWidget* main = nullptr;    // the widget that holds the control's state
    GtkWidget* label = nullptr;   // a framed text's label
    std::vector<GtkWidget*> fields;  // an address's four fields
    GtkListStore* store = nullptr;
    int columns = 0;
    GtkWidget* calendar = nullptr;
    GtkWidget* popover = nullptr;
    int spinFor = -1;  // an up-down: the index of the edit it spins
};

struct Mirror {
    GtkWidget* toplevel = nullptr;  // a window; none for a page
    GtkWidget* fixed = nullptr;     // the controls' area (a page: placed in its sheet)
    GtkWidget* notebook = nullptr;  // a sheet's tabs
    std::vector<GtkWidget*> tabBoxes;
    std::vector<int> tabIds;
    std::vector<Widgets> controls;
    std::vector<std::unique_ptr<Slot>> slots;
    DialogUnits units;
    bool made = false;
    WindowView last{};
    WindowHandle sheet = kNoWindow;  // a page: the sheet it shows in
    int tab = -1;                    // and behind which tab
    std::unique_ptr<gtk::TrayEntry> tray;
    std::string trayTip;
    bool trayShown = false;
};

class GtkBackend : public DialogBackend {
public:
    GtkBackend() {
        gtk::installDialogStyle();
        GdkPixbuf* icon = gtk::programIconPixbuf(64);
        gtk_window_set_default_icon(icon);
        g_object_unref(icon);
        wakeSource_ = g_unix_fd_add(platform::loop::wakeDescriptor(), G_IO_IN, &GtkBackend::onWake, nullptr);
        probe_ = gtk_label_new(nullptr);
        g_object_ref_sink(probe_);
        units_ = gtk::measureDialogUnits(probe_);
    }

    ~GtkBackend() override {
        for (auto it = mirrors_.rbegin(); it != mirrors_.rend(); ++it) destroyMirror(it->second);
        mirrors_.clear();
        if (wakeSource_ != 0) g_source_remove(wakeSource_);
        g_object_unref(probe_);
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }

    void windowChanged(WindowHandle window) override {
        {
            std::lock_guard lock(dirtyMutex_);
            dirty_.insert(window);
        }
        platform::loop::wake();
    }

    int inputDescriptor() override { return -1; }
    void handleInput() override {}

    bool waitForWork(int timeoutMs) override {
        bool timedOut = false;
        guint timer = 0;
        if (timeoutMs >= 0) {
            timer = g_timeout_add(static_cast<guint>(timeoutMs), &GtkBackend::onTimeout, &timedOut);
        }
        g_main_context_iteration(nullptr, TRUE);
        if (timer != 0 && !timedOut) g_source_remove(timer);
        return false;
    }

    void flush() override {
        std::set<WindowHandle> dirty;
        {
            std::lock_guard lock(dirtyMutex_);
            dirty.swap(dirty_);
        }
        if (dirty.empty()) return;
        const std::vector<WindowView> views = snapshotWindows();
        syncing_ = true;
        std::set<WindowHandle> present;
        for (const WindowView& v : views) present.insert(v.handle);
        // A page's area holds a reference of its own: a sheet destroyed
        // before its pages leaves them to be let go here.
        for (auto it = mirrors_.begin(); it != mirrors_.end();) {
            if (present.count(it->first) == 0) {
                destroyMirror(it->second);
                it = mirrors_.erase(it);
            } else {
                ++it;
            }
        }
        for (const WindowView& v : views) {
            if (dirty.count(v.handle) != 0 || mirrors_.count(v.handle) == 0) sync(v);
        }
        applyModality(views);
        syncing_ = false;
        // The tray menus are asked of their windows outside the sync: the
        // window procedure runs for it.
        for (WindowHandle window : trayMenusDue_) refreshTrayMenu(window);
        trayMenusDue_.clear();
    }

    int trackPopupMenu(WindowHandle window, const std::vector<MenuItem>& items) override {
        if (capturingMenu_) {
            captured_ = items;
            return 0;
        }
        GtkWidget* menu = gtk_menu_new();
        struct Choice {
            int chosen = 0;
            bool closed = false;
        } choice;
        for (const MenuItem& item : items) {
            GtkWidget* entry = item.text.empty() ? gtk_separator_menu_item_new()
                                                 : gtk_menu_item_new_with_label(item.text.c_str());
            if (!item.text.empty()) {
                g_object_set_data(G_OBJECT(entry), "tavrel-command", GINT_TO_POINTER(item.command));
                g_signal_connect(entry, "activate", asCallback(+[](GtkMenuItem* self, gpointer data) {
                                     static_cast<Choice*>(data)->chosen =
                                         GPOINTER_TO_INT(g_object_get_data(G_OBJECT(self), "tavrel-command"));
                                 }),
                                 &choice);
            }
            gtk_menu_shell_append(GTK_MENU_SHELL(menu), entry);
        }
        gtk_widget_show_all(menu);
        // The menu closes before its item is activated: the choice is
        // taken once GTK has handled both.
        g_signal_connect(menu, "deactivate", asCallback(+[](GtkMenuShell*, gpointer data) {
                             g_idle_add(+[](gpointer d) -> gboolean {
                                 static_cast<Choice*>(d)->closed = true;
                                 platform::loop::wake();
                                 return G_SOURCE_REMOVE;
                             },
                                        data);
                         }),
                         &choice);
        // The menu opens at the pointer over the window it belongs to (or
        // over any window shown): GTK needs a window to place it by.
        GtkWidget* owner = toplevelOf(window);
        if (owner == nullptr || !gtk_widget_get_mapped(owner)) owner = anyShownWindow();
        if (owner == nullptr) {
            gtk_widget_destroy(menu);
            return 0;
        }
        gtk_menu_attach_to_widget(GTK_MENU(menu), owner, nullptr);
        GdkWindow* area = gtk_widget_get_window(owner);
        GdkDevice* pointer = gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_window_get_display(area)));
        int x = 0, y = 0;
        gdk_window_get_device_position(area, pointer, &x, &y, nullptr);
        const GdkRectangle at{x, y, 1, 1};
        gtk_menu_popup_at_rect(GTK_MENU(menu), area, &at, GDK_GRAVITY_SOUTH_EAST, GDK_GRAVITY_NORTH_WEST, nullptr);
        if (!gtk_widget_get_visible(menu)) choice.closed = true;
        (void)runNestedLoop([&choice] { return choice.closed; });
        gtk_widget_destroy(menu);
        return choice.chosen;
    }

    void messageBox(WindowHandle owner, std::string_view text, std::string_view caption,
                    MessageBoxKind kind) override {
        GtkWidget* parent = toplevelOf(owner);
        const std::string body(text);
        GtkWidget* box = gtk_message_dialog_new(parent != nullptr ? GTK_WINDOW(parent) : nullptr,
                                                static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                                kind == MessageBoxKind::Error ? GTK_MESSAGE_ERROR : GTK_MESSAGE_INFO,
                                                GTK_BUTTONS_OK, "%s", body.c_str());
        const std::string title(caption);
        gtk_window_set_title(GTK_WINDOW(box), title.c_str());
        bool answered = false;
        g_signal_connect(box, "response", asCallback(+[](GtkDialog*, gint, gpointer data) {
                             *static_cast<bool*>(data) = true;
                             platform::loop::wake();
                         }),
                         &answered);
        gtk_widget_show_all(box);
        (void)runNestedLoop([&answered] { return answered; });
        gtk_widget_destroy(box);
    }

    bool trayAreaAvailable() override { return gtk::trayHostPresent(); }

    // Signals from the widgets.
    void clicked(const Slot& s) {
        if (syncing_) return;
        const ControlView* c = controlIn(s.window, s.index);
        if (c == nullptr) return;
        postCommand(s.window, c->layout.id);
    }

    void toggled(const Slot& s, bool active) {
        if (syncing_) return;
        const ControlView* c = controlIn(s.window, s.index);
        if (c == nullptr) return;
        if (c->layout.kind == ControlKind::CheckBox) {
            checkDlgButton(s.window, c->layout.id, active);
            postCommand(s.window, c->layout.id);
            return;
        }
        if (!active) return;  // the group's other button tells
        const std::vector<ControlView>& controls = mirrors_[s.window].last.controls;
        for (size_t i = 0; i < controls.size(); ++i) {
            const ControlView& other = controls[i];
            if (i != s.index && other.layout.kind == ControlKind::RadioButton && sameGroup(controls, s.index, i)) {
                checkDlgButton(s.window, other.layout.id, false);
            }
        }
        checkDlgButton(s.window, c->layout.id, true);
        postCommand(s.window, c->layout.id);
    }

    void edited(const Slot& s, const std::string& text) {
        if (syncing_) return;
        setDlgItemText(s.window, s.id, text);
    }

    void addressEdited(const Slot& s) {
        if (syncing_) return;
        const Widgets& w = mirrors_[s.window].controls[s.index];
        std::string text;
        bool any = false;
        for (size_t i = 0; i < w.fields.size(); ++i) {
            const std::string field = gtk_entry_get_text(GTK_ENTRY(w.fields[i]));
            any = any || !field.empty();
            if (i != 0) text += '.';
            text += field;
            if (!field.empty() && std::stoi(field) > 255) refuseAddressField(s, i, field);
        }
        setDlgItemText(s.window, s.id, any ? text : std::string());
    }

    void comboChanged(const Slot& s, int selection) {
        if (syncing_) return;
        comboSetSelection(s.window, s.id, selection);
        postCommand(s.window, s.id);
    }

    void dateChosen(const Slot& s, unsigned year, unsigned month, unsigned day) {
        if (syncing_) return;
        SystemTime value = datePickerTime(s.window, s.id);
        value.year = static_cast<uint16_t>(year);
        value.month = static_cast<uint16_t>(month);
        value.day = static_cast<uint16_t>(day);
        value.dayOfWeek = dayOfWeek(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day));
        setDatePickerTime(s.window, s.id, value);
    }

    void tabChosen(WindowHandle sheet, size_t index) {
        if (syncing_) return;
        Mirror& mirror = mirrors_[sheet];
        if (index >= mirror.tabIds.size()) return;
        postCommand(sheet, mirror.tabIds[index]);
        // A page that keeps the focus (what it shows cannot be taken)
        // leaves the model's tab as it was: the notebook follows it back.
        windowChanged(sheet);
    }

    void keyUnhandled(WindowHandle window, guint key) {
        if (key == GDK_KEY_Escape) postCommand(window, kIdCancel);
        if (key == GDK_KEY_Return || key == GDK_KEY_KP_Enter) postCommand(window, kIdOk);
    }

    const ControlView* controlIn(WindowHandle window, size_t index) {
        const auto it = mirrors_.find(window);
        if (it == mirrors_.end() || !it->second.made || index >= it->second.last.controls.size()) return nullptr;
        return &it->second.last.controls[index];
    }

    // A click on the entry is the left button on Windows' icon (the window
    // comes back); a menu item is its command.
    void trayActivated(WindowHandle window, int command) {
        if (command == gtk::kActivated) {
            postMessage(window, WindowMessage{MessageKind::TrayCallback, 0, kTrayLeftButtonDown});
        } else {
            postCommand(window, command);
        }
    }

private:
    static gboolean onWake(gint fd, GIOCondition, gpointer) {
        uint64_t drained;
        (void)!read(fd, &drained, sizeof drained);
        return G_SOURCE_CONTINUE;
    }

    static gboolean onTimeout(gpointer data) {
        *static_cast<bool*>(data) = true;
        return G_SOURCE_REMOVE;
    }

    GtkWidget* anyShownWindow() {
        for (auto& [handle, mirror] : mirrors_) {
            if (mirror.toplevel != nullptr && gtk_widget_get_mapped(mirror.toplevel)) return mirror.toplevel;
        }
        return nullptr;
    }

    GtkWidget* toplevelOf(WindowHandle window) {
        for (int hops = 0; hops < 4; ++hops) {
            const auto it = mirrors_.find(window);
            if (it == mirrors_.end()) return nullptr;
            if (it->second.toplevel != nullptr) return it->second.toplevel;
            window = it->second.sheet;
        }
        return nullptr;
    }

    Slot* slotFor(Mirror& mirror, WindowHandle window, size_t index, int id) {
        mirror.slots.push_back(std::make_unique<Slot>(Slot{this, window, index, id}));
        return mirror.slots.back().get();
    }

    void destroyMirror(Mirror& mirror) {
        mirror.tray.reset();
        GtkWidget* top = mirror.toplevel != nullptr ? mirror.toplevel : mirror.fixed;
        if (top != nullptr) {
            gtk_widget_destroy(top);
            g_object_unref(top);
        }
        mirror.toplevel = nullptr;
        mirror.fixed = nullptr;
        mirror.controls.clear();
    }

    // The widgets of one control, not yet placed.
    Widgets makeControl(Mirror& mirror, const WindowView& v, size_t i, std::vector<GSList*>& radioGroups) {
        const ControlView& c = v.controls[i];
        Widgets w;
        Slot* slot = slotFor(mirror, v.handle, i, c.layout.id);
        switch (c.layout.kind) {
            case ControlKind::PushButton:
            case ControlKind::DefaultPushButton:
                w.main = gtk_button_new_with_mnemonic("");
                g_signal_connect(w.main, "clicked", asCallback(+[](GtkButton*, gpointer data) {
                                     const Slot* s = static_cast<Slot*>(data);
                                     s->backend->clicked(*s);
                                 }),
                                 slot);
                break;
            case ControlKind::CheckBox:
            case ControlKind::RadioButton: {
                if (c.layout.kind == ControlKind::CheckBox) {
                    w.main = gtk_check_button_new_with_mnemonic("");
                } else {
                    // A group runs from a control with the group style to the
                    // next; radio buttons of one group exclude each other.
                    size_t group = 0;
                    for (size_t j = 1; j <= i; ++j) {
                        if (!sameGroup(v.controls, j - 1, j)) group = j;
                    }
                    if (radioGroups.size() <= group) radioGroups.resize(group + 1, nullptr);
                    w.main = gtk_radio_button_new_with_mnemonic(radioGroups[group], "");
                    radioGroups[group] = gtk_radio_button_get_group(GTK_RADIO_BUTTON(w.main));
                }
                g_signal_connect(w.main, "toggled", asCallback(+[](GtkToggleButton* self, gpointer data) {
                                     const Slot* s = static_cast<Slot*>(data);
                                     s->backend->toggled(*s, gtk_toggle_button_get_active(self) != FALSE);
                                 }),
                                 slot);
                break;
            }
            case ControlKind::Label:
                w.main = gtk_label_new(nullptr);
                gtk_label_set_xalign(GTK_LABEL(w.main), 0);
                gtk_label_set_yalign(GTK_LABEL(w.main), 0);
                gtk_label_set_line_wrap(GTK_LABEL(w.main), TRUE);
                break;
            case ControlKind::SunkenStatic:
                w.main = gtk_frame_new(nullptr);
                gtk_frame_set_shadow_type(GTK_FRAME(w.main), GTK_SHADOW_IN);
                w.label = gtk_label_new(nullptr);
                gtk_label_set_xalign(GTK_LABEL(w.label), 0);
                gtk_label_set_yalign(GTK_LABEL(w.label), 0);
                gtk_label_set_line_wrap(GTK_LABEL(w.label), TRUE);
                gtk_style_context_add_class(gtk_widget_get_style_context(w.label), "tavrel-sunken");
                gtk_container_add(GTK_CONTAINER(w.main), w.label);
                break;
            case ControlKind::GroupBox: w.main = gtk_frame_new(""); break;
            case ControlKind::Icon:
                w.main = gtk_drawing_area_new();
                g_signal_connect(w.main, "draw", asCallback(+[](GtkWidget* self, cairo_t* cr, gpointer) -> gboolean {
                                     gtk::drawProgramIcon(cr, std::min(gtk_widget_get_allocated_width(self),
                                                                       gtk_widget_get_allocated_height(self)));
                                     return FALSE;
                                 }),
                                 nullptr);
                break;
            case ControlKind::Edit: {
                const bool spun = i + 1 < v.controls.size() && v.controls[i + 1].layout.kind == ControlKind::UpDown;
                w.main = spun ? gtk_spin_button_new_with_range(0, 99, 1) : gtk_entry_new();
                if (spun) {
                    gtk_spin_button_set_update_policy(GTK_SPIN_BUTTON(w.main), GTK_UPDATE_IF_VALID);
                    gtk_spin_button_set_numeric(GTK_SPIN_BUTTON(w.main), TRUE);
                }
                gtk_entry_set_width_chars(GTK_ENTRY(w.main), 2);
                gtk_entry_set_activates_default(GTK_ENTRY(w.main), TRUE);
                g_signal_connect(w.main, "activate", G_CALLBACK(&GtkBackend::enterInEntry), nullptr);
                g_signal_connect(w.main, "changed", asCallback(+[](GtkEditable* self, gpointer data) {
                                     const Slot* s = static_cast<Slot*>(data);
                                     s->backend->edited(*s, gtk_entry_get_text(GTK_ENTRY(self)));
                                 }),
                                 slot);
                break;
            }
            case ControlKind::UpDown:
                // The edit before it became a spin button.
                w.spinFor = i > 0 && v.controls[i - 1].layout.kind == ControlKind::Edit ? static_cast<int>(i - 1) : -1;
                break;
            case ControlKind::ComboBox:
                w.main = gtk_combo_box_text_new();
                g_signal_connect(w.main, "changed", asCallback(+[](GtkComboBox* self, gpointer data) {
                                     const Slot* s = static_cast<Slot*>(data);
                                     s->backend->comboChanged(*s, gtk_combo_box_get_active(self));
                                 }),
                                 slot);
                break;
            case ControlKind::IpAddress: {
                w.main = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
                for (int f = 0; f < 4; ++f) {
                    if (f != 0) gtk_box_pack_start(GTK_BOX(w.main), gtk_label_new("."), FALSE, FALSE, 1);
                    GtkWidget* field = gtk_entry_new();
                    gtk_entry_set_max_length(GTK_ENTRY(field), 3);
                    gtk_entry_set_width_chars(GTK_ENTRY(field), 3);
                    gtk_entry_set_input_purpose(GTK_ENTRY(field), GTK_INPUT_PURPOSE_DIGITS);
                    gtk_entry_set_activates_default(GTK_ENTRY(field), TRUE);
                    g_signal_connect(field, "activate", G_CALLBACK(&GtkBackend::enterInEntry), nullptr);
                    gtk_box_pack_start(GTK_BOX(w.main), field, TRUE, TRUE, 0);
                    g_object_set_data(G_OBJECT(field), "tavrel-field", GINT_TO_POINTER(f));
                    g_signal_connect(field, "insert-text", G_CALLBACK(&GtkBackend::addressInsert), slot);
                    g_signal_connect(field, "changed", asCallback(+[](GtkEditable*, gpointer data) {
                                         const Slot* s = static_cast<Slot*>(data);
                                         s->backend->addressEdited(*s);
                                     }),
                                     slot);
                    w.fields.push_back(field);
                }
                break;
            }
            case ControlKind::DatePicker: {
                w.main = gtk_menu_button_new();
                w.popover = gtk_popover_new(w.main);
                w.calendar = gtk_calendar_new();
                gtk_container_add(GTK_CONTAINER(w.popover), w.calendar);
                gtk_widget_show(w.calendar);
                gtk_menu_button_set_popover(GTK_MENU_BUTTON(w.main), w.popover);
                g_signal_connect(w.calendar, "day-selected", asCallback(+[](GtkCalendar* self, gpointer data) {
                                     const Slot* s = static_cast<Slot*>(data);
                                     guint year = 0, month = 0, day = 0;
                                     gtk_calendar_get_date(self, &year, &month, &day);
                                     s->backend->dateChosen(*s, year, month + 1, day);
                                 }),
                                 slot);
                g_signal_connect(w.calendar, "day-selected-double-click",
                                 asCallback(+[](GtkCalendar*, gpointer popover) {
                                     gtk_popover_popdown(GTK_POPOVER(popover));
                                 }),
                                 w.popover);
                break;
            }
            case ControlKind::ListView: {
                w.placed = gtk_scrolled_window_new(nullptr, nullptr);
                gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(w.placed), GTK_SHADOW_IN);
                gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(w.placed), GTK_POLICY_AUTOMATIC,
                                               GTK_POLICY_ALWAYS);
                w.main = gtk_tree_view_new();
                gtk_container_add(GTK_CONTAINER(w.placed), w.main);
                break;
            }
            case ControlKind::Tab: break;  // the sheet's notebook
            case ControlKind::Chart:
                w.main = gtk_drawing_area_new();
                g_signal_connect(w.main, "draw", asCallback(+[](GtkWidget* self, cairo_t* cr, gpointer data) -> gboolean {
                                     const Slot* s = static_cast<Slot*>(data);
                                     const ControlView* view = s->backend->controlIn(s->window, s->index);
                                     if (view != nullptr) gtk::drawChart(self, cr, view->chart);
                                     return FALSE;
                                 }),
                                 slot);
                break;
        }
        if (w.placed == nullptr) w.placed = w.main;
        return w;
    }

    // Enter in a window without a default button is OK, as in Windows'
    // dialogs (a property sheet's OK): the entry took the key first.
    static void enterInEntry(GtkEntry* entry, gpointer) {
        GtkWidget* toplevel = gtk_widget_get_toplevel(GTK_WIDGET(entry));
        if (!GTK_IS_WINDOW(toplevel) || gtk_window_get_default_widget(GTK_WINDOW(toplevel)) != nullptr) return;
        const auto window = static_cast<WindowHandle>(GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(toplevel), "tavrel-window")));
        if (window != kNoWindow) postCommand(window, kIdOk);
    }

    // A digit is taken; a dot moves on to the next field, as in Windows'
    // address control; anything else is refused.
    static void addressInsert(GtkEditable* editable, const gchar* text, gint length, gint*, gpointer) {
        const std::string typed(text, length < 0 ? std::strlen(text) : static_cast<size_t>(length));
        const bool digits = !typed.empty() && std::all_of(typed.begin(), typed.end(),
                                                          [](char c) { return c >= '0' && c <= '9'; });
        if (digits) return;
        g_signal_stop_emission_by_name(editable, "insert-text");
        if (typed == ".") {
            GtkWidget* self = GTK_WIDGET(editable);
            GtkWidget* toplevel = gtk_widget_get_toplevel(self);
            if (GPOINTER_TO_INT(g_object_get_data(G_OBJECT(self), "tavrel-field")) < 3 && GTK_IS_WINDOW(toplevel)) {
                gtk_widget_child_focus(toplevel, GTK_DIR_TAB_FORWARD);
            }
        }
    }

    // A number above 255 is refused with a message, as Windows' address
    // control refuses it, rather than taken as 255.
    void refuseAddressField(const Slot& s, size_t field, const std::string& number) {
        struct Refusal {
            GtkBackend* backend;
            WindowHandle window;
            size_t index;
            size_t field;
            std::string number;
        };
        auto* refusal = new Refusal{this, s.window, s.index, field, number};
        g_idle_add(+[](gpointer data) -> gboolean {
            std::unique_ptr<Refusal> r(static_cast<Refusal*>(data));
            auto it = r->backend->mirrors_.find(r->window);
            if (it == r->backend->mirrors_.end() || r->index >= it->second.controls.size()) return G_SOURCE_REMOVE;
            const std::vector<GtkWidget*>& fields = it->second.controls[r->index].fields;
            if (r->field < fields.size()) {
                gtk_entry_set_text(GTK_ENTRY(fields[r->field]), "");
                gtk_widget_grab_focus(fields[r->field]);
            }
            r->backend->messageBox(r->window,
                                   r->number + " is not a valid entry. Please specify a value between 0 and 255.",
                                   "Invalid Entry", MessageBoxKind::Error);
            return G_SOURCE_REMOVE;
        },
                   refusal);
    }

    // How much wider and taller than the template a window's units must be
    // so that every button's, check box's and frame's text fits (labels
    // wrap instead).
    std::pair<double, double> stretchFor(const WindowView& v, const Mirror& mirror, const DialogUnits& units) {
        double stretchX = 1, stretchY = 1;
        for (size_t i = 0; i < v.controls.size(); ++i) {
            const ControlView& c = v.controls[i];
            const Widgets& w = mirror.controls[i];
            const ControlKind kind = c.layout.kind;
            if (w.placed == nullptr || kind == ControlKind::ListView || kind == ControlKind::Chart ||
                kind == ControlKind::Icon || kind == ControlKind::Label || kind == ControlKind::SunkenStatic ||
                kind == ControlKind::Tab) {
                continue;
            }
            int minimumW = 0, naturalW = 0, minimumH = 0, naturalH = 0;
            gtk_widget_get_preferred_width(w.placed, &minimumW, &naturalW);
            gtk_widget_get_preferred_height(w.placed, &minimumH, &naturalH);
            const int width = units.x(controlWidthUnits(v, i));
            const int height = units.y(kind == ControlKind::ComboBox ? kComboUnits : c.layout.height);
            const bool text = takesAccessKey(kind) || kind == ControlKind::GroupBox;
            if (width > 0) stretchX = std::max(stretchX, (text ? naturalW : minimumW) / static_cast<double>(width));
            if (height > 0 && kind != ControlKind::GroupBox) {
                stretchY = std::max(stretchY, minimumH / static_cast<double>(height));
            }
        }
        return {std::min(stretchX, kMaxStretch), std::min(stretchY, kMaxStretch)};
    }

    // Puts every control where its template says, in the mirror's units.
    void place(const WindowView& v, Mirror& mirror) {
        const DialogUnits& units = mirror.units;
        for (size_t i = 0; i < v.controls.size(); ++i) {
            Widgets& w = mirror.controls[i];
            if (w.placed == nullptr) continue;
            const ControlTemplate& t = v.controls[i].layout;
            const int height = t.kind == ControlKind::ComboBox ? kComboUnits : t.height;
            gtk_widget_set_size_request(w.placed, std::max(1, units.x(controlWidthUnits(v, i))),
                                        std::max(1, units.y(height)));
            gtk_fixed_move(GTK_FIXED(mirror.fixed), w.placed, units.x(t.x), units.y(t.y));
        }
        if (mirror.notebook != nullptr) {
            // The notebook covers the sheet down to its buttons.
            int buttonsTop = v.height;
            for (const ControlView& c : v.controls) {
                if (c.layout.kind != ControlKind::Tab) buttonsTop = std::min(buttonsTop, c.layout.y);
            }
            gtk_widget_set_size_request(mirror.notebook, units.x(v.width),
                                        units.y(std::max(buttonsTop - 2, kTabRowUnits)));
        }
        if (mirror.toplevel == nullptr) return;
        // The window holds every control whole, also one whose template
        // leaves it no margin at the window's edge (a sheet's buttons).
        int width = units.x(v.width), height = units.y(v.height);
        for (size_t i = 0; i < v.controls.size(); ++i) {
            GtkWidget* placed = mirror.controls[i].placed;
            if (placed == nullptr) continue;
            const ControlTemplate& t = v.controls[i].layout;
            int minimumW = 0, naturalW = 0, minimumH = 0, naturalH = 0, requestW = 0, requestH = 0;
            gtk_widget_get_preferred_width(placed, &minimumW, &naturalW);
            gtk_widget_get_preferred_height(placed, &minimumH, &naturalH);
            gtk_widget_get_size_request(placed, &requestW, &requestH);
            width = std::max(width, units.x(t.x) + std::max(requestW, minimumW) + kEdgePixels);
            height = std::max(height, units.y(t.y) + std::max(requestH, minimumH) + kEdgePixels);
        }
        gtk_widget_set_size_request(mirror.fixed, width, height);
    }

    // An edit with an up-down after it takes the up-down's place too: the
    // two are one spin button.
    static int controlWidthUnits(const WindowView& v, size_t i) {
        const ControlTemplate& t = v.controls[i].layout;
        if (t.kind == ControlKind::Edit && i + 1 < v.controls.size() &&
            v.controls[i + 1].layout.kind == ControlKind::UpDown) {
            // Only an up-down that touches its edit: one placed elsewhere
            // leaves the controls between them alone.
            const ControlTemplate& spin = v.controls[i + 1].layout;
            // (A unit short of its right edge: a text may follow right after.)
            if (spin.x >= t.x && spin.x <= t.x + t.width + 2) {
                return std::max(t.x + t.width, spin.x + spin.width - 2) - t.x;
            }
        }
        return t.width;
    }

    bool create(const WindowView& v, Mirror& mirror) {
        const bool page = v.embeddedIn != kNoWindow;
        Mirror* sheet = nullptr;
        if (page) {
            const auto it = mirrors_.find(v.embeddedIn);
            if (it == mirrors_.end() || it->second.notebook == nullptr) return false;
            sheet = &it->second;
        }
        mirror.fixed = gtk_fixed_new();
        g_object_ref_sink(mirror.fixed);
        gtk_style_context_add_class(gtk_widget_get_style_context(mirror.fixed), "tavrel-dialog");
        std::vector<GSList*> radioGroups;
        for (size_t i = 0; i < v.controls.size(); ++i) {
            mirror.controls.push_back(makeControl(mirror, v, i, radioGroups));
            if (mirror.controls.back().placed != nullptr) {
                gtk_fixed_put(GTK_FIXED(mirror.fixed), mirror.controls.back().placed, 0, 0);
            }
        }
        std::vector<size_t> tabs;
        for (size_t i = 0; i < v.controls.size(); ++i) {
            if (v.controls[i].layout.kind == ControlKind::Tab) tabs.push_back(i);
        }
        if (!tabs.empty()) {
            mirror.notebook = gtk_notebook_new();
            gtk_notebook_set_scrollable(GTK_NOTEBOOK(mirror.notebook), TRUE);
            for (size_t i : tabs) {
                GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
                gtk_notebook_append_page(GTK_NOTEBOOK(mirror.notebook), box, gtk_label_new(v.controls[i].text.c_str()));
                mirror.tabBoxes.push_back(box);
                mirror.tabIds.push_back(v.controls[i].layout.id);
            }
            gtk_fixed_put(GTK_FIXED(mirror.fixed), mirror.notebook, 0, 0);
            g_signal_connect(mirror.notebook, "switch-page",
                             asCallback(+[](GtkNotebook*, GtkWidget*, guint index, gpointer data) {
                                 const Slot* s = static_cast<Slot*>(data);
                                 s->backend->tabChosen(s->window, index);
                             }),
                             slotFor(mirror, v.handle, 0, -1));
        }
        if (page) {
            // Behind the tab the model shows now: pages are made when first shown.
            mirror.sheet = v.embeddedIn;
            mirror.tab = 0;
            for (size_t t = 0; t < sheet->tabIds.size(); ++t) {
                for (const ControlView& c : sheet->last.controls) {
                    if (c.layout.id == sheet->tabIds[t] && c.checked) mirror.tab = static_cast<int>(t);
                }
            }
            gtk_box_pack_start(GTK_BOX(sheet->tabBoxes[static_cast<size_t>(mirror.tab)]), mirror.fixed, TRUE, TRUE, 0);
        } else {
            mirror.toplevel = gtk_window_new(GTK_WINDOW_TOPLEVEL);
            g_object_ref_sink(mirror.toplevel);
            g_object_set_data(G_OBJECT(mirror.toplevel), "tavrel-window", GUINT_TO_POINTER(v.handle));
            gtk_window_set_resizable(GTK_WINDOW(mirror.toplevel), FALSE);
            gtk_window_set_deletable(GTK_WINDOW(mirror.toplevel), v.closeBox ? TRUE : FALSE);
            gtk_window_set_role(GTK_WINDOW(mirror.toplevel), v.name.c_str());
            gtk_container_add(GTK_CONTAINER(mirror.toplevel), mirror.fixed);
            connectWindowSignals(mirror, v.handle);
        }
        // Texts first, in place (the style applies there): the layout
        // measures them.
        for (size_t i = 0; i < v.controls.size(); ++i) applyText(mirror, v, i);
        const DialogUnits base = page ? sheet->units : units_;
        const auto [stretchX, stretchY] = stretchFor(v, mirror, base);
        mirror.units = base;
        mirror.units.charWidth *= stretchX;
        mirror.units.lineHeight *= stretchY;
        place(v, mirror);
        if (page && (mirror.units.charWidth > sheet->units.charWidth || mirror.units.lineHeight > sheet->units.lineHeight)) {
            // A page that needs more room than its sheet gave widens the
            // sheet with it, so that the page fits above the buttons.
            sheet->units = mirror.units;
            place(sheet->last, *sheet);
        }
        // Tab goes through the controls in the template's order, as in
        // Windows' dialogs (GTK's own order follows their places); a sheet's
        // tabs (and the page behind them) come first.
        GList* chain = nullptr;
        for (const Widgets& w : mirror.controls) {
            if (w.placed != nullptr) chain = g_list_append(chain, w.placed);
        }
        if (mirror.notebook != nullptr) chain = g_list_prepend(chain, mirror.notebook);
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        gtk_container_set_focus_chain(GTK_CONTAINER(mirror.fixed), chain);
        G_GNUC_END_IGNORE_DEPRECATIONS
        g_list_free(chain);
        gtk_widget_show_all(mirror.fixed);
        for (const Widgets& w : mirror.controls) {
            if (w.popover != nullptr) gtk_widget_hide(w.popover);
        }
        return true;
    }

    void connectWindowSignals(Mirror& mirror, WindowHandle window) {
        Slot* slot = slotFor(mirror, window, 0, -1);
        g_signal_connect(mirror.toplevel, "delete-event", asCallback(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                             postMessage(static_cast<Slot*>(data)->window, WindowMessage{MessageKind::Close});
                             return TRUE;
                         }),
                         slot);
        g_signal_connect_after(mirror.toplevel, "key-press-event",
                               asCallback(+[](GtkWidget*, GdkEventKey* event, gpointer data) -> gboolean {
                                   const Slot* s = static_cast<Slot*>(data);
                                   if ((event->state & (GDK_CONTROL_MASK | GDK_MOD1_MASK)) != 0) return FALSE;
                                   s->backend->keyUnhandled(s->window, event->keyval);
                                   return FALSE;
                               }),
                               slot);
        gtk_widget_add_events(mirror.toplevel, GDK_BUTTON_RELEASE_MASK);
        g_signal_connect(mirror.toplevel, "button-release-event",
                         asCallback(+[](GtkWidget*, GdkEventButton* event, gpointer data) -> gboolean {
                             if (event->button != 3) return FALSE;
                             postMessage(static_cast<Slot*>(data)->window, WindowMessage{MessageKind::RightButtonUp});
                             return TRUE;
                         }),
                         slot);
        g_signal_connect(mirror.toplevel, "window-state-event",
                         asCallback(+[](GtkWidget*, GdkEventWindowState* event, gpointer data) -> gboolean {
                             const Slot* s = static_cast<Slot*>(data);
                             if ((event->changed_mask & GDK_WINDOW_STATE_ICONIFIED) == 0) return FALSE;
                             const bool iconified = (event->new_window_state & GDK_WINDOW_STATE_ICONIFIED) != 0;
                             const ShowCommand shown = windowShowState(s->window);
                             if (iconified && shown == ShowCommand::Normal) showWindow(s->window, ShowCommand::Minimised);
                             if (!iconified && shown == ShowCommand::Minimised) showWindow(s->window, ShowCommand::Normal);
                             return FALSE;
                         }),
                         slot);
    }

    // The text of control i as the model holds it.
    void applyText(Mirror& mirror, const WindowView& v, size_t i) {
        const ControlView& c = v.controls[i];
        Widgets& w = mirror.controls[i];
        switch (c.layout.kind) {
            case ControlKind::PushButton:
            case ControlKind::DefaultPushButton:
            case ControlKind::CheckBox:
            case ControlKind::RadioButton:
                gtk_button_set_label(GTK_BUTTON(w.main), accessKeyText(v.controls, i, '_').c_str());
                break;
            case ControlKind::Label: gtk_label_set_text(GTK_LABEL(w.main), c.text.c_str()); break;
            case ControlKind::SunkenStatic: gtk_label_set_text(GTK_LABEL(w.label), c.text.c_str()); break;
            case ControlKind::GroupBox: gtk_frame_set_label(GTK_FRAME(w.main), c.text.c_str()); break;
            case ControlKind::Edit:
                // Typing changed the model from here: the caret stays.
                if (c.text != gtk_entry_get_text(GTK_ENTRY(w.main))) gtk_entry_set_text(GTK_ENTRY(w.main), c.text.c_str());
                break;
            case ControlKind::IpAddress: {
                const std::vector<std::string> fields = addressFields(c.text);
                for (size_t f = 0; f < w.fields.size(); ++f) {
                    if (fields[f] != gtk_entry_get_text(GTK_ENTRY(w.fields[f]))) {
                        gtk_entry_set_text(GTK_ENTRY(w.fields[f]), fields[f].c_str());
                    }
                }
                break;
            }
            case ControlKind::Tab:
                for (size_t t = 0; t < mirror.tabIds.size(); ++t) {
                    GtkWidget* title = mirror.tabIds[t] == c.layout.id
                                           ? gtk_notebook_get_tab_label(GTK_NOTEBOOK(mirror.notebook), mirror.tabBoxes[t])
                                           : nullptr;
                    if (title != nullptr && GTK_IS_LABEL(title)) gtk_label_set_text(GTK_LABEL(title), c.text.c_str());
                }
                break;
            default: break;
        }
    }

    void sync(const WindowView& v) {
        Mirror& mirror = mirrors_[v.handle];
        if (mirror.fixed == nullptr && !create(v, mirror)) {
            mirrors_.erase(v.handle);
            windowChanged(v.handle);  // a page whose sheet is not made yet: next time
            return;
        }
        const WindowView* before = mirror.made ? &mirror.last : nullptr;
        const bool page = mirror.toplevel == nullptr;
        if (!page && (before == nullptr || before->caption != v.caption)) {
            gtk_window_set_title(GTK_WINDOW(mirror.toplevel), v.caption.c_str());
        }
        for (size_t i = 0; i < v.controls.size() && i < mirror.controls.size(); ++i) {
            const ControlView* was = before != nullptr && i < before->controls.size() ? &before->controls[i] : nullptr;
            syncControl(mirror, v, i, was);
        }
        if (mirror.notebook != nullptr) {
            for (size_t t = 0; t < mirror.tabIds.size(); ++t) {
                for (const ControlView& c : v.controls) {
                    if (c.layout.id == mirror.tabIds[t] && c.checked &&
                        gtk_notebook_get_current_page(GTK_NOTEBOOK(mirror.notebook)) != static_cast<int>(t)) {
                        gtk_notebook_set_current_page(GTK_NOTEBOOK(mirror.notebook), static_cast<int>(t));
                    }
                }
            }
        }
        syncTray(mirror, v);
        if (page) {
            gtk_widget_set_visible(mirror.fixed, v.show == ShowCommand::Normal);
        } else {
            syncShow(mirror, v, before);
        }
        mirror.last = v;
        mirror.made = true;
    }

    void syncShow(Mirror& mirror, const WindowView& v, const WindowView* before) {
        GtkWindow* window = GTK_WINDOW(mirror.toplevel);
        if (before == nullptr || before->topmost != v.topmost) gtk_window_set_keep_above(window, v.topmost ? TRUE : FALSE);
        if (before == nullptr || before->show != v.show) {
            if (v.show == ShowCommand::Hidden) {
                gtk_widget_hide(mirror.toplevel);
            } else {
                if (before == nullptr || before->show == ShowCommand::Hidden) placeNear(mirror, v);
                if (v.show == ShowCommand::Minimised) {
                    gtk_window_iconify(window);
                    gtk_widget_show(mirror.toplevel);
                } else {
                    gtk_window_deiconify(window);
                    gtk_window_present(window);
                }
            }
        } else if (v.foreground && v.show == ShowCommand::Normal) {
            gtk_window_present(window);
        }
    }

    // A window opened from another stays in front of it, over its middle.
    void placeNear(Mirror& mirror, const WindowView& v) {
        WindowHandle owner = v.owner;
        if (v.modal && owner == kNoWindow) owner = newestShownBefore(v.handle);
        GtkWidget* parent = owner != kNoWindow ? toplevelOf(owner) : nullptr;
        if (parent != nullptr && parent != mirror.toplevel) {
            gtk_window_set_transient_for(GTK_WINDOW(mirror.toplevel), GTK_WINDOW(parent));
            gtk_window_set_position(GTK_WINDOW(mirror.toplevel), GTK_WIN_POS_CENTER_ON_PARENT);
        } else {
            gtk_window_set_position(GTK_WINDOW(mirror.toplevel), GTK_WIN_POS_CENTER);
        }
    }

    WindowHandle newestShownBefore(WindowHandle self) {
        WindowHandle found = kNoWindow;
        for (const auto& [handle, mirror] : mirrors_) {
            if (handle == self || mirror.toplevel == nullptr || !mirror.made) continue;
            if (mirror.last.show != ShowCommand::Hidden) found = handle;
        }
        return found;
    }

    void syncControl(Mirror& mirror, const WindowView& v, size_t i, const ControlView* was) {
        const ControlView& c = v.controls[i];
        Widgets& w = mirror.controls[i];
        const ControlKind kind = c.layout.kind;
        if (kind == ControlKind::UpDown) {
            if (w.spinFor >= 0 && (was == nullptr || was->low != c.low || was->high != c.high)) {
                GtkWidget* spin = mirror.controls[static_cast<size_t>(w.spinFor)].main;
                const std::string text = gtk_entry_get_text(GTK_ENTRY(spin));
                gtk_spin_button_set_range(GTK_SPIN_BUTTON(spin), c.low, c.high);
                gtk_entry_set_text(GTK_ENTRY(spin), text.c_str());  // the range leaves the text as typed
            }
            return;
        }
        if (w.placed == nullptr) return;
        // A button's access key depends on the texts before it too.
        if (was == nullptr || was->text != c.text ||
            (takesAccessKey(kind) && accessKeyText(v.controls, i, '_') != gtk_button_get_label(GTK_BUTTON(w.main)))) {
            applyText(mirror, v, i);
        }
        if (was == nullptr || was->enabled != c.enabled) enable(mirror, w.placed, c.enabled);
        if ((kind == ControlKind::CheckBox || kind == ControlKind::RadioButton) &&
            gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w.main)) != (c.checked ? TRUE : FALSE)) {
            if (c.checked || kind == ControlKind::CheckBox) {
                gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w.main), c.checked ? TRUE : FALSE);
            }
        }
        if (kind == ControlKind::DefaultPushButton && was == nullptr && mirror.toplevel != nullptr) {
            gtk_widget_set_can_default(w.main, TRUE);
            gtk_window_set_default(GTK_WINDOW(mirror.toplevel), w.main);
        }
        if (was == nullptr ? c.shield : was->shield != c.shield) {
            if (c.shield) {
                gtk_button_set_image(GTK_BUTTON(w.main),
                                     gtk_image_new_from_icon_name("dialog-password-symbolic", GTK_ICON_SIZE_MENU));
                gtk_button_set_always_show_image(GTK_BUTTON(w.main), TRUE);
            } else {
                gtk_button_set_image(GTK_BUTTON(w.main), nullptr);
            }
        }
        if (was == nullptr || was->tooltip != c.tooltip) {
            gtk_widget_set_tooltip_text(w.placed, c.tooltip.empty() ? nullptr : c.tooltip.c_str());
        }
        switch (kind) {
            case ControlKind::ComboBox:
                if (was == nullptr || was->items != c.items) {
                    gtk_combo_box_text_remove_all(GTK_COMBO_BOX_TEXT(w.main));
                    for (const std::string& item : c.items) gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(w.main), item.c_str());
                }
                if (gtk_combo_box_get_active(GTK_COMBO_BOX(w.main)) != c.selection) {
                    gtk_combo_box_set_active(GTK_COMBO_BOX(w.main), c.selection);
                }
                break;
            case ControlKind::DatePicker:
                if (was == nullptr || !sameDate(was->date, c.date)) {
                    gtk_button_set_label(GTK_BUTTON(w.main), dateText(c.date).c_str());
                    if (c.date.year >= 1 && c.date.month >= 1) {
                        gtk_calendar_select_month(GTK_CALENDAR(w.calendar), c.date.month - 1u, c.date.year);
                        gtk_calendar_select_day(GTK_CALENDAR(w.calendar), c.date.day);
                    }
                }
                break;
            case ControlKind::ListView: syncListView(w, c, was); break;
            case ControlKind::Chart:
                if (was == nullptr || !(was->chart == c.chart)) gtk_widget_queue_draw(w.main);
                break;
            default: break;
        }
    }

    // Greying the control that has the focus would leave the window
    // without one: the focus moves on first, as Windows' dialog manager
    // moves it.
    void enable(Mirror& mirror, GtkWidget* widget, bool enabled) {
        if (!enabled && mirror.toplevel != nullptr) {
            GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(mirror.toplevel));
            if (focus != nullptr && (focus == widget || gtk_widget_is_ancestor(focus, widget))) {
                gtk_widget_child_focus(mirror.toplevel, GTK_DIR_TAB_FORWARD);
            }
        }
        gtk_widget_set_sensitive(widget, enabled ? TRUE : FALSE);
    }

    void syncListView(Widgets& w, const ControlView& c, const ControlView* was) {
        GtkTreeView* view = GTK_TREE_VIEW(w.main);
        const int columns = std::max<int>(1, static_cast<int>(c.items.size()));
        if (was == nullptr || was->items != c.items) {
            while (GtkTreeViewColumn* column = gtk_tree_view_get_column(view, 0)) gtk_tree_view_remove_column(view, column);
            std::vector<GType> types(static_cast<size_t>(columns), G_TYPE_STRING);
            if (w.store != nullptr) g_object_unref(w.store);
            w.store = gtk_list_store_newv(columns, types.data());
            w.columns = columns;
            gtk_tree_view_set_model(view, GTK_TREE_MODEL(w.store));
            for (int i = 0; i < columns; ++i) {
                const char* title = i < static_cast<int>(c.items.size()) ? c.items[static_cast<size_t>(i)].c_str() : "";
                GtkTreeViewColumn* column =
                    gtk_tree_view_column_new_with_attributes(title, gtk_cell_renderer_text_new(), "text", i, nullptr);
                gtk_tree_view_column_set_resizable(column, TRUE);
                gtk_tree_view_column_set_expand(column, i == 0 ? TRUE : FALSE);
                gtk_tree_view_append_column(view, column);
            }
            was = nullptr;
        }
        if (was != nullptr && was->rows == c.rows) return;
        // Rows are changed in place where they are there already, so the
        // list keeps its scroll position and selection.
        GtkTreeModel* model = GTK_TREE_MODEL(w.store);
        GtkTreeIter iter;
        bool valid = gtk_tree_model_get_iter_first(model, &iter) != FALSE;
        for (const std::vector<std::string>& row : c.rows) {
            if (!valid) gtk_list_store_append(w.store, &iter);
            for (int col = 0; col < w.columns; ++col) {
                const std::string cell = static_cast<size_t>(col) < row.size() ? row[static_cast<size_t>(col)] : "";
                gchar* current = nullptr;
                if (valid) gtk_tree_model_get(model, &iter, col, &current, -1);
                if (!valid || current == nullptr || cell != current) gtk_list_store_set(w.store, &iter, col, cell.c_str(), -1);
                g_free(current);
            }
            valid = valid && gtk_tree_model_iter_next(model, &iter) != FALSE;
            if (!valid) continue;
        }
        if (valid) {
            while (gtk_list_store_remove(w.store, &iter) != FALSE) {
            }
        }
    }

    // While a modal window shows, only it (and the windows opened from it)
    // takes input.
    void applyModality(const std::vector<WindowView>& views) {
        const std::vector<bool> taking = windowsTakingInput(views);
        for (size_t i = 0; i < views.size(); ++i) {
            const auto it = mirrors_.find(views[i].handle);
            if (it == mirrors_.end() || it->second.toplevel == nullptr) continue;
            GtkWidget* content = it->second.fixed;
            if ((gtk_widget_get_sensitive(content) != FALSE) != taking[i]) {
                gtk_widget_set_sensitive(content, taking[i] ? TRUE : FALSE);
            }
        }
    }

    void syncTray(Mirror& mirror, const WindowView& v) {
        if (!v.trayIcon) {
            if (mirror.tray != nullptr) mirror.tray->hide();
            mirror.trayShown = false;
            return;
        }
        if (mirror.tray == nullptr) {
            const WindowHandle window = v.handle;
            mirror.tray = std::make_unique<gtk::TrayEntry>([this, window](int command) { trayActivated(window, command); });
        }
        if (!mirror.trayShown || mirror.trayTip != v.trayTip) trayMenusDue_.insert(v.handle);
        mirror.tray->show(v.trayTip);
        mirror.trayShown = true;
        mirror.trayTip = v.trayTip;
    }

    // The tray entry's menu is the window's own popup menu, asked of the
    // window as a right click on the entry would ask it.
    void refreshTrayMenu(WindowHandle window) {
        const auto it = mirrors_.find(window);
        if (it == mirrors_.end() || it->second.tray == nullptr) return;
        capturingMenu_ = true;
        captured_.clear();
        (void)deliverMessage(window, WindowMessage{MessageKind::RightButtonUp});
        capturingMenu_ = false;
        const auto again = mirrors_.find(window);
        if (again != mirrors_.end() && again->second.tray != nullptr) again->second.tray->setMenu(captured_);
    }

    std::mutex dirtyMutex_;
    std::set<WindowHandle> dirty_;
    std::map<WindowHandle, Mirror> mirrors_;
    std::set<WindowHandle> trayMenusDue_;
    bool syncing_ = false;
    bool capturingMenu_ = false;
    std::vector<MenuItem> captured_;
    guint wakeSource_ = 0;
    GtkWidget* probe_ = nullptr;
    DialogUnits units_;
};

}  // namespace

bool desktopAvailable() {
    static const bool available = [] {
        // GTK's own messages about a display it cannot open stay quiet: the
        // terminal window is chosen instead.
        return gtk_init_check(nullptr, nullptr) != FALSE;
    }();
    return available;
}

std::unique_ptr<DialogBackend> makeGtkBackend() {
    if (!desktopAvailable()) return nullptr;
    return std::make_unique<GtkBackend>();
}

}  // namespace tavrel::gui
