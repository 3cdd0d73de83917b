#include "gui/terminal/terminal_backend.h"

#include <langinfo.h>
#include <ncurses.h>
#include <unistd.h>

#include <atomic>
#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "gui/terminal/terminal_input.h"
#include "gui/terminal/terminal_screen.h"
#include "gui/terminal/terminal_ui.h"
#include "platform/loop_wait.h"
#include "platform/process.h"

namespace tavrel::gui {
namespace {

bool utf8Locale() {
    std::setlocale(LC_CTYPE, "");
    return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
}

// How each style looks: a colour pair where the terminal has colours, and
// attributes that tell the styles apart on a monochrome terminal too.
struct Look {
    attr_t attributes;      // without colours
    attr_t colourAttributes;  // with colours, beside the pair
    short foreground, background;
};

constexpr short kDefault = -1;

Look lookOf(Style style) {
    switch (style) {
        case Style::Normal: return {A_NORMAL, A_NORMAL, kDefault, kDefault};
        case Style::Frame: return {A_NORMAL, A_NORMAL, COLOR_CYAN, kDefault};
        case Style::Title: return {A_BOLD, A_BOLD, kDefault, kDefault};
        case Style::Button: return {A_NORMAL, A_NORMAL, kDefault, kDefault};
        case Style::DefaultButton: return {A_BOLD, A_BOLD, kDefault, kDefault};
        case Style::Field: return {A_UNDERLINE, A_NORMAL, COLOR_BLACK, COLOR_CYAN};
        case Style::Focus: return {A_REVERSE | A_BOLD, A_BOLD, COLOR_WHITE, COLOR_BLUE};
        case Style::Disabled: return {A_DIM, A_DIM, kDefault, kDefault};
        case Style::Tab: return {A_NORMAL, A_NORMAL, kDefault, kDefault};
        case Style::SelectedTab: return {A_BOLD | A_UNDERLINE, A_BOLD, COLOR_YELLOW, kDefault};
        case Style::Inactive: return {A_DIM, A_DIM, kDefault, kDefault};
        case Style::Tooltip: return {A_DIM, A_NORMAL, COLOR_BLACK, COLOR_YELLOW};
        case Style::Hint: return {A_DIM, A_DIM, kDefault, kDefault};
        case Style::Entry: return {A_REVERSE, A_NORMAL, COLOR_BLACK, COLOR_WHITE};
        case Style::Popup: return {A_NORMAL, A_NORMAL, COLOR_BLACK, COLOR_WHITE};
        case Style::PopupSelected: return {A_REVERSE | A_BOLD, A_BOLD, COLOR_WHITE, COLOR_BLUE};
        case Style::Warning: return {A_BOLD, A_BOLD, COLOR_YELLOW, kDefault};
    }
    return {A_NORMAL, A_NORMAL, kDefault, kDefault};
}

constexpr int kStyles = static_cast<int>(Style::Warning) + 1;

struct KeySequence {
    const char* sequence;
    int code;
};
constexpr KeySequence kHomeAndEnd[] = {{"\033[1~", KEY_HOME}, {"\033[4~", KEY_END}, {"\033[H", KEY_HOME},
                                       {"\033[F", KEY_END},   {"\033OH", KEY_HOME},  {"\033OF", KEY_END},
                                       {"\033[7~", KEY_HOME}, {"\033[8~", KEY_END}};

class TerminalBackend : public DialogBackend {
public:
    TerminalBackend() : ui_(utf8Locale()) {
        initscr();
        cbreak();
        noecho();
        keypad(stdscr, TRUE);
        // Input never blocks: the message loop waits for it with its timers.
        nodelay(stdscr, TRUE);
        set_escdelay(25);
        // Home and End as the common terminals send them, whatever the
        // terminal description says (tmux and rxvt send "\e[1~" and
        // "\e[4~" where an xterm's description has "\eOH" and "\eOF"):
        // unknown, they would read as Escape, which closes the window.
        for (const auto& [sequence, code] : kHomeAndEnd) {
            if (key_defined(sequence) == 0) (void)define_key(sequence, code);
        }
        curs_set(0);
        // Presses and releases both, so a release never waits in curses'
        // buffer to be taken for a second click later.
        // The wheel's notches too, for the lists.
        mousemask(BUTTON1_PRESSED | BUTTON1_RELEASED | BUTTON3_PRESSED | BUTTON3_RELEASED | BUTTON4_PRESSED |
                      BUTTON5_PRESSED,
                  nullptr);
        mouseinterval(0);
        colours_ = has_colors();
        ui_.setCanDim((termattrs() & A_DIM) != 0);
        if (colours_) {
            start_color();
            use_default_colors();
            for (int s = 0; s < kStyles; ++s) {
                const Look look = lookOf(static_cast<Style>(s));
                init_pair(static_cast<short>(s + 1), look.foreground, look.background);
            }
        }
    }
    ~TerminalBackend() override { endwin(); }

