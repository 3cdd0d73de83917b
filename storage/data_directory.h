// Where the program keeps its files: the program's own directory, and the
// data directory (beside the program in portable mode, the user's
// application-data folder + Brennow/Tavrel when installed).
#pragma once

#include <string>

namespace tavrel {

// Decides both directories once at start-up. Installed mode needs
// "DefSet.txt" beside the program and the program on a fixed drive.
void locateDirectories();

// Directory texts, each ending with the path separator; empty before
// locateDirectories.
const std::string& programDirectory();
const std::string& dataDirectory();

// DataDirectory + name when that file can be opened for reading there,
// otherwise programDirectory + name.
std::string resolveDataFile(const std::string& name);

// The data directory the system service finds for itself: beside the
// program in portable mode, else the service account's application-data
// folder + Brennow/Tavrel (created). Empty when it cannot be found.
std::string serviceDataDirectory();

// Sets both directories directly (tests, and platforms that find them
// otherwise).
void setDirectories(const std::string& program, const std::string& data);

}  // namespace tavrel
