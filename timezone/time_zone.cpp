#include "timezone/time_zone.h"

namespace tavrel {

void refreshTimeZone(platform::WindowHandle) {
    // Reading and locking the zone is not part of this build yet.
}

}  // namespace tavrel
