#include <gtest/gtest.h>

#include <string>

#include "nts/nts_server_entry.h"

namespace tavrel {
namespace {

std::string hostAndPort(const char* entry) {
    NtsServer server;
    if (!parseNtsEntry(entry, server)) return "refused";
    return server.host + " " + std::to_string(server.port);
}

TEST(NtsServerEntry, HostAndNtsKePortAsWritten) {
    EXPECT_EQ(hostAndPort("nts://time.example.org"), "time.example.org 4460");
    EXPECT_EQ(hostAndPort(" NTS://localhost:4461 "), "localhost 4461");
    EXPECT_EQ(hostAndPort("nts://192.0.2.7:123"), "192.0.2.7 123");
    EXPECT_EQ(hostAndPort("nts://[2001:db8::1]"), "2001:db8::1 4460");
    EXPECT_EQ(hostAndPort("nts://[::1]:4460"), "::1 4460");
}

TEST(NtsServerEntry, MalformedEntriesAreRefusedButStillCountAsNts) {
    for (const char* entry : {"nts://", "nts://:4460", "nts://host:", "nts://host:0", "nts://host:65536",
                              "nts://host:44a", "nts://2001:db8::1", "nts://[2001:db8::1", "nts://[::1]x",
                              "nts://ho st", "nts://host/path"}) {
        EXPECT_EQ(hostAndPort(entry), "refused") << entry;
        EXPECT_TRUE(isNtsEntry(entry)) << entry;
    }
    EXPECT_FALSE(isNtsEntry("time.example.org"));
    EXPECT_FALSE(isNtsEntry("ntp://time.example.org"));
    EXPECT_EQ(hostAndPort("time.example.org"), "refused");
}

}  // namespace
}  // namespace tavrel
