// The server list "ServFile.txt": one host name or dotted-quad address per
// line, read afresh at every pick so that an edit takes effect at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/text_lines.h"

namespace tavrel {

inline constexpr char kServerFileName[] = "ServFile.txt";

// Set when the list is unusable, so syncs fall back to Manual A. Process-wide
// because every operation of the process (the engine's, quick mode's) asks
// it; written only by this unit, on the main thread (ensureServerFile at
// start-up, refreshServerList from the window program's Options sheet).
extern std::atomic<int32_t> serverListEmpty;

// Reads list entries one byte at a time: lines of 3 or more characters that
// are no comment and not blank; a line over 599 characters is dropped
// whole, as a cut host name would name another host. A line ends with CR
// LF, CR or LF alone, or the end of the file.
class ServerListParser {
public:
    // Takes one byte; true when it completed an entry, then readable as entry().
    bool feed(uint8_t byte);
    // The end of the file: true when a last line without a line end made an
    // entry.
    bool finish();
    std::string_view entry() const;

private:
    bool lineEnded();
    TextLineSplitter lines_;
    bool afterCr_ = false;
    bool pending_ = false;  // bytes of a line not yet ended
};

// Writes the built-in list when the file is missing (or empty) in both
// places: beside the program, or in the data folder when the program's
// folder cannot be written.
void ensureServerFile();
// The list the user edits: the one in the data folder. An installed
// program's shared list is copied there first, so the user changes a copy of
// their own (the shared one stays read-only); falls back to the list in use
// when no copy can be written.
std::string editableServerFile();

// Reorders the list by the scan's findings: entries by `rank` (lower
// first; equal ranks keep their order; entries the ranking does not name
// after the named), below the lines that are no entries (comments), which
// keep their place at the top. The old list is kept beside it as
// ServFile.bak; both files are written whole. The problem, or empty.
using ServerRanking = std::vector<std::pair<std::string, int64_t>>;
std::string sortServerList(const ServerRanking& rank);

// Fill mode: hands every entry, in file order, to insert(index, name).
// Returns 1 when at least one entry was handed out, else 0.
using ServerEntrySink = std::function<void(int index, std::string_view name)>;
int readServerList(const ServerEntrySink& insert);
// Fill mode for the list the user picks from (the Options sheet): as
// readServerList, and marks the list empty (serverListEmpty) when it gave
// no entry, usable when it gave one.
int refreshServerList(const ServerEntrySink& insert);
// The list is unusable (serverListEmpty set).
inline bool serverListUnusable() { return serverListEmpty.load() != 0; }

// Pick mode: entry n (1-based) into name; false when there is none (the
// name is then left unchanged).
bool readServerEntry(int n, std::string& name);

}  // namespace tavrel
