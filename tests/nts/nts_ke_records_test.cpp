#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "nts/nts_ke_records.h"

namespace tavrel {
namespace {

using Bytes = std::vector<uint8_t>;

// A record: type word (with the critical bit when asked) and body.
Bytes record(uint16_t type, bool critical, const Bytes& body) {
    const uint16_t word = static_cast<uint16_t>(type | (critical ? 0x8000 : 0));
    Bytes out{static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word), static_cast<uint8_t>(body.size() >> 8),
              static_cast<uint8_t>(body.size())};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes kProtocol = record(1, true, {0, 0});
const Bytes kAead = record(4, false, {0, 15});
const Bytes kEnd = record(0, true, {});
Bytes cookie(uint8_t fill, size_t size = 100) { return record(5, false, Bytes(size, fill)); }

std::string refusalOf(const Bytes& response) {
    NtsKeResponse out;
    const NtsKeParse parse = parseNtsKeResponse(response, out);
    return parse.ok ? "accepted" : parse.refusal;
}

TEST(NtsKeRecords, RequestAsksForNtpV4AndAesSivCmac256) {
    EXPECT_EQ(buildNtsKeRequest(), (Bytes{0x80, 1, 0, 2, 0, 0, 0x80, 4, 0, 2, 0, 15, 0x80, 0, 0, 0}));
    EXPECT_EQ(ntsExporterContext(0, 15, false), (Bytes{0, 0, 0, 15, 0}));
    EXPECT_EQ(ntsExporterContext(0, 15, true), (Bytes{0, 0, 0, 15, 1}));
}

TEST(NtsKeRecords, ResponseGivesCookiesServerAndPortAndSkipsUnknownOptionalRecords) {
    const Bytes response = join({kProtocol, kAead, record(0x4242, false, {1, 2, 3}), cookie(0xA1), cookie(0xB2, 7),
                                 record(6, true, {'n', 't', 'p', '.', 'e', 'x'}), record(7, true, {0x12, 0x34}), kEnd});
    NtsKeResponse out;
    ASSERT_TRUE(parseNtsKeResponse(response, out).ok);
    EXPECT_EQ(out.protocol, 0);
    EXPECT_EQ(out.aead, 15);
    ASSERT_EQ(out.cookies.size(), 2u);
    EXPECT_EQ(out.cookies[0], Bytes(100, 0xA1));
    EXPECT_EQ(out.cookies[1], Bytes(7, 0xB2));
    EXPECT_EQ(out.server, "ntp.ex");
    EXPECT_EQ(out.port, 0x1234);
    EXPECT_TRUE(ntsKeResponseComplete(response));
    EXPECT_FALSE(ntsKeResponseComplete(Bytes(response.begin(), response.end() - 1)));
    EXPECT_FALSE(ntsKeResponseComplete(Bytes(response.begin(), response.begin() + 9)));
}

TEST(NtsKeRecords, HostileOrRefusingResponsesAreRefusedWithTheirReason) {
    const Bytes good = join({kProtocol, kAead, cookie(1), kEnd});
    ASSERT_EQ(refusalOf(good), "accepted");
    // A cookie record that claims more bytes than there are.
    Bytes pastEnd = join({kProtocol, kAead, cookie(1)});
    pastEnd[pastEnd.size() - 101] = 0xFF;
    EXPECT_EQ(refusalOf(pastEnd), "malformed records");
    EXPECT_EQ(refusalOf(Bytes(good.begin(), good.end() - 1)), "malformed records");
    EXPECT_EQ(refusalOf(join({kProtocol, kAead, cookie(1)})), "malformed records");  // no End of Message
    EXPECT_EQ(refusalOf(join({good, cookie(2)})), "malformed records");              // bytes after it
    EXPECT_EQ(refusalOf({}), "malformed records");
    EXPECT_EQ(refusalOf(join({kProtocol, record(0x1234, true, {}), kAead, cookie(1), kEnd})),
              "unknown critical record 4660");
    EXPECT_EQ(refusalOf(join({kProtocol, kAead, record(5, false, {}), kEnd})), "empty cookie");
    EXPECT_EQ(refusalOf(join({kProtocol, kAead, cookie(1, kNtsMaxCookieSize + 1), kEnd})), "cookie too long");
    Bytes nine = join({kProtocol, kAead});
    for (uint8_t i = 0; i < 9; ++i) nine = join({nine, cookie(i)});
    EXPECT_EQ(refusalOf(join({nine, kEnd})), "too many cookies");
    EXPECT_EQ(refusalOf(join({kProtocol, kAead, kEnd})), "no cookies");
    EXPECT_EQ(refusalOf(join({kProtocol, record(2, true, {0, 1}), kEnd})), "refused (error 1)");
    EXPECT_EQ(refusalOf(join({kProtocol, record(3, true, {0, 7}), kEnd})), "refused (warning 7)");
    EXPECT_EQ(refusalOf(join({record(1, true, {}), kAead, cookie(1), kEnd})), "NTPv4 not offered");
    EXPECT_EQ(refusalOf(join({kProtocol, record(4, true, {0, 30}), cookie(1), kEnd})),
              "AES-SIV-CMAC-256 not offered");
    EXPECT_EQ(refusalOf(join({kAead, cookie(1), kEnd})), "no protocol agreed");
    EXPECT_EQ(refusalOf(join({kProtocol, kProtocol, kAead, cookie(1), kEnd})), "malformed records");
    EXPECT_EQ(refusalOf(join({kProtocol, kAead, cookie(1), record(7, true, {0, 0}), kEnd})), "malformed records");
    EXPECT_EQ(refusalOf(join({kProtocol, kAead, cookie(1), record(6, true, {'a', ' ', 'b'}), kEnd})),
              "malformed records");
}

}  // namespace
}  // namespace tavrel
