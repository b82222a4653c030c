// Start on a port that cannot be opened: the message box keeps its own first line and adds the
// fix for a refused (permission) or busy port; other failures keep the box as it was.
#include <gtest/gtest.h>

#include <cerrno>

#include "app/CaptureFixture.h"

namespace kvx::app {
namespace {

using kvx::testing::CaptureFixture;
using PortErrorBox = CaptureFixture;

TEST_F(PortErrorBox, RefusedAndBusyPortsNameTheFix) {
    struct Case {
        const char* what;
        serial::OpenStatus status;
        std::string box;
    };
    const std::string first = "Could not communicate with the modem";
    const Case cases[] = {
        {"permission denied",
         {serial::OpenError::PermissionDenied, EACCES, "/dev/fakedm0", {}, false, "dialout"},
         first + "\nPermission denied opening /dev/fakedm0: the port belongs to the group "
                 "dialout; join it with: sudo usermod -aG dialout $USER (then log out and in "
                 "again)"},
        {"busy, held by ModemManager",
         {serial::OpenError::Busy, EBUSY, "/dev/fakedm0", {{812, "ModemManager"}}, true, ""},
         first + "\n/dev/fakedm0 is in use by another program: ModemManager (pid 812). "
                 "ModemManager opens the diagnostics ports of Qualcomm modems: install the udev "
                 "rule 60-kvxlogplus.rules of KvxLog Plus (then unplug and replug the modem) so "
                 "that it leaves the port alone, or stop it for now with: sudo systemctl stop "
                 "ModemManager"},
        {"not found", {serial::OpenError::NotFound, ENOENT, "/dev/fakedm0", {}, false, ""}, first},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const serial::OpenStatus injected = c.status;
        engine_.setportopener([injected](const std::string&, serial::OpenStatus* status)
                                  -> std::unique_ptr<serial::Port> {
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
