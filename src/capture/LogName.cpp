#include "capture/LogName.h"

#include "os/Time.h"

namespace kvx::capture {
namespace {
constexpr size_t kMaxStem = 508;
}

std::string makeLogName(const std::string& basePath, std::time_t when) {
    char stamp[32] = {};
    std::tm local{};
    os::localTime(when, local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M-%S", &local);
    const std::string timeText = stamp;
    std::string name = basePath.size() + timeText.size() > kMaxStem ? std::string(kShortenPath)
                                                                    : basePath + timeText;
    name += ".kvx";
    // Only the final ".kvx" stays; earlier ones (a base path ending in .kvx) become "-".
    for (size_t at = name.find(".kvx"); at != name.size() - 4; at = name.find(".kvx")) {
        name = name.substr(0, at) + "-" + name.substr(at + 4);
    }
    return name;
}

std::string suffixedLogName(const std::string& name, int n) {
    const std::string ext = ".kvx";
    const bool hasExt = name.size() >= ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0;
    const std::string stem = hasExt ? name.substr(0, name.size() - ext.size()) : name;
    return stem + "_" + std::to_string(n) + ext;
}

}  // namespace kvx::capture
