#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "storage/log.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "tests/support/query_fixture.h"
#include "tests/support/temp_dir.h"
#include "timeservice/client_reports.h"

namespace tavrel {
namespace {

platform::NetAddress address(const char* text) {
    platform::NetAddress a;
    EXPECT_TRUE(platform::parseAddress(text, a)) << text;
    return a;
}

// A resolver of our own: 192.0.2.1 is honest.example both ways; 192.0.2.2
// claims a name that resolves elsewhere; 192.0.2.3 has no name.
NameLookups fakeLookups() {
    NameLookups lookups;
    lookups.reverse = [](const platform::NetAddress& a) -> std::string {
        const std::string text = platform::addressText(a);
        if (text == "192.0.2.1") return "honest.example";
        if (text == "192.0.2.2") return "bank.example";
        if (text == "2001:db8::1") return "six.example";
        return "";
    };
    lookups.forward = [](const std::string& name) -> std::vector<platform::NetAddress> {
        if (name == "honest.example") return {address("198.51.100.9"), address("192.0.2.1")};
        if (name == "bank.example") return {address("203.0.113.5")};
        if (name == "six.example") return {address("2001:db8::1")};
        return {};
    };
    return lookups;
}

TEST(ClientNames, ANameIsGivenOnlyWhenItLeadsBackToTheAddress) {
    const NameLookups lookups = fakeLookups();
    EXPECT_EQ(confirmedName(address("192.0.2.1"), lookups), "honest.example");
    EXPECT_EQ(confirmedName(address("192.0.2.2"), lookups), "");
    EXPECT_EQ(confirmedName(address("192.0.2.3"), lookups), "");
    EXPECT_EQ(confirmedName(address("2001:db8::1"), lookups), "six.example");
    EXPECT_EQ(clientText(address("192.0.2.1"), "honest.example"), "192.0.2.1 (honest.example)");
    EXPECT_EQ(clientText(address("192.0.2.2"), ""), "192.0.2.2");
}

class ClientReportsLog : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetProcessState(dir.path(), dir.path());
        ASSERT_TRUE(fillStringTable(defaultStringsFile(), stringTable(), kRequiredSlots));
        applyDefaults();
    }
    std::string log() { return test::readFile(dir.file(kLogFileName)); }
    test::TempDir dir;
};

// The log names each client by its address, with the name beside it only
// when confirmed: a reverse zone's own claim never stands alone.
TEST_F(ClientReportsLog, TheLogGivesAddressesAndConfirmedNamesOnly) {
    settings.logSyncs.store(true);
    ClientReports reports(fakeLookups());
    reports.start(ServerStatusSink{});
    const std::vector<platform::NetAddress> clients = {address("192.0.2.1"), address("192.0.2.2"),
                                                       address("192.0.2.3")};
    reports.served(ServedBy::Sntp, clients.data(), static_cast<int>(clients.size()));
    EXPECT_TRUE(test::waitUntil([&] { return log().find("192.0.2.3") != std::string::npos; }));
    reports.stop();
    const std::string text = log();
    EXPECT_NE(text.find(" : SNTP Server Tavreled 192.0.2.1 (honest.example)\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" : SNTP Server Tavreled 192.0.2.2\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" : SNTP Server Tavreled 192.0.2.3\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("bank.example"), std::string::npos) << text;
}

// The servers restart from the window's thread (the Options sheet): a
// restart never waits for a client's name that a silent DNS server holds
// up, and the lines after it still come, by address.
TEST_F(ClientReportsLog, ARestartNeverWaitsForALookupUnderWay) {
    std::mutex mutex;
    std::condition_variable changed;
    bool looking = false;
    bool release = false;
    NameLookups lookups = fakeLookups();
    lookups.reverse = [&](const platform::NetAddress&) -> std::string {
        std::unique_lock lock(mutex);
        looking = true;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
        return "";
    };
    auto releaseLookup = [&] {
        std::lock_guard lock(mutex);
        release = true;
        changed.notify_all();
    };
    std::vector<std::string> lines;
    std::mutex linesMutex;
    auto sink = [&](std::string line) {
        std::lock_guard lock(linesMutex);
        lines.push_back(std::move(line));
    };
    auto sawLine = [&](const std::string& text) {
        std::lock_guard lock(linesMutex);
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    };
    {
        ClientReports reports(lookups);
        reports.start(sink);
        const platform::NetAddress first = address("192.0.2.7");
        reports.served(ServedBy::Time, &first, 1);
        {
            std::unique_lock lock(mutex);
            ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return looking; }));
        }
        // Stopped and started again while the lookup hangs, on another
        // thread, watched from here.
        std::atomic<bool> restarted{false};
        std::thread restart([&] {
            reports.stop();
            reports.start(sink);
            restarted.store(true);
        });
        const bool quick = test::waitUntil([&] { return restarted.load(); }, std::chrono::milliseconds(1500));
        if (!quick) releaseLookup();
        restart.join();
        EXPECT_TRUE(quick) << "the restart waited for the lookup";
        const platform::NetAddress second = address("192.0.2.8");
        reports.served(ServedBy::Sntp, &second, 1);
        EXPECT_TRUE(test::waitUntil([&] { return sawLine("SNTP Server Tavreled 192.0.2.8"); })) << lines.size();
        releaseLookup();
    }
}

}  // namespace
}  // namespace tavrel
