// Windows error codes as the user reads them: the system's own message text. Windows only
// (defined in winerror_win.cpp).
#pragma once

#include <string>

namespace kvx::serial {

// The system's text for a GetLastError() or registry result code, without the trailing line
// break ("Access is denied."); "error <code>" when the system has none.
std::string systemErrorText(unsigned long code);

}  // namespace kvx::serial
