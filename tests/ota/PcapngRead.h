// Reads back what the pcapng exporter wrote, as Wireshark would, checking each block's own
// consistency on the way: the packets of both interfaces with their times, and for each the
// GSMTAP fields (interface 0) or the exported-PDU tags (interface 1).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ota/PcapExport.h"

namespace kvx::ota::test {

using Bytes = std::vector<uint8_t>;

inline uint32_t rd32le(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint16_t rd16be(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

struct Packet {
    uint32_t interface = 0;
    uint64_t micros = 0;
    uint8_t src = 0, dst = 0;  // last bytes of 127.0.0.x
    // GSMTAP
    uint8_t type = 0, subtype = 0, subSlot = 0;
    uint16_t arfcn = 0;
    uint32_t frame = 0;
    // Upper PDU
    std::string dissector;
    Bytes payload;  // after the GSMTAP header or the tags
};

inline void parseGsmtap(const uint8_t* ip, uint32_t length, Packet& p) {
    ASSERT_GE(length, kIpv4Header + kUdpHeader + kGsmtapHeader);
    EXPECT_EQ(ip[0], 0x45);
    EXPECT_EQ(rd16be(ip + 2), length);
    EXPECT_EQ(ip[9], 17);
    uint32_t sum = 0;  // a header with its checksum sums to 0xFFFF
    for (size_t i = 0; i < kIpv4Header; i += 2) sum += rd16be(ip + i);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    EXPECT_EQ(sum, 0xFFFFu);
    EXPECT_EQ(rd32le(ip + 12) & 0xFFFFFF, 127u);
    EXPECT_EQ(rd32le(ip + 16) & 0xFFFFFF, 127u);
    p.src = ip[15];
    p.dst = ip[19];
    const uint8_t* udp = ip + kIpv4Header;
    EXPECT_EQ(rd16be(udp + 2), kGsmtapPort);
    EXPECT_EQ(rd16be(udp + 4), length - kIpv4Header);
    const uint8_t* g = udp + kUdpHeader;
    EXPECT_EQ(g[0], 2);
    EXPECT_EQ(g[1], 4);
    p.type = g[2];
    p.arfcn = rd16be(g + 4);
    p.frame = static_cast<uint32_t>(rd16be(g + 8)) << 16 | rd16be(g + 10);
    p.subtype = g[12];
    p.subSlot = g[14];
    p.payload.assign(g + kGsmtapHeader, ip + length);
}

inline void parseUpperPdu(const uint8_t* d, uint32_t length, Packet& p) {
    size_t pos = 0;
    bool ended = false;
    while (!ended) {
        ASSERT_LE(pos + 4, length);
        const uint16_t tag = rd16be(d + pos);
        const uint16_t len = rd16be(d + pos + 2);
        pos += 4;
        ASSERT_LE(pos + len, length);
        switch (tag) {
            case kExpPduEnd:
                EXPECT_EQ(len, 0);
                ended = true;
                break;
            case kExpPduDissectorName:
                EXPECT_EQ(len % 4, 0);
                p.dissector.assign(reinterpret_cast<const char*>(d + pos), len);
                p.dissector.resize(p.dissector.find('\0'));  // at least one zero byte
                break;
            case kExpPduIpv4Src:
            case kExpPduIpv4Dst:
                ASSERT_EQ(len, 4);
                EXPECT_EQ(d[pos], 127);
                (tag == kExpPduIpv4Src ? p.src : p.dst) = d[pos + 3];
                break;
            default:
                ADD_FAILURE() << "unexpected tag " << tag;
        }
        pos += len;
    }
    p.payload.assign(d + pos, d + length);
}

// The packets of a whole file (its header checked), or of bytes that hold only packets.
inline std::vector<Packet> parsePcapng(const Bytes& b, bool withHeader = true) {
    std::vector<Packet> out;
    size_t pos = 0;
    if (withHeader) {
        Bytes header;
        appendFileHeader(header);
        EXPECT_GE(b.size(), kFileHeader);
        if (b.size() < kFileHeader) return out;
        EXPECT_EQ(Bytes(b.begin(), b.begin() + kFileHeader), header);
        pos = kFileHeader;
    }
    while (pos < b.size()) {
        EXPECT_GE(b.size() - pos, kPacketBlockHeader + kPacketBlockTrailer);
        if (b.size() - pos < kPacketBlockHeader + kPacketBlockTrailer) break;
        const uint8_t* blk = &b[pos];
        EXPECT_EQ(rd32le(blk), 6u);
        const uint32_t total = rd32le(blk + 4);
        EXPECT_EQ(total % 4, 0u);
        EXPECT_LE(total, b.size() - pos);
        if (total > b.size() - pos || total < kPacketBlockHeader + kPacketBlockTrailer) break;
        EXPECT_EQ(rd32le(blk + total - 4), total);
        Packet p;
        p.interface = rd32le(blk + 8);
        p.micros = static_cast<uint64_t>(rd32le(blk + 12)) << 32 | rd32le(blk + 16);
        const uint32_t caplen = rd32le(blk + 20);
        EXPECT_EQ(caplen, rd32le(blk + 24));
        EXPECT_EQ((caplen + 3) / 4 * 4, total - kPacketBlockHeader - kPacketBlockTrailer);
        if (caplen > total - kPacketBlockHeader - kPacketBlockTrailer) break;
        if (p.interface == kGsmtapInterface)
            parseGsmtap(blk + kPacketBlockHeader, caplen, p);
        else if (p.interface == kUpperPduInterface)
            parseUpperPdu(blk + kPacketBlockHeader, caplen, p);
        else
            ADD_FAILURE() << "interface " << p.interface;
        out.push_back(std::move(p));
        pos += total;
    }
    return out;
}

}  // namespace kvx::ota::test
