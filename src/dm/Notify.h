// What the engine's information decoder sends to a window: a field index and its text, by
// value. The target receives notifications on the logging worker's thread and must hand them
// to its own thread as copies; it never blocks on the worker.
#pragma once

#include <cstdint>
#include <string>

namespace kvx::dm {

// Longest text of a notification, the terminating NUL of the original record not counted.
inline constexpr size_t kNotificationTextMax = 499;

struct InfoNotification {
    int32_t field = 0;  // 0-16 an Info Box field, 18 the subsystem-0 mark
    std::string text;   // at most kNotificationTextMax characters
};

// The receiver of engine notifications (the main window). Called from the worker thread.
class NotifyTarget {
public:
    virtual ~NotifyTarget() = default;
    virtual void notify(uint32_t messageId, const InfoNotification& note) = 0;
    // Whether the target takes the radio values decoded from the modem's log items (many a
    // second while it streams); false spares the worker their decoding. The fields of replies
    // (identity, status, the subsystem mark) are sent all the same. Any thread.
    virtual bool wantsLogFields() const { return true; }
};

// Window message number the worker uses for decoded fields.
inline constexpr uint32_t kInfoMessage = 0x400 + 0x13A;  // 1338

}  // namespace kvx::dm
