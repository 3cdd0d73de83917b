// Feeds arbitrary bytes to the parsers of outside input: the strings file,
// the server list, the settings file and the TIME and SNTP replies.
// TAVREL_FUZZ_TARGET picks the parser at build time.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "protocol/time_protocol.h"
#include "servers/server_list.h"
#include "storage/settings.h"
#include "storage/strings.h"

using namespace tavrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
#if TAVREL_FUZZ_TARGET == 1
    static StringTable table;
    StringTableFiller filler(table, kRequiredSlots);
    for (uint8_t b : bytes) filler.feed(b);
    for (int slot = 0; slot < static_cast<int>(kSlotCount); ++slot) {
        if (table.lengths[slot] > TextLineSplitter::kMaxLineLength) __builtin_trap();
    }
#elif TAVREL_FUZZ_TARGET == 2
    ServerListParser parser;
    for (uint8_t b : bytes) {
        if (parser.feed(b) && (parser.entry().size() < 3 || parser.entry().size() > 599)) __builtin_trap();
    }
#elif TAVREL_FUZZ_TARGET == 3
    applySettingsImage(bytes);
    if (settings.syncTimeout.load() == 0) __builtin_trap();
#elif TAVREL_FUZZ_TARGET == 4
    SntpTimestamps stamps{};
    if (readSntpReply(bytes, stamps)) {
        (void)sntpOffsetUnits(0, ntpToFileTime(stamps.receiveSeconds, stamps.receiveFraction),
                              ntpToFileTime(stamps.transmitSeconds, stamps.transmitFraction), UINT64_MAX / 2);
    }
    if (size >= 4) (void)wireSecondsToFileTime(readWord(bytes, 0));
#endif
    return 0;
}
