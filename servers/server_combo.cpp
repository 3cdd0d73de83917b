#include "servers/server_combo.h"

#include "resources/dialogs.h"
#include "servers/server_list.h"
#include "storage/settings.h"

namespace tavrel {

void refreshServerCombo(gui::WindowHandle page) {
    gui::comboReset(page, kIdServerCombo);
    const int filled = readServerList(
        [page](int index, std::string_view name) { gui::comboInsert(page, kIdServerCombo, index, name); });
    serverListEmpty.store(filled == 0 ? 1 : 0);
    if (serverListEmpty.load() != 0 && settings.serverSource.load() == ServerSource::List) {
        settings.serverSource.store(ServerSource::ManualA);
    }
    gui::comboSetSelection(page, kIdServerCombo, settings.selectedServer.load());
}

}  // namespace tavrel
