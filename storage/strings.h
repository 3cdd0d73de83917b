// The string table: every user-visible text, in 50-byte slots filled from
// "Strings.txt" (or the built-in default written out when it is missing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "storage/text_lines.h"

namespace tavrel {

inline constexpr size_t kSlotSize = 50;
inline constexpr size_t kSlotCount = 300;
inline constexpr size_t kStringTableSize = kSlotSize * kSlotCount;
inline constexpr int kRequiredSlots = 250;
inline constexpr char kStringsFileName[] = "Strings.txt";

// The table's bytes and, per slot where a text begins, that text's length
// (so a text filling its slots exactly still reads back whole).
struct StringTable {
    char bytes[kStringTableSize] = {};
    uint16_t lengths[kSlotCount] = {};
};

// Assigns the lines of a strings file to slots, one byte at a time.
class StringTableFiller {
public:
    StringTableFiller(StringTable& table, int requiredSlots);
    void feed(uint8_t byte);
    // The next free slot after the last stored line.
    int nextFreeSlot() const { return nextFree_; }
    bool complete() const { return nextFree_ >= required_; }

private:
    StringTable& table_;
    int required_;
    int nextFree_ = 0;
    TextLineSplitter splitter_;
};

// Fills the table from a file's bytes; true when at least requiredSlots
// slots were filled.
bool fillStringTable(std::string_view fileBytes, StringTable& table, int requiredSlots);

// The built-in strings file, CR LF line ends.
std::string defaultStringsFile();

// Replaces DataDirectory + name whole by the built-in default; false (and
// the old file kept) when it could not be written.
[[nodiscard]] bool writeDefaultStrings(const std::string& name);

// Finds and parses the strings file (DataDirectory, then beside the
// program, then the default written out, and when that cannot be written
// the built-in texts). A file with too few texts shows "String File
// Error!" and ends the process.
void loadStringTable(const std::string& name, int requiredSlots, StringTable& table);
// The same search, reporting failure instead of ending the process;
// builtIn tells that no file could be read or written.
[[nodiscard]] bool tryLoadStringTable(const std::string& name, int requiredSlots, StringTable& table,
                                      bool* builtIn = nullptr);

// The process's table. Other threads read it through slot() while the
// Options sheet's Reset may refill it; loadStringTable fills a new table and
// swaps it in whole under a lock.
StringTable& stringTable();
// A copy of the text that begins at slot n.
std::string slot(int n);
// The text that begins at slot n of a given table.
std::string_view slotText(const StringTable& table, int n);

}  // namespace tavrel
