// A stand-in for systemd-timedated on a private bus: owns
// org.freedesktop.timedate1 on the bus named by DBUS_SYSTEM_BUS_ADDRESS and
// answers SetTimezone(s zone, b interactive) by writing "zone interactive"
// as a line to the record file, then succeeding, or with "refuse" answering
// org.freedesktop.DBus.Error.AccessDenied as timedated does when polkit says
// no. Prints "ready" once it owns the name.
// Usage: fake_timedated RECORD_FILE accept|refuse
#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* recordPath = nullptr;
bool refuse = false;

int setTimezone(sd_bus_message* message, void*, sd_bus_error* error) {
    const char* zone = nullptr;
    int interactive = 0;
    const int read = sd_bus_message_read(message, "sb", &zone, &interactive);
    if (read < 0) return read;
    if (FILE* record = std::fopen(recordPath, "a")) {
        std::fprintf(record, "%s %d\n", zone, interactive);
        std::fclose(record);
    }
    if (refuse) return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "Permission denied");
    return sd_bus_reply_method_return(message, "");
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("SetTimezone", "sb", "", setTimezone, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    recordPath = argv[1];
    refuse = std::strcmp(argv[2], "refuse") == 0;
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return 1;
    sd_bus_slot* slot = nullptr;
    if (sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/timedate1", "org.freedesktop.timedate1", kVtable,
                                 nullptr) < 0) {
        return 1;
    }
    if (sd_bus_request_name(bus, "org.freedesktop.timedate1", 0) < 0) return 1;
    std::puts("ready");
    std::fflush(stdout);
    for (;;) {
        const int processed = sd_bus_process(bus, nullptr);
        if (processed < 0) return 1;
        if (processed > 0) continue;
        if (sd_bus_wait(bus, UINT64_MAX) < 0) return 1;
    }
}
