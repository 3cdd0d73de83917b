#include "gui/modality.h"

#include <algorithm>

namespace tavrel::gui {

std::vector<bool> windowsTakingInput(const std::vector<WindowView>& views) {
    WindowHandle newestModal = kNoWindow;
    for (const WindowView& v : views) {
        if (v.modal && v.embeddedIn == kNoWindow && v.show != ShowCommand::Hidden) newestModal = v.handle;
    }
    auto ownedByModal = [&](const WindowView& v) {
        WindowHandle owner = v.owner;
        for (size_t hops = 0; owner != kNoWindow && hops < views.size(); ++hops) {
            if (owner == newestModal) return true;
            const auto it =
                std::find_if(views.begin(), views.end(), [owner](const WindowView& w) { return w.handle == owner; });
            owner = it != views.end() ? it->owner : kNoWindow;
        }
        return false;
    };
    std::vector<bool> taking;
    for (const WindowView& v : views) {
        taking.push_back(v.embeddedIn != kNoWindow || newestModal == kNoWindow || v.handle == newestModal ||
                         ownedByModal(v));
    }
    return taking;
}

}  // namespace tavrel::gui
