// The NTS clients of the entries asked so far, one per entry as written,
// kept in memory for the program's run: their keys and cookies outlive the
// queries that use them, so that a new NTS-KE runs only when the cookies
// are used up (or the server sends an NTS NAK). Given a cookie file, they
// outlive the run too: a new client starts with the keys kept there for
// its entry while they are fresh, and the file follows every change.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "nts/nts_client.h"

namespace tavrel {

struct NtsClientSlot {
    std::mutex use;  // held by the query using the client
    NtsServer server;
    std::unique_ptr<NtsClient> client;
};

// The slot of `entry`: the one kept, or a new one when none is kept or the
// kept one was made for other settings (host, port, time-out, authorities).
// At most kMaxNtsClients are kept; the ones no query holds go first.
// `cookieFile` (empty: none) is where keys are kept across runs; the user
// of a slot calls its client's keepUnsaved() once a query is over.
inline constexpr size_t kMaxNtsClients = 64;
std::shared_ptr<NtsClientSlot> ntsClientSlot(const std::string& entry, const NtsServer& server,
                                             const std::string& cookieFile = std::string());

}  // namespace tavrel
