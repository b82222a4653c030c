// The information decoder over arbitrary packets: the first input byte is the command code,
// the rest the converted packet. Every read must stay inside it and every notification must
// name a known field with a bounded text.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "dm/KvxLog.h"
#include "info/InfoDecoder.h"

namespace {
struct CheckingTarget : kvx::dm::NotifyTarget {
    void notify(uint32_t messageId, const kvx::dm::InfoNotification& note) override {
        const bool known = (note.field >= 0 && note.field <= 16) || note.field == 18;
        if (messageId != kvx::dm::kInfoMessage || !known ||
            note.text.size() > kvx::dm::kNotificationTextMax ||
            (note.field == 18 && !note.text.empty()))
            std::abort();
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static kvx::dm::KvxLog engine;
    static kvx::info::Decoder decoder;
    static CheckingTarget target;
    if (size < 1) return 0;
    std::span<const uint8_t> buffer(data + 1, size - 1);
    decoder.decodeInfo(engine, data[0], buffer, &target, kvx::dm::kInfoMessage);
    decoder.decodeInfo(engine, data[0], buffer, nullptr, 0);
    return 0;
}
