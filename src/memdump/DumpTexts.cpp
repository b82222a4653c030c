#include "memdump/DumpTexts.h"

#include <cstdio>

namespace kvx::memdump {

ProgressTexts progressTexts(const DumpProgress& p) {
    ProgressTexts t;
    switch (p.state) {
        case kStateSearching:
            t.state = "Searching for device...";
            t.progress = "0%";
            break;
        case kStateParameters:
            t.state = "Querying device parameters...";
            t.progress = "0%";
            break;
        case kStateRegions:
            t.state = "Querying device parameters...";
            t.progress = "0%";
            t.regions = "";
            break;
        case kStateReading:
            t.state = "Reading memory...";
            t.progress = std::to_string(p.counter) + " Chunks Read";
            break;
        case kStateFinished:
            t.state = "Finished";
            t.progress = "100%";
            break;
        default:
            break;
    }
    return t;
}

std::string regionText(const RegionTable& table) {
    std::string text;
    for (size_t i = 0; i < table.count && i < table.regions.size(); ++i) {
        const MemRegion& r = table.regions[i];
        char numbers[64];
        std::snprintf(numbers, sizeof numbers, "[Base:%d, Length:%d]\r\n",
                      static_cast<int32_t>(r.base), static_cast<int32_t>(r.length));
        text += std::to_string(i + 1) + "." + r.description + "\r\n" + numbers;
    }
    return text;
}

ResultTexts resultTexts(int result, const DumpSummary& summary) {
    ResultTexts t;
    switch (result) {
        case kDumpFinished:
            // The last progress texts stay; a table without regions says why nothing came.
            if (!summary.aborted && summary.regions == 0 && !summary.message.empty())
                t.regions = summary.message;
            break;
        case kPortFailed:
        case kNoCommunication:
            t.regions = kCloseMgxClients;
            t.state = kCouldNotCommunicate;
            break;
        case kProtocolError:
            t.state = kProtocolErrorText;
            break;
        case kLumeoRunning:
            t.box = kCloseLumeo;
            t.state = kCouldNotCommunicate;
            break;
        default:
            t.state = kFailedText;
            if (!summary.message.empty()) t.regions = summary.message;
            break;
    }
    return t;
}

}  // namespace kvx::memdump
