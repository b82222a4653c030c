// kvxlog export over arbitrary logs: the input is a plaintext record stream, enciphered here,
// read back and exported (first byte bit 0: wrapped for subscriptions). Every frame written
// must be whole and carry a good CRC once unescaped, one frame per packet counted, and the
// byte count must be the output's size.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "dm/Blowfish.h"
#include "dm/Crc16.h"
#include "dm/LogReader.h"
#include "ota/RawExport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kvx;
    if (size < 1) return 0;
    std::vector<uint8_t> file(data + 1, data + size);
    dm::logCipher().encryptBlocks(file.data(), file.size() / 8);
    const dm::LogContents log = dm::readLog(file);
    ota::RawExporter exporter((data[0] & 1) != 0);
    std::vector<uint8_t> out;
    exporter.addLog(log, out);
    exporter.addLog(log, out);
    const auto& s = exporter.stats();
    if (s.bytes != out.size()) std::abort();
    if (!out.empty() && out.back() != 0x7E) std::abort();
    uint64_t frames = 0;
    std::vector<uint8_t> frame;
    for (size_t i = 0; i < out.size(); ++i) {
        uint8_t b = out[i];
        if (b == 0x7E) {
            if (frame.size() < 3) std::abort();
            const uint16_t reg = dm::crc16Update(0xFFFF, frame.data(), frame.size());
            if (static_cast<uint16_t>(~reg) != dm::kCrcGoodResult) std::abort();
            frame.clear();
            ++frames;
            continue;
        }
        if (b == 0x7D) {
            if (++i >= out.size()) std::abort();
            b = static_cast<uint8_t>(out[i] ^ 0x20);
            if (b != 0x7E && b != 0x7D) std::abort();  // only those two are escaped
        }
        frame.push_back(b);
    }
    if (frames != s.frames || s.frames + s.notes + s.empty != 2 * log.records.size()) std::abort();
    return 0;
}
