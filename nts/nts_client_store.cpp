#include "nts/nts_client_store.h"

#include <map>
#include <optional>

#include "nts/nts_cookie_file.h"

namespace tavrel {
namespace {

std::mutex storeMutex;
// Process-wide, as the server list: every query of the program shares it.
std::map<std::string, std::shared_ptr<NtsClientSlot>>& store() {
    static std::map<std::string, std::shared_ptr<NtsClientSlot>> slots;
    return slots;
}

bool sameServer(const NtsServer& a, const NtsServer& b) {
    return a.host == b.host && a.port == b.port && a.timeoutMs == b.timeoutMs && a.extraCaFile == b.extraCaFile;
}

// The cookie file as last read or written, so that each change writes it
// from memory instead of reading it first. Guarded by fileMutex, which is
// held across the write: two clients' changes reach the file one after
// the other, each with the other's.
struct CookieFile {
    std::string path;
    KeptNtsKeys kept;
};
std::mutex fileMutex;
CookieFile& cookieFile() {
    static CookieFile file;
    return file;
}

void loadCookieFile(CookieFile& file, const std::string& path) {
    if (file.path == path) return;
    file.path = path;
    file.kept = readNtsCookieFile(path, platform::getSystemTimeAsFileTime());
}

std::optional<NtsKeys> keptKeys(const std::string& path, const std::string& entry) {
    std::lock_guard lock(fileMutex);
    CookieFile& file = cookieFile();
    loadCookieFile(file, path);
    const auto found = file.kept.find(entry);
    if (found == file.kept.end()) return std::nullopt;
    return found->second;
}

void keepKeys(const std::string& path, const std::string& entry, const NtsKeys& keys) {
    std::lock_guard lock(fileMutex);
    CookieFile& file = cookieFile();
    loadCookieFile(file, path);
    if (keys.cookies.empty()) {
        // Nothing to take off when the file holds nothing for the entry.
        if (file.kept.erase(entry) == 0) return;
    } else {
        file.kept[entry] = keys;
    }
    (void)writeNtsCookieFile(path, file.kept);
}

}  // namespace

std::shared_ptr<NtsClientSlot> ntsClientSlot(const std::string& entry, const NtsServer& server,
                                             const std::string& cookieFile) {
    std::lock_guard lock(storeMutex);
    auto& slots = store();
    const auto found = slots.find(entry);
    if (found != slots.end() && sameServer(found->second->server, server)) return found->second;
    if (found == slots.end() && slots.size() >= kMaxNtsClients) {
        // Forget the clients nobody is using; if all are in use, the new one
        // is still made (and the store stays within the queries running).
        std::erase_if(slots, [](const auto& kept) { return kept.second.use_count() == 1; });
    }
    auto slot = std::make_shared<NtsClientSlot>();
    slot->server = server;
    slot->client = std::make_unique<NtsClient>(server);
    if (!cookieFile.empty()) {
        if (std::optional<NtsKeys> kept = keptKeys(cookieFile, entry)) {
            (void)slot->client->restore(std::move(*kept), platform::getSystemTimeAsFileTime());
        }
        slot->client->setKeeper(
            [cookieFile, entry](const NtsKeys& keys) { keepKeys(cookieFile, entry, keys); });
    }
    slots[entry] = slot;
    return slot;
}

}  // namespace tavrel
