// Port names as the commands take them on their command line.
#pragma once

#include <string>

namespace kvx::cli {

// Edit 1050's text for a port name as the user types it: what follows "\\.\COM", a number or
// a path ("\\.\COM7", "COM7" and "7" all give "7"; "/dev/ttyACM0" stays as it is).
std::string portEdit(std::string name);

}  // namespace kvx::cli
