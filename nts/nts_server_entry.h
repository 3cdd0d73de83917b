// A server-list entry asked by NTS: "nts://host" or "nts://host:port", the
// port being NTS-KE's (4460 when omitted); an IPv6 address goes in
// brackets ("nts://[2001:db8::1]:4460"). Free of I/O.
#pragma once

#include <string_view>

#include "nts/nts_client.h"

namespace tavrel {

// True for an entry written with the nts:// scheme (any letter case),
// well-formed or not: such an entry is never asked by SNTP or TIME.
bool isNtsEntry(std::string_view entry);

// Reads an nts:// entry into `out` (host and port; the rest as it was).
// False for another scheme, an empty or malformed host, or a port that is
// not a number from 1 to 65535.
[[nodiscard]] bool parseNtsEntry(std::string_view entry, NtsServer& out);

}  // namespace tavrel
