#include "tests/support/temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/file.h"
#include "servers/server_list.h"
#include "engine/clock_privilege.h"
#include "storage/data_directory.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "storage/strings.h"

namespace tavrel::test {

TempDir::TempDir() {
    // $TMPDIR (or the system's temporary folder), with a name no other
    // test process picks: created, not just looked for.
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "tavrel-test-%012llx",
                      static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFULL));
        std::error_code error;
        if (std::filesystem::create_directory(base / name, error)) {
            path_ = (base / name).string() + platform::kPathSeparator;
            return;
        }
    }
    throw std::runtime_error("no temporary folder could be made");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::string& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

void resetProcessState(const std::string& programDir, const std::string& dataDir) {
    setDirectories(programDir, dataDir);
#ifndef _WIN32
    // Settings saved for an installed service land in the test's folder,
    // never in the machine's /var/lib/tavrel.
    setenv("TAVREL_SERVICE_STATE_DIR", (dataDir + "service-state").c_str(), 1);
#endif
    std::memset(static_cast<void*>(&settings), 0, sizeof settings);
    serverListEmpty.store(0);
    stringTable() = StringTable{};
    serviceMode.store(0);
    serviceInstalled.store(0);
    serviceRunning.store(0);
    clockPrivilegeHeld.store(0);
    echoLogToStandardError(false);
    setTimeZoneDisplayName("");
}

}  // namespace tavrel::test
