#include "PortChoice.h"

namespace kvx::cli {

std::string portEdit(std::string name) {
    if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
    if (name.rfind("COM", 0) == 0) name.erase(0, 3);
    return name;
}

}  // namespace kvx::cli
