// The over-the-air layouts and the pcapng export over arbitrary records. First input byte even:
// bytes 1-2 are a log code and the rest its body, given to the layouts directly. Odd: the rest
// is a plaintext record stream, enciphered here, read back and exported (bit 1: with every
// other record as DIAG). A message must lie inside its body, and the capture written must walk
// cleanly: one packet block per packet counted, each a whole IPv4/UDP/GSMTAP datagram or a
// tagged upper-layer PDU.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "dm/Blowfish.h"
#include "dm/LogReader.h"
#include "ota/PcapExport.h"

namespace {

uint32_t rd32le(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void checkLayouts(uint16_t code, std::span<const uint8_t> body) {
    using namespace kvx::ota;
    const Decoded d = decodeRecord(code, body);
    if ((d.outcome == Outcome::NotOta) == isOtaCode(code)) std::abort();
    if (d.outcome != Outcome::Message) return;
    const OtaMessage& m = d.message;
    if (m.payload.empty() || m.payload.data() < body.data() ||
        m.payload.data() + m.payload.size() > body.data() + body.size())
        std::abort();
    if (m.prefixLength > m.prefix.size()) std::abort();
    if (m.leadBitCount > 7 || m.segment > 7) std::abort();
    std::vector<uint8_t> out;
    if (m.dissector) {
        if (!appendUpperPduPacket(out, 0, m.dissector, 1, m.leadBits, m.leadBitCount, m.payload))
            std::abort();
        return;
    }
    const size_t data = kIpv4Header + kUdpHeader + kGsmtapHeader + m.prefixLength + m.payload.size();
    if (appendGsmtapPacket(out, 0, 0, {m.type, m.subtype, m.arfcn, m.frame, 0}, 1,
                           {m.prefix.data(), m.prefixLength}, m.payload) &&
        out.size() != kPacketBlockHeader + (data + 3) / 4 * 4 + kPacketBlockTrailer)
        std::abort();
}

void checkExport(std::span<const uint8_t> plain, bool all) {
    using namespace kvx;
    std::vector<uint8_t> file(plain.begin(), plain.end());
    dm::logCipher().encryptBlocks(file.data(), file.size() / 8);
    const dm::LogContents log = dm::readLog(file);
    ota::PcapExporter exporter(all);
    std::vector<uint8_t> out;
    ota::appendFileHeader(out);
    exporter.addLog(log, out);
    exporter.addLog(log, out);  // a second log continues the same capture
    size_t pos = ota::kFileHeader, packets = 0;
    while (pos < out.size()) {
        if (out.size() - pos < ota::kPacketBlockHeader + ota::kPacketBlockTrailer) std::abort();
        const uint8_t* b = &out[pos];
        const uint32_t total = rd32le(b + 4), iface = rd32le(b + 8), caplen = rd32le(b + 20);
        if (rd32le(b) != 6 || total % 4 != 0 || total > out.size() - pos ||
            rd32le(b + total - 4) != total || caplen != rd32le(b + 24) ||
            (caplen + 3) / 4 * 4 + ota::kPacketBlockHeader + ota::kPacketBlockTrailer != total)
            std::abort();
        const uint8_t* d = b + ota::kPacketBlockHeader;
        if (iface == ota::kGsmtapInterface) {
            if (caplen > 0xFFFF || caplen < ota::kIpv4Header + ota::kUdpHeader + ota::kGsmtapHeader ||
                static_cast<uint32_t>(d[2] << 8 | d[3]) != caplen)
                std::abort();
        } else if (iface == ota::kUpperPduInterface) {
            // The tags end with the end tag before the data does.
            size_t at = 0;
            for (;;) {
                if (at + 4 > caplen) std::abort();
                const size_t tag = d[at] << 8 | d[at + 1], len = d[at + 2] << 8 | d[at + 3];
                at += 4 + len;
                if (tag == ota::kExpPduEnd) break;
            }
            if (at > caplen) std::abort();
        } else {
            std::abort();
        }
        pos += total;
        ++packets;
    }
    const auto& s = exporter.stats();
    if (packets != s.packets()) std::abort();
    if (s.otaRecords + s.otherRecords != 2 * log.records.size()) std::abort();
    if (!all && s.rawDiag != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    if ((data[0] & 1) == 0) {
        if (size < 3) return 0;
        checkLayouts(static_cast<uint16_t>(data[1] | data[2] << 8), {data + 3, size - 3});
    } else {
        checkExport({data + 1, size - 1}, (data[0] & 2) != 0);
    }
    return 0;
}
