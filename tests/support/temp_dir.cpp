#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "servers/server_list.h"
#include "storage/data_directory.h"
#include "storage/settings.h"
#include "storage/strings.h"

namespace tavrel::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tavrel-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern + "/";
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
    std::memset(static_cast<void*>(&settings), 0, sizeof settings);
    setCurrentServerName("");
    serverListEmpty.store(0);
    stringTable() = StringTable{};
}

}  // namespace tavrel::test
