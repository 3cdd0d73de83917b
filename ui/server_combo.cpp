#include "ui/server_combo.h"

#include "resources/dialogs.h"
#include "servers/server_list.h"
#include "storage/settings.h"

namespace tavrel {

void refreshServerCombo(gui::WindowHandle page) {
    gui::comboReset(page, kIdServerCombo);
    (void)refreshServerList(
        [page](int index, std::string_view name) { gui::comboInsert(page, kIdServerCombo, index, name); });
    if (serverListUnusable() && settings.serverSource.load() == ServerSource::List) {
        settings.serverSource.store(ServerSource::ManualA);
    }
    gui::comboSetSelection(page, kIdServerCombo, settings.selectedServer.load());
}

}  // namespace tavrel
