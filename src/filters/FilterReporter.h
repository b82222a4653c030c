// How the filter code reports to the user without knowing the window: a modal message (OK
// button), the status bar pane, and the error log (code and three parameters). Each hook may
// be empty; then that report is dropped.
//
// Threads: called on the thread that runs the filter operation.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kvx::filters {

struct FilterReporter {
    std::function<void(const std::string&)> messageBox;
    std::function<void(const std::string&)> status;
    std::function<void(int code, int64_t first, int64_t second, int64_t third)> logError;

    void message(const std::string& text) const {
        if (messageBox) messageBox(text);
    }
    void setStatus(const std::string& text) const {
        if (status) status(text);
    }
    void error(int code, int64_t first, int64_t second, int64_t third) const {
        if (logError) logError(code, first, second, third);
    }
};

// Error-log code for filter requests aimed at no destination ("Invalid Destination.").
inline constexpr int kErrorInvalidDestination = 1;

}  // namespace kvx::filters
