// "NtsCookies.dat" in the data directory: each nts:// entry's keys and
// unused cookies, so that the next start asks its server without a new
// NTS-KE (and its certificate check) while they are fresh. Secret: written
// for the owner alone (0600 on Linux), replaced whole, never logged.
//
// Text, a first line "TavrelNtsCookies 1", then one line per entry of
// fields separated by one space:
//   ENTRY GOT AEAD NTP_PORT NTP_HOST C2S S2C COOKIE[,COOKIE...]
// ENTRY and NTP_HOST as hex digits of their bytes, GOT the NTS-KE's UTC as
// whole seconds since 1970-01-01, AEAD and NTP_PORT decimal, the keys and
// cookies as hex digits. A line that is not well formed is passed over;
// beyond kMaxNtsClients entries and kNtsMaxCookies cookies nothing is read.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "nts/nts_client.h"
#include "nts/nts_client_store.h"
#include "platform/time.h"

namespace tavrel {

inline constexpr char kNtsCookieFileName[] = "NtsCookies.dat";
// A larger file is not ours, and is not read at all.
inline constexpr size_t kLargestNtsCookieFile = 512 * 1024;

// Keys by entry, as written in the server list.
using KeptNtsKeys = std::map<std::string, NtsKeys>;

// The file's text; entries without cookies are left out, and beyond
// kMaxNtsClients the ones got longest ago.
std::string formatNtsCookieFile(const KeptNtsKeys& kept);
// The well-formed entries of a file's text (the first of an entry written
// twice), at most kMaxNtsClients.
KeptNtsKeys parseNtsCookieFile(std::string_view text);
// True while keys got at `got` may still be used at `now`: less than a day
// after their NTS-KE, and (a clock put back since) less than a day before.
bool ntsKeysFresh(platform::FileTime got, platform::FileTime now);
// The entries of the file at `path` that are fresh at `now`; none when it
// is missing, too large or not ours.
KeptNtsKeys readNtsCookieFile(const std::string& path, platform::FileTime now);
// Replaces the file whole with the entries; with none, removes it.
[[nodiscard]] bool writeNtsCookieFile(const std::string& path, const KeptNtsKeys& kept);

}  // namespace tavrel
