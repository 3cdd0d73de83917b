#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "app/service.h"
#include "platform/autostart.h"
#include "platform/service_manager.h"
#include "storage/data_directory.h"
#include "storage/settings.h"
#include "tests/support/temp_dir.h"

namespace tavrel {
namespace {

// A systemctl stand-in first on PATH: it appends its arguments to a file
// and answers "cat" and "is-active" as the test says.
class ServiceManagerStandIn : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetProcessState(dir.path(), dir.path());
        serviceInstalled.store(0);
        serviceRunning.store(0);
        mkdir(dir.file("bin").c_str(), 0755);
        mkdir(dir.file("units").c_str(), 0755);
        test::writeFile(dir.file("bin/systemctl"),
                        "#!/bin/sh\n"
                        "echo \"$*\" >> \"" + dir.file("calls") + "\"\n"
                        "case \"$1\" in\n"
                        "  cat) [ -f \"" + dir.file("known") + "\" ] ;;\n"
                        "  is-active) [ -f \"" + dir.file("active") + "\" ] ;;\n"
                        "  is-enabled) [ -f \"" + dir.file("enabled") + "\" ] ;;\n"
                        "  *) [ ! -f \"" + dir.file("denied") + "\" ] ;;\n"
                        "esac\n");
        chmod(dir.file("bin/systemctl").c_str(), 0755);
        test::writeFile(dir.file("tavrel"), "#!/bin/sh\n");
        chmod(dir.file("tavrel").c_str(), 0755);
        savedPath = std::getenv("PATH");
        setenv("PATH", (dir.file("bin") + ":" + savedPath).c_str(), 1);
        setenv("TAVREL_SYSTEMD_UNIT_DIR", dir.file("units").c_str(), 1);
        setenv("TAVREL_SYSTEMD_PACKAGE_UNIT_DIR", dir.file("packaged").c_str(), 1);
    }
    void TearDown() override {
        setenv("PATH", savedPath.c_str(), 1);
        unsetenv("TAVREL_SYSTEMD_UNIT_DIR");
        unsetenv("TAVREL_SYSTEMD_PACKAGE_UNIT_DIR");
    }
    std::string calls() { return test::readFile(dir.file("calls")); }
    std::string unit() { return test::readFile(dir.file("units/tavrel.service")); }
    void mark(const char* name) { test::writeFile(dir.file(name), ""); }

    test::TempDir dir;
    std::string savedPath;
};

TEST_F(ServiceManagerStandIn, InstallWritesTheUnitReloadsAndEnablesWithoutStarting) {
    EXPECT_EQ(installService(), "");
    const std::string text = unit();
    EXPECT_NE(text.find("Description=Tavrel Internet Time Synchronisation - Corrects time and provides a TIME server\n"),
              std::string::npos);
    EXPECT_NE(text.find("ExecStart=\"" + dir.file("tavrel") + "\" /x\n"), std::string::npos);
    EXPECT_NE(text.find("Type=notify\n"), std::string::npos);
    EXPECT_NE(text.find("Before=time-sync.target\nConditionCapability=CAP_SYS_TIME\n\n[Service]"), std::string::npos)
        << text;
    EXPECT_NE(text.find("StateDirectory=tavrel\n"), std::string::npos);
    EXPECT_NE(text.find("WantedBy=multi-user.target\n"), std::string::npos);
    EXPECT_NE(calls().find("daemon-reload\nenable tavrel.service\n"), std::string::npos) << calls();
    EXPECT_EQ(calls().find("start"), std::string::npos);
}

