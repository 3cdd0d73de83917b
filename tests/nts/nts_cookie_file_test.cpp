#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <string>
#include <vector>

#include "nts/nts_client.h"
#include "nts/nts_client_store.h"
#include "nts/nts_cookie_file.h"
#include "platform/file.h"
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

using platform::FileTime;
constexpr FileTime kSecond = platform::kFileTimeUnitsPerSecond;
constexpr FileTime kHour = 3600 * kSecond;
constexpr FileTime kDay = 24 * kHour;
constexpr FileTime kGot = platform::kFileTime1970 + 1'796'861'557ULL * kSecond;

std::vector<uint8_t> cookie(uint8_t fill, size_t size = 100) { return std::vector<uint8_t>(size, fill); }

NtsKeys someKeys(FileTime got, size_t cookies = 3) {
    NtsKeys keys;
    for (size_t i = 0; i < keys.c2s.size(); ++i) {
        keys.c2s[i] = static_cast<uint8_t>(i);
        keys.s2c[i] = static_cast<uint8_t>(0xF0 ^ i);
    }
    for (size_t i = 0; i < cookies; ++i) keys.cookies.push_back(cookie(static_cast<uint8_t>(0xA0 + i)));
    keys.ntpHost = "time.example.org";
    keys.ntpPort = 1123;
    keys.got = got;
    return keys;
}

void expectSame(const NtsKeys& a, const NtsKeys& b) {
    EXPECT_EQ(a.c2s, b.c2s);
    EXPECT_EQ(a.s2c, b.s2c);
    EXPECT_EQ(a.aead, b.aead);
    EXPECT_EQ(a.cookies, b.cookies);
    EXPECT_EQ(a.ntpHost, b.ntpHost);
    EXPECT_EQ(a.ntpPort, b.ntpPort);
    EXPECT_EQ(a.got, b.got);
}

// The lines of a file's text after its first.
std::vector<std::string> entryLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = text.find('\n') + 1;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TEST(NtsCookieFile, KeysComeBackAsWrittenForTheOwnerAlone) {
    test::TempDir dir;
    const std::string path = dir.file(kNtsCookieFileName);
    KeptNtsKeys kept;
    kept["nts://time.example.org"] = someKeys(kGot);
    kept["nts://other.example.org:4461"] = someKeys(kGot - kHour, kNtsMaxCookies);
    kept["nts://other.example.org:4461"].cookies.back() = cookie(0x55, kNtsMaxCookieSize);
    // Nothing left to keep: not written at all.
    kept["nts://spent.example.org"] = someKeys(kGot, 0);
    ASSERT_TRUE(writeNtsCookieFile(path, kept));

    const KeptNtsKeys back = readNtsCookieFile(path, kGot + kHour);
    ASSERT_EQ(back.size(), 2u);
    expectSame(back.at("nts://time.example.org"), kept.at("nts://time.example.org"));
    expectSame(back.at("nts://other.example.org:4461"), kept.at("nts://other.example.org:4461"));

#ifndef _WIN32
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
    // Written whole, with nothing left beside it.
    ASSERT_TRUE(writeNtsCookieFile(path, back));
    EXPECT_EQ(readNtsCookieFile(path, kGot).size(), 2u);

    // With nothing to keep, the file goes.
    ASSERT_TRUE(writeNtsCookieFile(path, KeptNtsKeys{}));
    EXPECT_FALSE(platform::fileExists(path));
    EXPECT_TRUE(readNtsCookieFile(path, kGot).empty());
}

TEST(NtsCookieFile, KeysADayOldOrADayAheadAreNotRead) {
    test::TempDir dir;
    const std::string path = dir.file(kNtsCookieFileName);
    KeptNtsKeys kept;
    kept["nts://a"] = someKeys(kGot);
    ASSERT_TRUE(writeNtsCookieFile(path, kept));
    EXPECT_EQ(readNtsCookieFile(path, kGot + kDay - kSecond).size(), 1u);
    EXPECT_TRUE(readNtsCookieFile(path, kGot + kDay).empty());
    // A clock put back since: no more than a day the other way either.
    EXPECT_EQ(readNtsCookieFile(path, kGot - kDay + kSecond).size(), 1u);
    EXPECT_TRUE(readNtsCookieFile(path, kGot - kDay).empty());
}

