// The built-in "ServFile.txt": a comment line and 26 public time servers
// that answer both TIME and SNTP, every line ended by CR LF.
#include "resources/default_servers.h"

namespace tavrel {

const std::string_view kDefaultServerList =
    "#Add as many as you like!\r\n"
    "time-a-g.nist.gov\r\n"
    "time-b-g.nist.gov\r\n"
    "time-c-g.nist.gov\r\n"
    "time-d-g.nist.gov\r\n"
    "time-e-g.nist.gov\r\n"
    "time-a-wwv.nist.gov\r\n"
    "time-b-wwv.nist.gov\r\n"
    "time-c-wwv.nist.gov\r\n"
    "time-d-wwv.nist.gov\r\n"
    "time-e-wwv.nist.gov\r\n"
    "time-a-b.nist.gov\r\n"
    "time-b-b.nist.gov\r\n"
    "time-c-b.nist.gov\r\n"
    "time-d-b.nist.gov\r\n"
    "time-e-b.nist.gov\r\n"
    "utcnist.colorado.edu\r\n"
    "utcnist2.colorado.edu\r\n"
    "utcnist3.colorado.edu\r\n"
    "time-nw.nist.gov\r\n"
    "time-a.timefreq.bldrdoc.gov\r\n"
    "time-b.timefreq.bldrdoc.gov\r\n"
    "time-c.timefreq.bldrdoc.gov\r\n"
    "nist-time-server.eoni.com\r\n"
    "nist1-lv.ustiming.org\r\n"
    "nist1-la.ustiming.org\r\n"
    "ntp-d.nist.gov\r\n";

}  // namespace tavrel
