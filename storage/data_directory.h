// Where the program keeps its files: the program's own directory, and the
// data directory (beside the program in portable mode, the user's
// application-data folder + Brennow/Tavrel when installed).
#pragma once

#include <string>

namespace tavrel {

// Decides both directories once at start-up. Installed mode needs
// "DefSet.txt" among the program's own files and the program on a fixed
// drive. The service takes the state folder its service manager gives it,
// when it gives one.
void locateDirectories(bool forService = false);

// The program file's full path (to start it again, or register it): the
// program's fixed name in the running file's folder.
const std::string& programFile();
// Directory texts, each ending with the path separator; empty before
// locateDirectories. The program directory is the folder of the program's
// own files: beside the program, or PREFIX/share/tavrel for a program
// installed as PREFIX/bin/tavrel.
const std::string& programDirectory();
const std::string& dataDirectory();

// DataDirectory + name when that file can be opened for reading there,
// otherwise programDirectory + name.
std::string resolveDataFile(const std::string& name);

// The data directory the system service finds for itself: its state folder
// where the service manager gives one (/var/lib/tavrel), else beside the
// program in portable mode, else the service account's application-data
// folder + Brennow/Tavrel (created). Empty when it cannot be found.
std::string serviceDataDirectory();

// Sets both directories directly (tests, and platforms that find them
// otherwise).
void setDirectories(const std::string& program, const std::string& data);

}  // namespace tavrel
