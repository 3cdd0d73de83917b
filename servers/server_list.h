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
inline constexpr size_t kServerNameSize = 600;

// The server the next query contacts, or the client a time server last
// answered (at most 599 characters).
std::string currentServerName();
void setCurrentServerName(std::string_view name);

// Set when the list is unusable, so syncs fall back to Manual A.
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
// Pick mode: copies entry n (1-based) into the current server name.
// Returns 1 when it exists, else 0 (the name is then left unchanged).
int readServerList(int n);

}  // namespace tavrel