// systemd's own checks: the unit is valid, and its sandbox rates at most
// 2.0 (Debian's chrony.service 3.7).
TEST_F(ServiceManagerStandIn, UnitPassesSystemdsChecksAndIsHardened) {
    installService();
    setenv("PATH", savedPath.c_str(), 1);  // the real systemctl for systemd-analyze
    const std::string path = dir.file("units/tavrel.service");
    const std::string verify = "systemd-analyze verify --man=no '" + path + "' > '" + dir.file("verify.out") + "' 2>&1";
    EXPECT_EQ(std::system(verify.c_str()), 0) << test::readFile(dir.file("verify.out"));
    const std::string rate = "systemd-analyze security --offline=yes --no-pager '" + path + "' > '" +
                             dir.file("security.out") + "' 2>&1";
    EXPECT_EQ(std::system(rate.c_str()), 0) << test::readFile(dir.file("security.out"));
    const std::string report = test::readFile(dir.file("security.out"));
    const std::string mark = "Overall exposure level for tavrel.service: ";
    const size_t at = report.find(mark);
    ASSERT_NE(at, std::string::npos) << report;
    EXPECT_LE(std::stod(report.substr(at + mark.size())), 2.0) << report;
}

TEST_F(ServiceManagerStandIn, AProgramInItsBuildFolderIsNotRegistered) {
    test::writeFile(dir.file("CMakeCache.txt"), "");
    EXPECT_NE(installService(), "");
    EXPECT_FALSE(test::fileExists(dir.file("units/tavrel.service")));
    EXPECT_EQ(calls().find("enable"), std::string::npos);
}

// The service may set the clock: a program another user could replace (its file
// or a folder above it theirs, or writable by them) is refused, and no path
// with a line break reaches a unit or a desktop entry.
TEST_F(ServiceManagerStandIn, AProgramAnotherUserCouldReplaceIsNotRegistered) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to hand files to another user";
    ASSERT_EQ(chown(dir.file("tavrel").c_str(), 65534, 65534), 0);
    EXPECT_EQ(installService(), platform::kServiceFromUserWritable);
    ASSERT_EQ(chown(dir.file("tavrel").c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    EXPECT_EQ(installService(), platform::kServiceFromUserWritable);
    ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
    EXPECT_FALSE(test::fileExists(dir.file("units/tavrel.service")));
    EXPECT_EQ(calls().find("enable"), std::string::npos);

    const std::string odd = dir.file("tavrel\nExecStartPre=/bin/tavrel");
    setDirectories(dir.file("tavrel\nExecStartPre=/bin"), dir.path());
    EXPECT_EQ(installService(), platform::kServiceFromOddPath);
    EXPECT_FALSE(test::fileExists(dir.file("units/tavrel.service")));
    platform::setLogonStart("tavrel", odd, "/q", false);
    EXPECT_FALSE(test::fileExists(platform::logonStartPath("tavrel")));
    // Root's own copy in root's folders is registered.
    setDirectories(dir.path(), dir.path());
    EXPECT_EQ(installService(), "");
}

// With the package's unit in place, Install and Remove enable and disable it
// and write no unit of their own.
TEST_F(ServiceManagerStandIn, ThePackagesUnitIsEnabledNotWritten) {
    mkdir(dir.file("packaged").c_str(), 0755);
    test::writeFile(dir.file("packaged/tavrel.service"), "[Service]\nExecStart=/usr/bin/tavrel /x\n");
    test::writeFile(dir.file("CMakeCache.txt"), "");
    queryService();
    EXPECT_EQ(serviceInstalled.load(), 0);
    EXPECT_EQ(installService(), "");
    EXPECT_FALSE(test::fileExists(dir.file("units/tavrel.service")));
    EXPECT_EQ(calls().find("daemon-reload"), std::string::npos) << calls();
    EXPECT_NE(calls().find("enable tavrel.service\n"), std::string::npos) << calls();
    mark("enabled");
    queryService();
    EXPECT_EQ(serviceInstalled.load(), 1);
    uninstallService();
    EXPECT_NE(calls().find("disable tavrel.service\n"), std::string::npos) << calls();
    EXPECT_TRUE(test::fileExists(dir.file("packaged/tavrel.service")));
}

TEST_F(ServiceManagerStandIn, QuerySetsTheFlags) {
    queryService();
    EXPECT_EQ(serviceInstalled.load(), 0);
    installService();
    mark("known");
    queryService();
    EXPECT_EQ(serviceInstalled.load(), 1);
    EXPECT_EQ(serviceRunning.load(), 0);
    mark("active");
    queryService();
    EXPECT_EQ(serviceRunning.load(), 1);
}

TEST_F(ServiceManagerStandIn, QueryWithoutAServiceManagerLeavesTheFlags) {
    serviceInstalled.store(1);
    setenv("PATH", "/nonexistent", 1);
    queryService();
    EXPECT_EQ(serviceInstalled.load(), 1);
}

TEST_F(ServiceManagerStandIn, StartAndStopDoNotWait) {
    startService();
    stopService();
    EXPECT_EQ(calls(), "start --no-block tavrel.service\nstop --no-block tavrel.service\n");
}

TEST_F(ServiceManagerStandIn, UninstallStopsARunningServiceThenRemovesIt) {
    installService();
    mark("known");
    mark("active");
    queryService();
    std::remove(dir.file("calls").c_str());
    uninstallService();
    EXPECT_EQ(calls(), "stop --no-block tavrel.service\n--version\ndisable tavrel.service\ndaemon-reload\n");
    EXPECT_FALSE(test::fileExists(dir.file("units/tavrel.service")));
}

TEST_F(ServiceManagerStandIn, RemoveSwitchDoesNothingWithoutTheService) {
    removeServiceSwitch();
    EXPECT_EQ(calls().find("disable"), std::string::npos);
}

TEST_F(ServiceManagerStandIn, InstallWithoutRightsLeavesNoUnit) {
    setenv("TAVREL_SYSTEMD_UNIT_DIR", dir.file("no/such/folder").c_str(), 1);
    installService();
    EXPECT_EQ(calls().find("enable"), std::string::npos);
}

class LogonStart : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetProcessState(dir.path(), dir.path());
        saved = std::getenv("XDG_CONFIG_HOME") != nullptr ? std::getenv("XDG_CONFIG_HOME") : "";
        setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
        serviceInstalled.store(0);
        applyDefaults();
    }
    void TearDown() override {
        if (saved.empty()) unsetenv("XDG_CONFIG_HOME"); else setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    }
    std::string entry() { return test::readFile(dir.file("config/autostart/tavrel.desktop")); }
    test::TempDir dir;
    std::string saved;
};