TEST(NtsCookieFile, GarbageIsPassedOverLineByLine) {
    KeptNtsKeys kept;
    kept["nts://good"] = someKeys(kGot);
    const std::string text = formatNtsCookieFile(kept);
    const std::string good = entryLines(text).at(0);
    ASSERT_EQ(parseNtsCookieFile(text).size(), 1u);
    // CR LF from an editor is fine.
    EXPECT_EQ(parseNtsCookieFile("TavrelNtsCookies 1\r\n" + good + "\r\n").size(), 1u);

    // Another first line: nothing at all.
    EXPECT_TRUE(parseNtsCookieFile("TavrelNtsCookies 2\n" + good + "\n").empty());
    EXPECT_TRUE(parseNtsCookieFile(good + "\n").empty());
    EXPECT_TRUE(parseNtsCookieFile("").empty());

    // Each field spoilt in turn; the good line after it still counts.
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
        const size_t space = good.find(' ', start);
        fields.push_back(good.substr(start, space - start));
        if (space == std::string::npos) break;
        start = space + 1;
    }
    ASSERT_EQ(fields.size(), 8u);
    auto joined = [](const std::vector<std::string>& parts) {
        std::string line;
        for (const std::string& part : parts) line += (line.empty() ? "" : " ") + part;
        return line;
    };
    const std::vector<std::vector<std::string>> spoilt = {
        {"6", "0", "x", "", "g0"},                                   // entry: odd, none, not hex
        {"0", "-1", "1796861557x", "99999999999999999", ""},         // NTS-KE time
        {"16", "0", "-15", "65536"},                                 // another AEAD, or none
        {"0", "65536", "-1", "x"},                                   // NTP port
        {"", "7", "20", "7f", "0d0a"},                               // NTP host: none, control bytes, space
        {fields[5] + "00", fields[5].substr(2), "zz" + fields[5].substr(2)},  // C2S key
        {fields[6] + "00", fields[6].substr(2)},                     // S2C key
        {"", ",", fields[7] + ",", "," + fields[7], std::string(2 * kNtsMaxCookieSize + 2, 'a'), "abc"},  // cookies
    };
    for (size_t field = 0; field < spoilt.size(); ++field) {
        for (const std::string& bad : spoilt[field]) {
            std::vector<std::string> parts = fields;
            parts[field] = bad;
            const std::string line = joined(parts);
            const KeptNtsKeys read = parseNtsCookieFile("TavrelNtsCookies 1\n" + line + "\n" + good + "\n");
            EXPECT_EQ(read.size(), 1u) << "field " << field << ": " << bad;
            EXPECT_EQ(read.count("nts://good"), 1u);
        }
    }
    // Fields missing or one too many, doubled spaces.
    for (const std::string& bad : {joined({fields.begin(), fields.end() - 1}), good + " 00", good + " ",
                                   " " + good, joined({fields.begin(), fields.begin() + 3}) + "  x"}) {
        EXPECT_EQ(parseNtsCookieFile("TavrelNtsCookies 1\n" + bad + "\n").size(), 0u) << bad;
    }
    // Bytes that are not text at all.
    std::string binary = "TavrelNtsCookies 1\n";
    for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
    EXPECT_TRUE(parseNtsCookieFile(binary).empty());
}

TEST(NtsCookieFile, NoMoreEntriesOrCookiesThanAClientHolds) {
    KeptNtsKeys many;
    for (size_t i = 0; i < kMaxNtsClients + 5; ++i) {
        many["nts://server" + std::to_string(i)] = someKeys(kGot + i * kSecond);
    }
    const std::string text = formatNtsCookieFile(many);
    const KeptNtsKeys written = parseNtsCookieFile(text);
    ASSERT_EQ(written.size(), kMaxNtsClients);
    // The ones got last are the ones kept.
    EXPECT_EQ(written.count("nts://server" + std::to_string(kMaxNtsClients + 4)), 1u);
    EXPECT_EQ(written.count("nts://server0"), 0u);

    // A file made longer by hand still gives no more than a client holds.
    KeptNtsKeys one;
    one["nts://a"] = someKeys(kGot, kNtsMaxCookies);
    std::string longer = "TavrelNtsCookies 1\n";
    for (size_t i = 0; i < kMaxNtsClients + 3; ++i) {
        KeptNtsKeys entry;
        entry["nts://s" + std::to_string(i)] = someKeys(kGot, kNtsMaxCookies);
        longer += entryLines(formatNtsCookieFile(entry)).at(0) + ",0102\n";
    }
    const KeptNtsKeys read = parseNtsCookieFile(longer);
    EXPECT_EQ(read.size(), kMaxNtsClients);
    for (const auto& item : read) EXPECT_EQ(item.second.cookies.size(), kNtsMaxCookies);
    // An entry written twice: the first counts.
    KeptNtsKeys other;
    other["nts://a"] = someKeys(kGot - kHour, 1);
    const KeptNtsKeys twice =
        parseNtsCookieFile(formatNtsCookieFile(one) + entryLines(formatNtsCookieFile(other)).at(0) + "\n");
    ASSERT_EQ(twice.size(), 1u);
    EXPECT_EQ(twice.at("nts://a").cookies.size(), kNtsMaxCookies);
    // A file larger than any this program writes is not read at all.
    EXPECT_TRUE(parseNtsCookieFile(formatNtsCookieFile(one) + std::string(kLargestNtsCookieFile, '\n')).empty());
}

