// The Options sheet: four pages (Servers, Auto, System, Misc) where every
// setting is edited; each page shows its settings when first shown and
// writes them back when left. The settings are saved when the sheet closes,
// whatever closed it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/dialog.h"

namespace tavrel {

struct WindowProgram;

// Set while the Options sheet is open (written by the window thread).
extern std::atomic<int32_t> optionsOpen;

// Command 101 of the main window.
void openOptions(WindowProgram& program, platform::WindowHandle mainWindow);

// The pieces, for the pages and for tests.
void fillOptionPage(platform::WindowHandle page);
void loadOptionValues(platform::WindowHandle page);
void readServersPage(platform::WindowHandle page);
void readAutoPage(platform::WindowHandle page);
void readSystemPage(platform::WindowHandle page);
void readMiscPage(platform::WindowHandle page);
void applyEnableRules(platform::WindowHandle page);
// A page's click actions; true when the id is one of them.
bool optionClick(platform::WindowHandle page, int id);

// The QuestionBox: true for the yes answer.
bool askQuestion(platform::WindowHandle owner, const std::string& question, const std::string& yes,
                 const std::string& no);

}  // namespace tavrel
