// The server list "ServFile.txt": one host name or dotted-quad address per
// line, read afresh at every pick so that an edit takes effect at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "storage/text_lines.h"

namespace tavrel {

inline constexpr char kServerFileName[] = "ServFile.txt";

// Set when the list is unusable, so syncs fall back to Manual A; written at
// start-up and by the window thread (the Options sheet's list).
extern std::atomic<int32_t> serverListEmpty;

// Reads list entries one byte at a time: lines of 3 or more characters that
// are no comment; a line over 599 characters is dropped whole, as a cut
// host name would name another host.
class ServerListParser {
public:
    // Takes one byte; true when it completed an entry, then readable as entry().
    bool feed(uint8_t byte);
    std::string_view entry() const;

private:
    TextLineSplitter lines_;
};

// Writes the built-in list when the file is missing from both places.
void ensureServerFile();

// Fill mode: hands every entry, in file order, to insert(index, name).
// Returns 1 when at least one entry was handed out, else 0.
using ServerEntrySink = std::function<void(int index, std::string_view name)>;
int readServerList(const ServerEntrySink& insert);
// The list is unusable (serverListEmpty set).
inline bool serverListUnusable() { return serverListEmpty.load() != 0; }

// Pick mode: entry n (1-based) into name; false when there is none (the
// name is then left unchanged).
bool readServerEntry(int n, std::string& name);

}  // namespace tavrel