    void windowChanged(WindowHandle) override { dirty_.store(true); }
    int inputDescriptor() override { return ended_ ? -1 : STDIN_FILENO; }

    void flush() override {
        if (!dirty_.exchange(false)) return;
        draw();
    }

    void handleInput() override {
        bool any = false;
        // Each key's consequences are handled before the next key, as the
        // messages of a window system arrive in order.
        for (int code = getch(); code != ERR; code = getch()) {
            any = true;
            dirty_.store(true);
            InputEvent event;
            if (code == KEY_MOUSE) {
                MEVENT mouse{};
                if (getmouse(&mouse) == OK) event = decodeMouse(mouse.bstate, mouse.x, mouse.y);
            } else {
                event = decodeKey(code);
            }
            // The size curses knows now: a resize read in this batch counts
            // for the keys after it.
            ui_.setScreenSize(COLS, LINES);
            ui_.handle(event);
            if (!pumpMessages()) return;
        }
        if (!any && platform::loop::inputEnded(STDIN_FILENO)) {
            // The terminal went away: stop watching it, and end the session
            // as a desktop does when the user logs off.
            ended_ = true;
            endSession();
        }
    }

    int trackPopupMenu(WindowHandle window, const std::vector<MenuItem>& items) override {
        const int token = ui_.openMenu(window, items);
        dirty_.store(true);
        if (!runNestedLoop([&] { return !ui_.popupOpen(token); })) ui_.closePopup(token);
        dirty_.store(true);
        return ui_.takeMenuChoice(token);
    }

    void messageBox(WindowHandle owner, std::string_view text, std::string_view caption, MessageBoxKind) override {
        const int token = ui_.openMessage(owner, std::string(text), std::string(caption));
        dirty_.store(true);
        if (!runNestedLoop([&] { return !ui_.popupOpen(token); })) ui_.closePopup(token);
        dirty_.store(true);
    }

    int runInTerminal(const std::vector<std::string>& argv) override {
        if (ended_) return -1;
        def_prog_mode();
        endwin();
        const int status = platform::runInTerminal(argv);
        reset_prog_mode();
        clearok(stdscr, TRUE);
        // A Ctrl-C typed in the program reached this one too; it was meant
        // for the program. The session's end still counts.
        const platform::loop::SessionEvents events = platform::loop::takeSessionEvents();
        if (events.ending) endSession();
        dirty_.store(true);
        draw();
        return status;
    }

private:
    void draw() {
        const Screen& screen = ui_.render(COLS, LINES);
        for (int y = 0; y < screen.height(); ++y) {
            for (int x = 0; x < screen.width(); ++x) {
                const Cell& cell = screen.at(x, y);
                const Look look = lookOf(cell.style);
                wchar_t text[2] = {static_cast<wchar_t>(cell.ch), 0};
                cchar_t c;
                const short pair = colours_ ? static_cast<short>(static_cast<int>(cell.style) + 1) : 0;
                setcchar(&c, text, colours_ ? look.colourAttributes : look.attributes, pair, nullptr);
                mvadd_wch(y, x, &c);
            }
        }
        refresh();  // curses sends only the cells that changed
    }

    TerminalUi ui_;
    std::atomic<bool> dirty_{true};
    bool colours_ = false;
    bool ended_ = false;
};

}  // namespace

bool terminalAvailable() { return isatty(STDIN_FILENO) != 0 && isatty(STDOUT_FILENO) != 0; }

std::unique_ptr<DialogBackend> makeTerminalBackend() { return std::make_unique<TerminalBackend>(); }

}  // namespace tavrel::gui
