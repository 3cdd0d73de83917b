#include "gui/gtk/gtk_tray.h"

#include <gio/gio.h>
#include <libdbusmenu-glib/menuitem.h>
#include <libdbusmenu-glib/server.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <cstdint>
#include <string>

#include "gui/gtk/gtk_drawing.h"

namespace tavrel::gui::gtk {
namespace {

constexpr char kItemPath[] = "/StatusNotifierItem";
constexpr char kMenuPath[] = "/MenuBar";
constexpr char kWatcherName[] = "org.kde.StatusNotifierWatcher";
constexpr char kWatcherPath[] = "/StatusNotifierWatcher";
constexpr int kCallTimeoutMs = 2000;

constexpr char kIntrospection[] =
    "<node><interface name='org.kde.StatusNotifierItem'>"
    "<property name='Category' type='s' access='read'/>"
    "<property name='Id' type='s' access='read'/>"
    "<property name='Title' type='s' access='read'/>"
    "<property name='Status' type='s' access='read'/>"
    "<property name='WindowId' type='i' access='read'/>"
    "<property name='IconName' type='s' access='read'/>"
    "<property name='IconPixmap' type='a(iiay)' access='read'/>"
    "<property name='ToolTip' type='(sa(iiay)ss)' access='read'/>"
    "<property name='ItemIsMenu' type='b' access='read'/>"
    "<property name='Menu' type='o' access='read'/>"
    "<method name='ContextMenu'><arg name='x' type='i' direction='in'/><arg name='y' type='i' direction='in'/></method>"
    "<method name='Activate'><arg name='x' type='i' direction='in'/><arg name='y' type='i' direction='in'/></method>"
    "<method name='SecondaryActivate'><arg name='x' type='i' direction='in'/><arg name='y' type='i' direction='in'/></method>"
    "<method name='Scroll'><arg name='delta' type='i' direction='in'/><arg name='orientation' type='s' direction='in'/></method>"
    "<signal name='NewTitle'/><signal name='NewIcon'/><signal name='NewToolTip'/>"
    "<signal name='NewStatus'><arg name='status' type='s'/></signal>"
    "</interface></node>";

// Each entry has a bus name of its own: the watcher knows an item by it.
std::atomic<int> entryCount{0};

// The icon as the item's pixmap: ARGB in network byte order.
GVariant* iconPixmaps() {
    GVariantBuilder pixmaps;
    g_variant_builder_init(&pixmaps, G_VARIANT_TYPE("a(iiay)"));
    for (int size : {22, 32, 48}) {
        cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
        cairo_t* cr = cairo_create(surface);
        drawProgramIcon(cr, size);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
        const unsigned char* data = cairo_image_surface_get_data(surface);
        const int stride = cairo_image_surface_get_stride(surface);
        GVariantBuilder bytes;
        g_variant_builder_init(&bytes, G_VARIANT_TYPE("ay"));
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                uint32_t pixel;
                memcpy(&pixel, data + y * stride + x * 4, sizeof pixel);
                for (int shift : {24, 16, 8, 0}) g_variant_builder_add(&bytes, "y", static_cast<guchar>(pixel >> shift));
            }
        }
        g_variant_builder_add(&pixmaps, "(ii@ay)", size, size, g_variant_builder_end(&bytes));
        cairo_surface_destroy(surface);
    }
    return g_variant_builder_end(&pixmaps);
}

std::string menuLabel(const std::string& text) {
    std::string label;
    for (char c : text) {
        if (c == '_') label += '_';
        label += c;
    }
    return label;
}

}  // namespace

struct TrayEntry::State {
    std::function<void(int)> chosen;
    GDBusConnection* bus = nullptr;
    GDBusNodeInfo* node = nullptr;
    guint object = 0;
    guint name = 0;
    guint watch = 0;
    std::string busName;
    std::string title = "Tavrel";
    std::string text;
    DbusmenuServer* menuServer = nullptr;
    DbusmenuMenuitem* root = nullptr;
    std::vector<MenuItem> items;
    bool shown = false;