NtsServer serverFor(const std::string& host) {
    NtsServer server;
    server.host = host;
    server.timeoutMs = 1000;
    return server;
}

TEST(NtsCookieFile, AClientStartsWithTheKeptKeysAndNeverKeepsACookieItSends) {
    test::TempDir dir;
    const std::string path = dir.file(kNtsCookieFileName);
    const FileTime now = platform::getSystemTimeAsFileTime();
    KeptNtsKeys kept;
    kept["nts://kept.test"] = someKeys(now - kHour, 3);
    kept["nts://untouched.test"] = someKeys(now - kHour, 2);
    ASSERT_TRUE(writeNtsCookieFile(path, kept));

    const auto slot = ntsClientSlot("nts://kept.test", serverFor("kept.test"), path);
    NtsClient& client = *slot->client;
    EXPECT_EQ(client.cookieCount(), 3u);
    EXPECT_EQ(client.keyExchangeCount(), 0u);
    EXPECT_EQ(client.ntpHost(), "time.example.org");
    EXPECT_EQ(client.ntpPort(), 1123);

    // Each request's cookie is gone from the file once the request exists.
    std::vector<uint8_t> request;
    std::string failure;
    for (size_t left = 2;; --left) {
        ASSERT_TRUE(client.buildRequest(now, request, failure)) << failure;
        const KeptNtsKeys after = readNtsCookieFile(path, now);
        const std::vector<uint8_t> sent = kept.at("nts://kept.test").cookies[2 - left];
        ASSERT_TRUE(std::search(request.begin(), request.end(), sent.begin(), sent.end()) != request.end());
        EXPECT_EQ(after.count("nts://untouched.test"), 1u);
        if (left == 0) {
            // The last one spent: the entry is gone.
            EXPECT_EQ(after.count("nts://kept.test"), 0u);
            break;
        }
        ASSERT_EQ(after.count("nts://kept.test"), 1u);
        const std::vector<std::vector<uint8_t>>& inFile = after.at("nts://kept.test").cookies;
        EXPECT_EQ(inFile.size(), left);
        EXPECT_EQ(std::count(inFile.begin(), inFile.end(), sent), 0);
    }
}

TEST(NtsCookieFile, ANakDropsTheKeptKeys) {
    test::TempDir dir;
    const std::string path = dir.file(kNtsCookieFileName);
    const FileTime now = platform::getSystemTimeAsFileTime();
    KeptNtsKeys kept;
    kept["nts://nak.test"] = someKeys(now - kHour, 3);
    ASSERT_TRUE(writeNtsCookieFile(path, kept));
    const auto slot = ntsClientSlot("nts://nak.test", serverFor("nak.test"), path);
    NtsClient& client = *slot->client;
    std::vector<uint8_t> request;
    std::string failure;
    ASSERT_TRUE(client.buildRequest(now, request, failure)) << failure;
    EXPECT_EQ(readNtsCookieFile(path, now).at("nts://nak.test").cookies.size(), 2u);

    // The server's NAK: a kiss "NTSN" at stratum 0 that echoes the
    // request's Unique Identifier, its first field.
    std::vector<uint8_t> nak(request.begin(), request.begin() + kNtpHeaderSize + 4 + kNtsUidSize);
    nak[0] = 0x24;
    nak[1] = 0;
    std::copy_n("NTSN", 4, nak.begin() + 12);
    const NtsExchange answer = client.readReply(nak, now);
    EXPECT_EQ(answer.kiss, "NTSN");
    EXPECT_EQ(client.cookieCount(), 0u);
    EXPECT_FALSE(platform::fileExists(path));
}

TEST(NtsCookieFile, KeptKeysADayOldAreNotTaken) {
    test::TempDir dir;
    const std::string path = dir.file(kNtsCookieFileName);
    const FileTime now = platform::getSystemTimeAsFileTime();
    KeptNtsKeys kept;
    kept["nts://old.test"] = someKeys(now - kDay - kSecond, 3);
    kept["nts://fresh.test"] = someKeys(now - kDay + kHour, 3);
    ASSERT_TRUE(writeNtsCookieFile(path, kept));
    EXPECT_EQ(ntsClientSlot("nts://old.test", serverFor("old.test"), path)->client->cookieCount(), 0u);
    EXPECT_EQ(ntsClientSlot("nts://fresh.test", serverFor("fresh.test"), path)->client->cookieCount(), 3u);

    // And the client itself refuses them, or ones of another AEAD.
    NtsClient client(serverFor("old.test"));
    EXPECT_FALSE(client.restore(someKeys(now - kDay), now));
    NtsKeys other = someKeys(now);
    other.aead = 16;
    EXPECT_FALSE(client.restore(other, now));
    EXPECT_TRUE(client.restore(someKeys(now - kDay + kSecond), now));
    EXPECT_EQ(client.cookieCount(), 3u);
}

}  // namespace
}  // namespace tavrel
