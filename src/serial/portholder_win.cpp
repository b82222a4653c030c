// Windows tells no program which process holds a COM port open (only that it is held, with
// "Access is denied." at the open), and there is no ModemManager: both answers are empty.
#include "serial/PortHolder.h"

namespace kvx::serial {

std::string defaultProcRoot() {
    return {};
}

std::vector<PortHolder> portHolders(const std::string& /*devicePath*/,
                                    const std::string& /*procRoot*/) {
    return {};
}

bool modemManagerRunning(const std::string& /*procRoot*/) {
    return false;
}

}  // namespace kvx::serial
