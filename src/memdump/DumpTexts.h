// The memory-dump tool's user-visible texts: what the dialog's three statics show for each
// progress message and region message, and for each result of a dump. Shared by the dialog
// logic and the command line so that both say exactly the same.
#pragma once

#include <optional>
#include <string>

#include "memdump/MemDebugClient.h"

namespace kvx::memdump {

inline constexpr const char* kCouldNotCommunicate = "Could not communicate with modem";
inline constexpr const char* kCloseMgxClients =
    "Attempting to launch the KvxMemDebug tool.  All Mgx clients must be closed to continue.  "
    "Please close Mgx clients and try again.";
inline constexpr const char* kCloseLumeo =
    "Attempting to launch the KvxMemDebug tool.  Lumeo must be closed to continue.  Please "
    "close Lumeo and try again.";
inline constexpr const char* kProtocolErrorText = "Protocol Error";
inline constexpr const char* kFailedText = "Failed";

// What one progress message changes: a text that is set (nullopt = unchanged; an empty
// string empties the control).
struct ProgressTexts {
    std::optional<std::string> state;     // control 1065
    std::optional<std::string> progress;  // control 1066
    std::optional<std::string> regions;   // control 1064
};
ProgressTexts progressTexts(const DumpProgress& progress);

// The region text for a region message: "<i>.<description>\r\n[Base:<b>, Length:<l>]\r\n" for
// each announced region, base and length as signed decimal.
std::string regionText(const RegionTable& table);

// What the dialog shows for a dump's result (after the worker's own check): the same
// structure, nullopt = unchanged. `box` is a message box shown first (result 7).
struct ResultTexts {
    std::optional<std::string> box;
    std::optional<std::string> state;
    std::optional<std::string> regions;
};
// `summary` gives the reason of results the original table does not know (an output file
// that could not be written, a table without regions), shown in the region text.
ResultTexts resultTexts(int result, const DumpSummary& summary);

}  // namespace kvx::memdump
