#include "app/help.h"

#include "app/startup.h"

namespace tavrel {

std::string helpText() {
    return "Usage: tavrel [--desktop | --terminal] [/q | /s | /x | /z]\n"
           "       tavrel --help | -h | --version\n"
           "\n"
           "Tavrel keeps this computer's clock right. It asks a time server for the time\n"
           "by the TIME protocol (RFC 868, TCP 37) or SNTP (RFC 2030, UDP 123), shows the\n"
           "difference or sets the clock, now or on a schedule, and can serve the time to\n"
           "other machines.\n"
           "\n"
           "Without a switch the window program starts. On Linux it opens a desktop\n"
           "window where a display can be opened (WAYLAND_DISPLAY, DISPLAY) and draws\n"
           "its window in the terminal otherwise; --desktop and --terminal choose.\n"
           "  /q  sync the clock once from the server list, then exit: status 0 when the\n"
           "      clock was corrected, 1 when no server answered or every reply was\n"
           "      refused, 2 when the clock could not be set; the whole run stops after a\n"
           "      minute (TAVREL_QUICK_LIMIT)\n"
           "      (any switch: 3 when run as root with a data folder another user may\n"
           "      change)\n"
           "  /s  start the window program minimised, without a notification-area entry\n"
           "  /x  run as the system service; started from a shell it runs the service in\n"
           "      the foreground and stops at Ctrl-C or SIGTERM\n"
           "  /z  remove the system service\n"
           "Only the last two characters of the first argument count, so /Q works too.\n"
           "\n"
           "Files, in the data folder: beside the program, or, when \"DefSet.txt\" lies\n"
           "among the program's own files, in the user's Brennow/Tavrel folder\n"
           "(~/.config/Brennow/Tavrel on Linux, %APPDATA%\\Brennow\\Tavrel on Windows);\n"
           "the Linux service keeps its own in /var/lib/tavrel.\n"
           "  vIvod.dat     the settings\n"
           "  Strings.txt   every text the program shows\n"
           "  ServFile.txt  the time servers, one a line (# starts a comment)\n"
           "  dLog.txt      the log (dLogOld.txt: the one before)\n"
           "  dZone.tzif    the rules of a locked time zone\n"
           "\n"
           "Environment:\n"
           "  TAVREL_CLOCK_FILE  a simulated clock: the real clock plus the signed count\n"
           "                     of 100-ns units in this file; setting the clock\n"
           "                     rewrites the file, never the machine's clock\n"
           "  TAVREL_QUICK_LIMIT  how many seconds a /q run may take (1 to 86400, else\n"
           "                     60)\n"
           "  TAVREL_HEADLESS    1: the window program takes instructions on standard\n"
           "                     input instead of showing its window\n"
           "  TAVREL_LOCALTIME   a file that stands in for the system's time zone\n"
           "  TAVREL_CLOCK_NO_RIGHT  1: this process may not set the simulated clock\n"
           "  TAVREL_ELEVATOR    the program that gives Tavrel the right to set the clock\n"
           "                     (else pkexec)\n"
           "  TAVREL_NARROW_CLOCK_HELPER  1: without that right, the window program asks\n"
           "                     it for each clock change alone, not for a restart\n"
           "  TAVREL_SYSTEMD_UNIT_DIR  where Install writes the service's unit (else\n"
           "                     /etc/systemd/system)\n"           "  TAVREL_SYSTEMD_PACKAGE_UNIT_DIR  where a package's unit is looked for (else\n"
           "                     /lib/systemd/system)\n"
           "  TAVREL_SERVICE_STATE_DIR  stands in for the service's state folder\n"
           "                     /var/lib/tavrel when the window program saves the\n"
           "                     service's settings\n"
           "  TAVREL_METRICS_DIR  the folder of the service's tavrel.prom (else the node\n"
           "                     exporter's /var/lib/prometheus/node-exporter)\n"
           "  TAVREL_SERVER_RATE_LIMIT  off: the own servers answer every request, for\n"
           "                     a network of trusted clients\n"
           "  TAVREL_NTS_CA_FILE  a file of further certificate authorities (PEM) that\n"
           "                     NTS trusts beside the system's store\n"
           "  TAVREL_APPDATA     on Windows, the user's application-data folder\n"
           "  XDG_CONFIG_HOME    the folder that holds Brennow/Tavrel (else ~/.config)\n"
           "  XDG_RUNTIME_DIR    where the one-window-program lock lives (else /tmp)\n";
}

std::string versionText() { return std::string("Tavrel ") + kProgramVersion + "\n"; }

std::optional<std::string> informationRequested(std::string_view commandLine) {
    const std::vector<std::string> args = splitCommandLine(commandLine);
    if (args.size() < 2) return std::nullopt;
    if (args[1] == "--help" || args[1] == "-h" || args[1] == "/?") return helpText();
    if (args[1] == "--version") return versionText();
    return std::nullopt;
}

}  // namespace tavrel