TEST_F(LogonStart, RegisteringWritesRewritesAndRemovesTheEntry) {
    settings.windowsStartAction.store(WindowsStartAction::SyncAndExit);
    registerWindowsStart();
    EXPECT_NE(entry().find("Exec=\"" + dir.file("tavrel") + "\" /q\n"), std::string::npos) << entry();
    EXPECT_NE(entry().find("Terminal=false\n"), std::string::npos);
    settings.windowsStartAction.store(WindowsStartAction::Start);
    registerWindowsStart();
    EXPECT_NE(entry().find("Exec=\"" + dir.file("tavrel") + "\"\n"), std::string::npos) << entry();
    EXPECT_NE(entry().find("Terminal=true\n"), std::string::npos);
    settings.windowsStartAction.store(WindowsStartAction::None);
    registerWindowsStart();
    EXPECT_FALSE(test::fileExists(dir.file("config/autostart/tavrel.desktop")));
    registerWindowsStart();  // a missing entry is no error
    EXPECT_FALSE(test::fileExists(dir.file("config/autostart/tavrel.desktop")));
}

TEST_F(LogonStart, PathsWithBlanksAndQuotesStayOneArgument) {
    test::TempDir odd;
    const std::string program = odd.path() + "100%done/my \"time\" $dir";
    platform::setLogonStart("tavrel", program, "/q", false);
    const std::string text = test::readFile(platform::logonStartPath("tavrel"));
    EXPECT_NE(text.find("Exec=\"" + odd.path() + "100%%done/my \\\\\"time\\\\\" \\\\$dir\" /q\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace tavrel