    GVariant* property(const gchar* property) {
        const std::string p = property;
        if (p == "Category") return g_variant_new_string("ApplicationStatus");
        if (p == "Id") return g_variant_new_string("tavrel");
        if (p == "Title") return g_variant_new_string(title.c_str());
        if (p == "Status") return g_variant_new_string("Active");
        if (p == "WindowId") return g_variant_new_int32(0);
        if (p == "IconName") return g_variant_new_string("");
        if (p == "IconPixmap") return iconPixmaps();
        if (p == "ToolTip") {
            return g_variant_new("(s@a(iiay)ss)", "", g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0),
                                 title.c_str(), text.c_str());
        }
        if (p == "ItemIsMenu") return g_variant_new_boolean(FALSE);
        if (p == "Menu") return g_variant_new_object_path(kMenuPath);
        return nullptr;
    }

    void registerWithWatcher() {
        if (bus == nullptr) return;
        g_dbus_connection_call(bus, kWatcherName, kWatcherPath, kWatcherName, "RegisterStatusNotifierItem",
                               g_variant_new("(s)", busName.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs,
                               nullptr, nullptr, nullptr);
    }

    void emit(const char* signal, GVariant* arguments = nullptr) {
        if (bus == nullptr || object == 0) return;
        g_dbus_connection_emit_signal(bus, nullptr, kItemPath, "org.kde.StatusNotifierItem", signal, arguments, nullptr);
    }

    void start() {
        if (bus == nullptr) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        if (bus == nullptr) return;
        node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
        static const GDBusInterfaceVTable vtable = {
            +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant*,
                GDBusMethodInvocation* invocation, gpointer data) {
                auto* self = static_cast<State*>(data);
                const std::string m = method;
                g_dbus_method_invocation_return_value(invocation, nullptr);
                if (m == "Activate" || m == "SecondaryActivate") self->chosen(kActivated);
            },
            +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property, GError**,
                gpointer data) -> GVariant* { return static_cast<State*>(data)->property(property); },
            nullptr,
            {}};
        object = g_dbus_connection_register_object(bus, kItemPath, node->interfaces[0], &vtable, this, nullptr, nullptr);
        busName = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-" + std::to_string(++entryCount);
        name = g_bus_own_name_on_connection(
            bus, busName.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE,
            +[](GDBusConnection*, const gchar*, gpointer data) { static_cast<State*>(data)->registerWithWatcher(); },
            nullptr, this, nullptr);
        // A watcher that starts (or starts again) later learns of the item too.
        watch = g_bus_watch_name_on_connection(
            bus, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
            +[](GDBusConnection*, const gchar*, const gchar*, gpointer data) {
                static_cast<State*>(data)->registerWithWatcher();
            },
            nullptr, this, nullptr);
        menuServer = dbusmenu_server_new(kMenuPath);
        root = dbusmenu_menuitem_new();
        dbusmenu_server_set_root(menuServer, root);
        rebuildMenu();
        shown = true;
    }

    void stop() {
        if (watch != 0) g_bus_unwatch_name(watch);
        if (name != 0) g_bus_unown_name(name);
        if (object != 0 && bus != nullptr) g_dbus_connection_unregister_object(bus, object);
        if (node != nullptr) g_dbus_node_info_unref(node);
        if (root != nullptr) g_object_unref(root);
        if (menuServer != nullptr) g_object_unref(menuServer);
        watch = name = object = 0;
        node = nullptr;
        root = nullptr;
        menuServer = nullptr;
        shown = false;
    }

    void rebuildMenu() {
        if (root == nullptr) return;
        GList* children = g_list_copy(dbusmenu_menuitem_get_children(root));
        for (GList* child = children; child != nullptr; child = child->next) {
            dbusmenu_menuitem_child_delete(root, DBUSMENU_MENUITEM(child->data));
        }
        g_list_free(children);
        for (const MenuItem& item : items) {
            DbusmenuMenuitem* entry = dbusmenu_menuitem_new();
            if (item.text.empty()) {
                dbusmenu_menuitem_property_set(entry, DBUSMENU_MENUITEM_PROP_TYPE, "separator");
            } else {
                dbusmenu_menuitem_property_set(entry, DBUSMENU_MENUITEM_PROP_LABEL, menuLabel(item.text).c_str());
                g_object_set_data(G_OBJECT(entry), "tavrel-command", GINT_TO_POINTER(item.command));
                g_signal_connect(entry, DBUSMENU_MENUITEM_SIGNAL_ITEM_ACTIVATED,
                                 asCallback(+[](DbusmenuMenuitem* self, guint, gpointer data) {
                                     static_cast<State*>(data)->chosen(
                                         GPOINTER_TO_INT(g_object_get_data(G_OBJECT(self), "tavrel-command")));
                                 }),
                                 this);
            }
            dbusmenu_menuitem_child_append(root, entry);
            g_object_unref(entry);
        }
    }
};

bool trayHostPresent() {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (bus == nullptr) return false;
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "NameHasOwner",
                                                  g_variant_new("(s)", kWatcherName), G_VARIANT_TYPE("(b)"),
                                                  G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, nullptr);
    gboolean owned = FALSE;
    if (reply != nullptr) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
    }
    g_object_unref(bus);
    return owned != FALSE;
}

TrayEntry::TrayEntry(std::function<void(int)> chosen) : state_(std::make_unique<State>()) {
    state_->chosen = std::move(chosen);
}

TrayEntry::~TrayEntry() {
    state_->stop();
    if (state_->bus != nullptr) g_object_unref(state_->bus);
}

void TrayEntry::show(const std::string& tip) {
    const size_t lineEnd = tip.find_first_of("\r\n");
    std::string title = tip.substr(0, lineEnd);
    std::string text;
    if (lineEnd != std::string::npos) {
        text = tip.substr(lineEnd);
        while (!text.empty() && (text.front() == '\r' || text.front() == '\n')) text.erase(0, 1);
        std::string joined;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r') continue;
            joined += text[i];
        }
        text = joined;
    }
    if (!state_->shown) {
        state_->title = title;
        state_->text = text;
        state_->start();
        return;
    }
    const bool titleChanged = title != state_->title;
    const bool textChanged = text != state_->text;
    state_->title = title;
    state_->text = text;
    if (titleChanged) state_->emit("NewTitle");
    if (titleChanged || textChanged) state_->emit("NewToolTip");
}

void TrayEntry::hide() {
    if (state_->shown) state_->stop();
}

void TrayEntry::setMenu(const std::vector<MenuItem>& items) {
    bool same = items.size() == state_->items.size();
    for (size_t i = 0; same && i < items.size(); ++i) {
        same = items[i].text == state_->items[i].text && items[i].command == state_->items[i].command;
    }
    if (same) return;
    state_->items = items;
    state_->rebuildMenu();
}

}  // namespace tavrel::gui::gtk
