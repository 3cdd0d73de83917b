#include "servers/server_list.h"

#include <algorithm>
#include <cstdint>
#include <mutex>

#include "platform/file.h"
#include "resources/default_servers.h"
#include "storage/data_directory.h"

namespace tavrel {
namespace {

constexpr size_t kMinEntryLength = 3;

}  // namespace

std::atomic<int32_t> serverListEmpty{0};  // process-wide: see server_list.h

bool ServerListParser::lineEnded() {
    pending_ = false;
    if (!lines_.feed('\r') || lines_.comment() || lines_.length() < kMinEntryLength || lines_.overLong()) return false;
    const std::string_view text = lines_.text();
    return text.find_first_not_of(" \t") != std::string_view::npos;
}

bool ServerListParser::feed(uint8_t byte) {
    const bool afterCr = afterCr_;
    afterCr_ = byte == '\r';
    if (byte == '\r') return lineEnded();
    if (byte == '\n') return afterCr ? false : lineEnded();
    pending_ = true;
    (void)lines_.feed(byte);
    return false;
}

bool ServerListParser::finish() { return pending_ && lineEnded(); }

std::string_view ServerListParser::entry() const { return lines_.text(); }

// A shared list larger than this is not copied for editing.
constexpr size_t kLargestCopiedList = 16 * 1024 * 1024;

void ensureServerFile() {
    const std::string path = resolveDataFile(kServerFileName);
    platform::File existing = platform::File::openForReading(path);
    if (existing.valid() && existing.size() > 0) return;
    existing.close();
    // Written whole or not at all; an installed program's folder is often
    // read-only, and the data folder takes the list then.
    if (platform::writeFileReplacing(path, kDefaultServerList)) return;
    const std::string inData = dataDirectory() + kServerFileName;
    if (inData != path && platform::writeFileReplacing(inData, kDefaultServerList)) return;
    serverListEmpty.store(1);
}

std::string editableServerFile() {
    const std::string inUse = resolveDataFile(kServerFileName);
    const std::string own = dataDirectory() + kServerFileName;
    if (inUse == own || platform::fileReadable(own)) return inUse;
    std::string bytes;
    if (!platform::readSmallFile(inUse, bytes, kLargestCopiedList) || !platform::writeFileReplacing(own, bytes)) {
        return inUse;
    }
    return own;
}

std::string sortServerList(const ServerRanking& rank) {
    const std::string path = editableServerFile();
    std::string bytes;
    if (!platform::readSmallFile(path, bytes, kLargestCopiedList)) return "Cannot read " + path;
    // The file's lines, each an entry or not as the list's reader sees it.
    std::vector<std::string> kept;
    std::vector<std::pair<int64_t, std::string>> entries;
    std::vector<bool> used(rank.size(), false);
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find_first_of("\r\n", start);
        if (end == std::string::npos) end = bytes.size();
        const std::string line = bytes.substr(start, end - start);
        start = end + (bytes.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        ServerListParser parser;
        bool entry = false;
        for (char c : line) entry = parser.feed(static_cast<uint8_t>(c)) || entry;
        entry = parser.finish() || entry;
        if (!entry) {
            if (line.find_first_not_of(" \t") != std::string::npos) kept.push_back(line);
            continue;
        }
        // Each finding counts once, for the first entry of its name.
        int64_t position = INT64_MAX;
        for (size_t i = 0; i < rank.size(); ++i) {
            if (used[i] || rank[i].first != parser.entry()) continue;
            used[i] = true;
            position = rank[i].second;
            break;
        }
        entries.emplace_back(position, line);
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string sorted;
    for (const std::string& line : kept) sorted += line + "\r\n";
    for (const auto& [position, line] : entries) sorted += line + "\r\n";
    const std::string stem = path.size() > 4 && path.compare(path.size() - 4, 4, ".txt") == 0
                                 ? path.substr(0, path.size() - 4)
                                 : path;
    if (!platform::writeFileReplacing(stem + ".bak", bytes)) return "Cannot write " + stem + ".bak";
    if (!platform::writeFileReplacing(path, sorted)) return "Cannot write " + path;
    return std::string();
}

namespace {

// Walks the list's entries until visit returns false; the count handed out.
template <class Visit>
int walkServerList(Visit&& visit) {
    platform::File file = platform::File::openForReading(resolveDataFile(kServerFileName));
    if (!file.valid()) return -1;
    platform::ByteReader reader(file);
    ServerListParser parser;
    int count = 0;
    for (int byte = reader.next(); byte >= 0; byte = reader.next()) {
        if (parser.feed(static_cast<uint8_t>(byte)) && !visit(count++, parser.entry())) return count;
    }
    if (parser.finish()) (void)visit(count++, parser.entry());
    return count;
}

}  // namespace

int readServerList(const ServerEntrySink& insert) {
    const int count = walkServerList([&insert](int index, std::string_view name) {
        insert(index, name);
        return true;
    });
    return count > 0 ? 1 : 0;
}

int refreshServerList(const ServerEntrySink& insert) {
    const int filled = readServerList(insert);
    serverListEmpty.store(filled == 0 ? 1 : 0);
    return filled;
}

bool readServerEntry(int n, std::string& name) {
    if (n < 1) return false;
    bool found = false;
    walkServerList([&](int index, std::string_view entry) {
        if (index + 1 != n) return true;
        name.assign(entry);
        found = true;
        return false;
    });
    return found;
}

}  // namespace tavrel
