#include "gui/access_keys.h"

#include <cctype>

namespace tavrel::gui {

bool takesAccessKey(ControlKind kind) {
    return kind == ControlKind::PushButton || kind == ControlKind::DefaultPushButton ||
           kind == ControlKind::CheckBox || kind == ControlKind::RadioButton;
}

std::string accessKeyText(const std::vector<ControlView>& controls, size_t index, char mark) {
    std::string used;
    for (size_t i = 0; i < controls.size() && i <= index; ++i) {
        if (!takesAccessKey(controls[i].layout.kind)) continue;
        const std::string& text = controls[i].text;
        size_t key = std::string::npos;
        for (size_t j = 0; j < text.size() && key == std::string::npos; ++j) {
            const auto ch = static_cast<unsigned char>(text[j]);
            const char lower = static_cast<char>(std::tolower(ch));
            if (std::isalnum(ch) != 0 && used.find(lower) == std::string::npos) key = j;
        }
        if (key != std::string::npos) used += static_cast<char>(std::tolower(static_cast<unsigned char>(text[key])));
        if (i != index) continue;
        std::string shown;
        for (size_t j = 0; j < text.size(); ++j) {
            if (j == key) shown += mark;
            shown += text[j];
            if (text[j] == mark) shown += mark;
        }
        return shown;
    }
    return index < controls.size() ? controls[index].text : std::string();
}

}  // namespace tavrel::gui
