#include "storage/data_directory.h"

#include "platform/file.h"
#include "platform/process.h"

namespace tavrel {
namespace {

// Located once at start-up, before any other thread, and the same for every
// part of the process: hence process-wide.
std::string programFileName;
std::string programDir;
std::string dataDir;

constexpr char kInstalledMarker[] = "DefSet.txt";
constexpr char kVendorFolder[] = "Brennow";
constexpr char kProgramFolder[] = "Tavrel";

std::string withSeparator(std::string dir) {
    if (dir.empty() || dir.back() != platform::kPathSeparator) dir += platform::kPathSeparator;
    return dir;
}

// Creates each missing directory along an absolute path; results are
// ignored, as a later file operation there reports its own failure.
void createDirectories(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == platform::kPathSeparator) {
            const std::string prefix = path.substr(0, pos);
            if (!platform::directoryExists(prefix)) (void)platform::createDirectory(prefix);
        }
    }
}

}  // namespace

const std::string& programFile() { return programFileName; }
const std::string& programDirectory() { return programDir; }
const std::string& dataDirectory() { return dataDir; }

void setDirectories(const std::string& program, const std::string& data) {
    programDir = program.empty() ? program : withSeparator(program);
    dataDir = data.empty() ? data : withSeparator(data);
    programFileName = programDir + platform::kProgramFileName;
}

namespace {

bool installedMode(const std::string& programFile) {
    return !platform::onRemovableDrive(programFile) && platform::fileReadable(programDir + kInstalledMarker);
}

}  // namespace

std::string serviceDataDirectory() {
    // A service manager that gives the service a state folder of its own
    // (systemd's StateDirectory) has it keep its data there, in either mode.
    const std::string state = platform::serviceStateFolder();
    if (!state.empty()) {
        createDirectories(state);
        return withSeparator(state);
    }
    const std::string programFile = platform::programFilePath();
    if (!installedMode(programFile)) return programDir;
    const std::string appData = platform::serviceAccountDataFolder();
    if (appData.empty()) return std::string();
    const std::string vendor = appData + platform::kPathSeparator + kVendorFolder;
    (void)platform::createDirectory(vendor);
    const std::string program = vendor + platform::kPathSeparator + kProgramFolder;
    (void)platform::createDirectory(program);
    return withSeparator(program);
}

void locateDirectories(bool forService) {
    const std::string programFile = platform::programFilePath();
    // The program is found by its fixed name in its own folder (a helper
    // program beside it, as the tests have, names the program too).
    const size_t cut = programFile.find_last_of(platform::kPathSeparator);
    programFileName = (cut == std::string::npos ? std::string() : programFile.substr(0, cut + 1)) +
                      platform::kProgramFileName;
    const std::string ownFiles = platform::programFilesFolder(programFile);
    programDir = ownFiles.empty() ? ownFiles : withSeparator(ownFiles);
    dataDir = programDir;

    if (forService) {
        const std::string given = platform::givenServiceStateFolder();
        if (!given.empty()) {
            createDirectories(given);
            dataDir = withSeparator(given);
            return;
        }
    }

    if (!installedMode(programFile)) return;

    const std::string appData = platform::applicationDataFolder();
    if (appData.empty()) return;  // no home to keep data in: stay portable
    // The application-data folder itself may not exist yet on a fresh account.
    createDirectories(appData);
    const std::string vendor = appData + platform::kPathSeparator + kVendorFolder;
    (void)platform::createDirectory(vendor);
    const std::string program = vendor + platform::kPathSeparator + kProgramFolder;
    (void)platform::createDirectory(program);
    dataDir = withSeparator(program);
}

std::string resolveDataFile(const std::string& name) {
    const std::string inData = dataDir + name;
    if (platform::fileReadable(inData)) return inData;
    return programDir + name;
}

}  // namespace tavrel
