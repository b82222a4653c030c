// Windows names no process that holds a COM port open (the open fails with "Access is
// denied.", which is what the user is told), and ModemManager is a Linux service: both
// questions have the answer "none" here.
#include "serial/PortHolder.h"

namespace kvx::serial {

std::string defaultProcRoot() { return {}; }

std::vector<PortHolder> portHolders(const std::string&, const std::string&) { return {}; }

bool modemManagerRunning(const std::string&) { return false; }

}  // namespace kvx::serial
