#include "storage/strings.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "platform/process.h"
#include "resources/default_strings.h"
#include "storage/data_directory.h"

namespace tavrel {
namespace {

constexpr size_t kMinLineLength = 2;
constexpr char kLineEnd[] = "\r\n";
constexpr char kStringFileError[] = "String File Error!";
constexpr char kStringsNotWritten[] = "Strings.txt could not be written; the built-in texts are used.";
constexpr const char* kErrorCaption = platform::kProgramCaption;

// The string table: every window and thread of the process shows its texts,
// so it is process-wide (loaded at start-up, reloaded by the Reset button).
StringTable processTable;
std::shared_mutex tableMutex;

bool parseFile(platform::File& file, StringTable& table, int requiredSlots) {
    StringTableFiller filler(table, requiredSlots);
    platform::ByteReader reader(file);
    for (int byte = reader.next(); byte >= 0; byte = reader.next()) filler.feed(static_cast<uint8_t>(byte));
    return filler.complete();
}

}  // namespace

StringTableFiller::StringTableFiller(StringTable& table, int requiredSlots)
    : table_(table), required_(requiredSlots) {}

void StringTableFiller::feed(uint8_t byte) {
    if (!splitter_.feed(byte)) return;
    if (splitter_.comment() || splitter_.length() < kMinLineLength) return;
    if (nextFree_ > required_) return;  // beyond the last slot a text may begin at
    // Over-long lines are cut at the splitter's limit.
    const std::string_view text = splitter_.text();
    const size_t extraSlots = (text.size() - 1) / kSlotSize;
    char* at = table_.bytes + static_cast<size_t>(nextFree_) * kSlotSize;
    std::memcpy(at, text.data(), text.size());
    at[text.size()] = '\0';
    table_.lengths[nextFree_] = static_cast<uint16_t>(text.size());
    for (size_t i = 1; i <= extraSlots; ++i) table_.lengths[static_cast<size_t>(nextFree_) + i] = 0;
    nextFree_ += static_cast<int>(extraSlots) + 1;
}

bool fillStringTable(std::string_view fileBytes, StringTable& table, int requiredSlots) {
    StringTableFiller filler(table, requiredSlots);
    for (char c : fileBytes) filler.feed(static_cast<uint8_t>(c));
    return filler.complete();
}

std::string defaultStringsFile() {
    std::string content;
    for (const char* line : kDefaultStringLines) {
        content += line;
        content += kLineEnd;
    }
    return content;
}

bool writeDefaultStrings(const std::string& name) {
    return platform::writeFileReplacing(dataDirectory() + name, defaultStringsFile());
}

bool tryLoadStringTable(const std::string& name, int requiredSlots, StringTable& table, bool* builtIn) {
    if (builtIn != nullptr) *builtIn = false;
    platform::File file = platform::File::openForReading(dataDirectory() + name);
    if (!file.valid()) file = platform::File::openForReading(programDirectory() + name);
    if (!file.valid() && writeDefaultStrings(name)) file = platform::File::openForReading(dataDirectory() + name);
    if (file.valid()) return parseFile(file, table, requiredSlots);
    // Nowhere to read or write one (a full disk, a read-only folder): the
    // built-in texts serve, and the next start writes the file.
    if (builtIn != nullptr) *builtIn = true;
    return fillStringTable(defaultStringsFile(), table, requiredSlots);
}

void loadStringTable(const std::string& name, int requiredSlots, StringTable& table) {
    // Parsed into a table of its own, then copied in whole under the lock,
    // so that readers never see a half-filled table.
    auto fresh = std::make_unique<StringTable>(table);
    bool builtIn = false;
    if (tryLoadStringTable(name, requiredSlots, *fresh, &builtIn)) {
        if (builtIn) platform::messageBox(kStringsNotWritten, kErrorCaption);
        std::unique_lock lock(tableMutex);
        table = *fresh;
        return;
    }
    platform::messageBox(kStringFileError, kErrorCaption);
    platform::exitProcess();
}

StringTable& stringTable() { return processTable; }

std::string_view slotText(const StringTable& table, int n) {
    if (n < 0 || static_cast<size_t>(n) >= kSlotCount) return std::string_view();
    const char* at = table.bytes + static_cast<size_t>(n) * kSlotSize;
    const size_t room = kStringTableSize - static_cast<size_t>(n) * kSlotSize;
    const size_t stored = table.lengths[n];
    if (stored != 0) return std::string_view(at, stored);
    return std::string_view(at, strnlen(at, room));
}

std::string slot(int n) {
    std::shared_lock lock(tableMutex);
    return std::string(slotText(processTable, n));
}

}  // namespace tavrel
