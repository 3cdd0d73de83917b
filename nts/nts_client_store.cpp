#include "nts/nts_client_store.h"

#include <map>

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

}  // namespace

std::shared_ptr<NtsClientSlot> ntsClientSlot(const std::string& entry, const NtsServer& server) {
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
    slots[entry] = slot;
    return slot;
}

}  // namespace tavrel
