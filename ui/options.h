// The Options sheet: four pages (Servers, Auto, System, Misc) where every
// setting is edited; each page shows its settings when first shown and
// writes them back when left. The settings are saved when the sheet closes,
// whatever closed it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "gui/dialog.h"

namespace tavrel {

struct WindowProgram;

// Set while the Options sheet is open (written by the window thread).
extern std::atomic<int32_t> optionsOpen;

// Command 101 of the main window.
void openOptions(WindowProgram& program, gui::WindowHandle mainWindow);

// The pieces, for the pages and for tests.
void fillOptionPage(gui::WindowHandle page);
void loadOptionValues(gui::WindowHandle page);
void readServersPage(gui::WindowHandle page);
void readAutoPage(gui::WindowHandle page);
void readSystemPage(gui::WindowHandle page);
void readMiscPage(gui::WindowHandle page);
void applyEnableRules(gui::WindowHandle page);
// A page's click actions; true when the id is one of them.
bool optionClick(gui::WindowHandle page, int id);

// The QuestionBox: true for the yes answer.
bool askQuestion(gui::WindowHandle owner, const std::string& question, const std::string& yes,
                 const std::string& no);

}  // namespace tavrel
