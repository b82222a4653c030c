// Start on a COM port that cannot be opened, as Windows reports it: a port another program
// holds adds the system's own text for the code ("Access is denied." on Windows, "Access
// denied." under Wine) and what to do about it; a port that is not there keeps the box as it was.
#include <gtest/gtest.h>
#include <windows.h>

#include "app/CaptureFixture.h"

namespace kvx::app {
namespace {

using kvx::testing::CaptureFixture;
using PortErrorBox = CaptureFixture;

// The system's message for `code`, without its line end.
std::string systemText(DWORD code) {
    char text[512] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, code, 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

TEST_F(PortErrorBox, HeldPortSaysAccessDeniedAndNamesTheFix) {
    struct Case {
        const char* what;
        serial::OpenStatus status;
        std::string box;
    };
    const std::string first = "Could not communicate with the modem";
    const std::string denied = systemText(ERROR_ACCESS_DENIED);
    ASSERT_NE(denied.find("ccess"), std::string::npos) << denied;
    const Case cases[] = {
        {"held by another program",
         {serial::OpenError::Busy, ERROR_ACCESS_DENIED, "\\\\.\\COM7", {}, false, ""},
         first + "\nCould not open \\\\.\\COM7: " + denied +
             " Another program holds the "
             "port open (a terminal program, another copy of KvxLog Plus, the maker's "
             "tools): close it and try again"},
        {"not found",
         {serial::OpenError::NotFound, ERROR_FILE_NOT_FOUND, "\\\\.\\COM7", {}, false, ""},
         first},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const serial::OpenStatus injected = c.status;
        engine_.setportopener(
            [injected](const std::string&,
                       serial::OpenStatus* status) -> std::unique_ptr<serial::Port> {
                if (status) *status = injected;
                return nullptr;
            });
        const size_t before = window_.boxes().size();
        dialog_->OnStart();
        const auto boxes = window_.boxes();
        ASSERT_EQ(boxes.size(), before + 1);
        EXPECT_EQ(boxes.back(), c.box);
        EXPECT_EQ(dialog_->state(), UiState::Idle);
    }
}

}  // namespace
}  // namespace kvx::app
