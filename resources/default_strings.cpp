// The built-in "Strings.txt": the texts of slots 0 to 250, one line each,
// then 18 filler lines that lie beyond the last slot. Texts from slot 212
// on take two slots each. Blanks at either end belong to the texts.
#include "resources/default_strings.h"

namespace tavrel {

const std::array<const char*, kDefaultStringLineCount> kDefaultStringLines = {
    "Check",  // 0
    "Correct",  // 1
    "Options",  // 2
    "Time Zone",  // 3
    "About",  // 4
    "How long Tavrel will wait for a respose",  // 5
    "Not Checked Yet",  // 6
    "Servers",  // 7
    "Server",  // 8
    "Ready",  // 9
    "Tavrel keeps your computer's clock right",  // 10
    "OK",  // 11
    "Cancel",  // 12
    "About Tavrel",  // 13
    "EMail Us",  // 14
    "Go to Site",  // 15
    "Time from TIME (RFC 868) and SNTP servers",  // 16
    "OK",  // 17
    "Free software by the Tavrel team",  // 18
    "Internet Time Synchronisation",  // 19
    "Seconds",  // 20
    "Error",  // 21
    "Lock this Time Zone",  // 22
    "Help",  // 23
    "Standard",  // 24
    "Daylight",  // 25
    "Name",  // 26
    "Current Phase",  // 27
    "Date",  // 28
    "Bias",  // 29
    "Use List",  // 30
    "Manual A",  // 31
    "Manual B",  // 32
    "Default server only",  // 33
    "Edit List",  // 34
    "Refresh",  // 35
    "Scan",  // 36
    "Protocol",  // 37
    "Auto",  // 38
    "AutoSync every ",  // 39
    "Reset",  // 40
    "AutoCheck every ",  // 41
    "AutoSync",  // 42
    "AutoCheck",  // 43
    "Misc",  // 44
    "No Log",  // 45
    "Syncs",  // 46
    "Checks",  // 47
    "Errors",  // 48
    "Offset Multiplier",  // 49
    "Old",  // 50
    "Response",  // 51
    "Correction",  // 52
    "View Log",  // 53
    "Minor",  // 54
    "Tray",  // 55
    "Resident",  // 56
    "Minimise",  // 57
    "On Top",  // 58
    "Average",  // 59
    "Thanks for using Tavrel",  // 60
    "Log",  // 61
    "System",  // 62
    "Enable",  // 63
    "Auto Reset",  // 64
    "Startup",  // 65
    "seconds",  // 66
    "Date Ranges",  // 67
    "After",  // 68
    "but before",  // 69
    "BLANK",  // 70
    "On Windows start",  // 71
    "On Tavrel start",  // 72
    "Offset",  // 73
    "Sync Time-Out",  // 74
    "Service",  // 75
    "Corrects time and provides a TIME and SNTP server",  // 76
    "Add",  // 77
    "Subtract",  // 78
    "Unable to sync from ",  // 79
    "Initialising...",  // 80
    "Aborting...",  // 81
    "Looking for server at ",  // 82
    "Waiting for reply from ",  // 83
    "Converting...",  // 84
    "Time out on",  // 85
    "Time out",  // 86
    "BLANK",  // 87
    "Sync Now",  // 88
    "Exit",  // 89
    "Abort",  // 90
    "Check",  // 91
    "Reset Auto Timers",  // 92
    "BLANK",  // 93
    "Time Corrected",  // 94
    "TIME (ms)",  // 95
    "SNTP (ms)",  // 96
    "Minutes",  // 97
    "Hours",  // 98
    "Days",  // 99
    " until AutoSync",  // 100
    " until AutoCheck",  // 101
    "TIME and SNTP Server Active",  // 102
    "None",  // 103
    "Tavrel v1.5 Log",  // 104
    "No response from ",  // 105
    "No, do not do this.",  // 106
    "Tavreled",  // 107
    ", Old time was ",  // 108
    ", Server used was ",  // 109
    "TIME Server Tavreled ",  // 110
    "SNTP Server Tavreled ",  // 111
    "TIME Server Active",  // 112
    "SNTP Server Active",  // 113
    "BLANK",  // 114
    "Do Nothing",  // 115
    "Auto Start",  // 116
    "Auto Start, Sync, then Exit",  // 117
    "Check Time Server",  // 118
    "Correct Time",  // 119
    "Reset to default all settings?",  // 120
    "Yes, this is what I want.",  // 121
    "How long a server is given to reply",  // 122
    "Check the time but don't change it",  // 123
    "Check the time and change it",  // 124
    "About Tavrel, its folders and this system",  // 125
    "Open the Server List file for editing",  // 126
    "Use a manually selected IP address",  // 127
    "Manually entered IP address of a server",  // 128
    "Don't automatically switch servers on failure",  // 129
    "Minimise to tray instead of the taskbar",  // 130
    "BLANK",  // 131
    "BLANK",  // 132
    "Make Tavrel stay above other windows",  // 133
    "Check multiple sites to cancel out errors",  // 134
    "Activate Tavrel's internal time server",  // 135
    "BLANK",  // 136
    "Default server select",  // 137
    "BLANK",  // 138
    "BLANK",  // 139
    "Makes Tavrel periodically set the time",  // 140
    "How long Tavrel will wait between syncs",  // 141
    "Unit of time to calculate the AutoSync time",  // 142
    "BLANK",  // 143
    "Makes Tavrel periodically check the time",  // 144
    "How long Tavrel will wait between checks",  // 145
    "Unit of time to calculate the AutoCheck time",  // 146
    "Make the AutoSync time an offset of now",  // 147
    "Make the AutoCheck time an offset of now",  // 148
    "Opens up the Tavrel log text file",  // 149
    "Support: see the ReadMe beside the program",  // 150
    "BLANK",  // 151
    "BLANK",  // 152
    "Only change minutes and seconds",  // 153
    "Cancel Tavrel operation",  // 154
    "BLANK",  // 155
    "BLANK",  // 156
    "BLANK",  // 157
    "Reload the Server List file",  // 158
    "Time Zone data",  // 159
    "BLANK",  // 160
    "Restore default settings",  // 161
    "Check response time of all servers in list",  // 162
    "Disable all logging",  // 163
    "Log whenever the time is corrected",  // 164
    "Log whenever there is an error checking the time",  // 165
    "Log whenever the internal time server is used",  // 166
    "Log whenever a server time is checked",  // 167
    "BLANK",  // 168
    "When logging, include how long the sync took",  // 169
    "BLANK",  // 170
    "BLANK",  // 171
    "BLANK",  // 172
    "Time Zone Restored",  // 173
    "Remove",  // 174
    "Stop",  // 175
    "Run",  // 176
    "Install",  // 177
    "Scanning Servers",  // 178
    "Scan Servers - Finished",  // 179
    "Time Checked",  // 180
    "Difference found ",  // 181
    "Server",  // 182
    "IP",  // 183
    " Dys",  // 184
    " Hrs",  // 185
    " Mns",  // 186
    " Scs",  // 187
    " Hr",  // 188
    " Mn",  // 189
    " by ",  // 190
    "ms",  // 191
    "Standard",  // 192
    "Daylight",  // 193
    "RFC-868",  // 194
    "RFC-2030",  // 195
    "HH' 'mm' 'ss",  // 196
    "Creating Socket...",  // 197
    "Error setting Time Change Privileges",  // 198
    "Shows the ReadMe",  // 199
    "BLANK",  // 200
    "Start Minimised",  // 201
    "Install Tavrel as a service",  // 202
    "Uninstall the Tavrel service",  // 203
    "Run the Tavrel service",  // 204
    "Stop the Tavrel service",  // 205
    "BLANK",  // 206
    "Started Service, ",  // 207
    "Service Stopped",  // 208
    "as ",  // 209
    " in ",  // 210
    "Internet Time Synchronisation",  // 211
    "Runs Tavrel as an administrator so Service settings can be changed",  // 212
    "What 'language' Tavrel talks to the time server with. RFC-2030 is the better protocol",  // 214
    "Tavrel asks internet time servers for the time and keeps this computer's clock right",  // 216
    "Uses the internal list of servers for syncing. This is the default setting",  // 218
    "What Tavrel will do, if anything, when Windows boots",  // 220
    "What Tavrel will do, if anything, on Tavrel Startup",  // 222
    "Automatically adjust the date range if it is similar to the last one",  // 224
    "Selects if Tavrel will add or subtract from Server time",  // 226
    "Time different from server that the computer will be set to, 0 for no change",  // 228
    "Change the way Tavrel works, including protocols and servers",  // 230
    "If enabled Tavrel will only accept server replies in the set time range",  // 232
    "Reset the Date ranges to one month before today and one year after today",  // 234
    "Lowest received time that Tavrel will accept as valid",  // 236
    "Highest received time that Tavrel will accept as valid",  // 238
    "Keep Tavrel running until closed from Tray menu (Only valid when Tray enabled)",  // 240
    "Ensure that the Time Zone settings are not changed.",  // 242
    "When logging, include how much the time was corrected by",  // 244
    "When logging, include what the time was prior to correction",  // 246
    "Runs Tavrel as an administrator so the time can be set",  // 248
    "END OF NEEDED STUFF",  // 250
    "aaaa",
    "aaaa",
    "aaaa",
    "aaaa",
    "aaaa",
    "aaaa",
    "aaaa",
    "aaaa",
    "aaaa",
    "aaaa",
    "aaaa",
    "aaaa",
    "aaaa",
    "aaaa",
    "aaaa",
    "aaaa",
    "aaaa",
    "aaaa",
};

}  // namespace tavrel
