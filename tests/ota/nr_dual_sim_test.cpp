// A dual-SIM 5G phone as no capture we hold has it: NR RRC records of every packet version,
// and 5G NAS, in log packets wrapped in 0x98 for subscriptions 1 and 2, built from the public
// layouts, converted by the receive path, exported, and read back by Wireshark's tshark: every
// record a packet that the NR RRC or 5GS NAS dissector reads with no malformed packet, and the
// packets of each subscription addressed to 127.0.0.N.
//
// The messages are real ones, from public captures in SCAT's test suite (fgsect/scat, tests/):
// the version 26 bodies whole, the others' messages behind headers of their versions.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "PcapngRead.h"
#include "dm/LogTestSupport.h"
#include "ota/PcapExport.h"

namespace kvx::ota {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string& s) {
    Bytes b;
    for (size_t i = 0; i + 1 < s.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
    return b;
}
void le(Bytes& b, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Whole version 26 bodies: an RRCReconfiguration (type 11), a radio bearer config (36), an
// RRCReconfigurationComplete (12), a MIB (1).
const char* const kV26Bodies[] = {
    "1a000000118001ffff0000000000000000ffffffff48fcb50b000000008a01000000000c81685c40b04432c55fca120dc4e81fa7780018c9230422405d079b6020d6e9d3b89a968d27bc0001a403000001a59c32c562e46e08040000021003420146d00005fb9c0000069d5ce1962c0110038b8d441992305e7046e10dc31b8837d9a6b52b1d2104e467cbbf00202c04930b6a0123ffff0000000200082cc86e1084001ec46ca41c1944174c08008810048000405010161c0954005450c00ca00080099aaa2400a000820610286c0000d2428060400692540304003494a0183001a4b500c2000d262806140069354033e003494a030060490f9349a47493400800c10ece08dc21b8637106f1ffa147398a4e5028200805700008000100000000010ca8080cc554560470001084002a216a5c300e0202208005442d4b8601c080421000a885a9710038180882001510b52e20030422a5400544352a102088018000810180200201c0aa002a284000000801000201400880a000802f0004166208208784ff907f8798cc00100000002b8000f0001a4f78201840008140000001011201001c0000001fd929289494",
    "1a000000118001ffff0000000000000000ffffffff48fc5524000000000900000000001409289f8ec50a4d83",
    "1a000000118001a9010000000000000000de9306000000000c0000000001000000000000",
    "1a0000001180ffa9010000000000000000de9306000000000100000000040000000000022394e0",
};

// Messages of each channel.
struct Message {
    const char* channel;
    const char* hex;
};
const Message kMessages[] = {
    {"bcch.bch", "5d2624c4"},
    {"bcch.dl.sch",
     "7c800c02093100802ff3401a19035300800c50010810ca8a081b00d0000033618c215f853b8200800011141b900eb4"
     "000088a0008041b04228178ca57248ec5a1f0c71006f103611a8c0000019eae36c916809824c666a36d3802404e312"
     "6e254d80be0f9b37020a729b98a0000000000000000000000000000000000000000000000000000000000000000000"},
    {"dl.dcch", "28808fc00b6020"},
    {"ul.dcch", "10c01d4c391177e004179000bf262f220ea61c8f2f693f82e04f070f0f00"},
    {"dl.ccch",
     "204020c6d2b80160021ef5f90020cbd800f84460820f380841ac5970249819100ee1002000044506e18020000446"
     "c8408096407cc07cdc108a05e3295c923b1687c02662209203203101109003028120106119c7222934149a0840060"
     "8563126e254fff518ca53d4084560002600"},
    {"ul.ccch", "174da3638466"},
    {"reconf complete", "00"},
};

// The PDU type of a channel in each version's numbering (0: the version has none).
uint8_t pduType(uint32_t version, const std::string& channel) {
    const bool mcch = version == 20 || version == 23 || version == 24 || version >= 26;
    if (channel == "bcch.bch") return 1;
    if (channel == "bcch.dl.sch") return version <= 8 ? 0 : 2;
    if (channel == "dl.ccch") return version <= 8 ? 0 : 3;
    if (channel == "dl.dcch") return version <= 8 ? 0 : 4;
    if (channel == "ul.ccch") return version <= 8 ? 0 : (mcch ? 7 : 6);
    if (channel == "ul.dcch") return mcch ? 9 : 8;
    if (version == 26 || version == 28) return 12;
    return mcch ? 11 : 10;  // reconfiguration complete
}

Bytes nrBody(uint32_t version, uint8_t pdu, const Bytes& msg) {
    Bytes b;
    le(b, version, 4);
    b.insert(b.end(), {0x0f, 0x40, 1, 0x2a, 0x01});
    if (version >= 17) le(b, 0x0123456789ull, 8);
    le(b, 632628, 4);
    le(b, 0x345, version <= 9 ? 4 : 3);
    b.push_back(pdu);
    le(b, 0, 4);
    le(b, msg.size(), 2);
    if (version >= 19) b.push_back(0);
    if (version >= 23 && version != 25) b.insert(b.end(), {0, 0, 0});
    b.insert(b.end(), msg.begin(), msg.end());
    return b;
}

// A log packet for the record, wrapped for a subscription.
Bytes wrapped(uint32_t subscription, uint16_t code, uint64_t stamp, const Bytes& body) {
    const Bytes record = [&] {
        Bytes r;
        le(r, 12 + body.size(), 2);
        le(r, code, 2);
        le(r, stamp, 8);
        r.insert(r.end(), body.begin(), body.end());
        return r;
    }();
    Bytes p = {dm::kCmdMultiSim, 1, 0, 0};
    le(p, subscription, 4);
    const Bytes log = dmtest::logPacket(record);
    p.insert(p.end(), log.begin(), log.end());
    return dmtest::wire(p);
}

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string run(const std::string& cmd) {
    std::string text;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
        ::pclose(p);
    }
    return text;
}

TEST(NrDualSim, EveryRecordDissectedAndAddressed) {
    // 1-based subscriptions of each record, in order.
    std::vector<uint32_t> subscriptions;
    Bytes raw;
    uint64_t stamp = uint64_t{1433257338} * 800 << 16;  // 2025-06-06
    auto add = [&](uint16_t code, const Bytes& body) {
        const uint32_t sub = 1 + subscriptions.size() % 3 % 2;  // 1, 2, 1, 1, 2, 1 ...
        const Bytes frame = wrapped(sub, code, stamp, body);
        raw.insert(raw.end(), frame.begin(), frame.end());
        subscriptions.push_back(sub);
        stamp += 0x10000;
    };
    const uint32_t versions[] = {7, 8, 9, 12, 14, 17, 19, 20, 23, 24, 25, 26, 28};
    size_t nrRecords = 0;
    for (uint32_t v : versions) {
        for (const auto& m : kMessages) {
            const uint8_t pdu = pduType(v, m.channel);
            if (pdu == 0) continue;
            add(kNrRrcOta, nrBody(v, pdu, hex(m.hex)));
            ++nrRecords;
        }
    }
    for (const char* body : kV26Bodies) {
        add(kNrRrcOta, hex(body));
        ++nrRecords;
    }
    // 5G NAS: a registration reject and a 5GMM message with a security header, plain and
    // integrity-protected; a ciphered one; a 5GSM PDU session release command.
    const char* const kNas[] = {
        "7e00441b16012c",
        "7e005c00350162f220f1ff010a9bcaad7bb82d608ab0038dd8b4b739b313b8971311efc6107487d798a30e7743"
        "04b22ea59c58014a6a040d27c0",
        "7e01a1b2c3d4057e00441b16012c",
        "7e02a1b2c3d40699887766554433",
        "2e0501d324",
    };
    const uint16_t nasCodes[] = {kNrNasMmPlainIn, kNrNasMmPlainOut, kNrNasMmContainer,
                                 kNrNasSmSecIn, kNrNasSmPlainOut};
    for (size_t i = 0; i < std::size(kNas); ++i) {
        Bytes body = {1, 0, 0, 0, 15, 4, 0};
        const Bytes msg = hex(kNas[i]);
        body.insert(body.end(), msg.begin(), msg.end());
        add(nasCodes[i], body);
    }

    const auto converted = dmtest::convert(raw);
    ASSERT_EQ(converted.stats.crcErrors, 0u);
    ASSERT_EQ(converted.stats.sizeErrors, 0u);
    PcapExporter ex(false);
    Bytes file;
    appendFileHeader(file);
    ex.addLog(converted.log, file);
    const ExportStats& s = ex.stats();
    EXPECT_EQ(s.written[static_cast<size_t>(MessageKind::NrRrc)], nrRecords);
    EXPECT_EQ(s.written[static_cast<size_t>(MessageKind::Nas5gs)], std::size(kNas));
    EXPECT_EQ(s.packets(), subscriptions.size());

    const auto packets = test::parsePcapng(file);
    ASSERT_EQ(packets.size(), subscriptions.size());
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].interface, kUpperPduInterface);
        EXPECT_EQ(packets[i].dst, subscriptions[i]) << "packet " << i;
        if (i > 0) {
            EXPECT_GT(packets[i].micros, packets[i - 1].micros);
        }
    }

    if (std::system("tshark -v >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark not installed";
    dmtest::TempFile pcap("nr.pcapng");
    dmtest::writeBytes(pcap.path(), file);
    if (const char* keep = std::getenv("KVX_KEEP_PCAP")) dmtest::writeBytes(keep, file);
    // One line per packet: its protocols, its destination column, malformed or not.
    const std::string text =
        run("tshark -r '" + pcap.path() +
            "' -T fields -E separator=/t -e frame.protocols -e _ws.col.Destination -e _ws.malformed "
            "2>&1");
    std::istringstream lines(text);
    std::string line;
    size_t n = 0, nr = 0, nas = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("Running as user", 0) == 0) continue;
        SCOPED_TRACE(line);
        ASSERT_LT(n, subscriptions.size());
        std::istringstream fields(line);
        std::string protocols, dst, malformed;
        std::getline(fields, protocols, '\t');
        std::getline(fields, dst, '\t');
        std::getline(fields, malformed, '\t');
        // The dissector named by the packet's tag is the first after exported_pdu.
        if (protocols.rfind("exported_pdu:nr-rrc", 0) == 0) ++nr;
        if (protocols.rfind("exported_pdu:nas-5gs", 0) == 0) ++nas;
        EXPECT_EQ(protocols.find(":data"), std::string::npos);
        EXPECT_EQ(malformed, "");
        EXPECT_EQ(dst, "127.0.0." + std::to_string(subscriptions[n]));
        ++n;
    }
    EXPECT_EQ(n, subscriptions.size()) << text;
    EXPECT_EQ(nr, nrRecords);
    EXPECT_EQ(nas, std::size(kNas));
    // The reconfiguration complete, put behind its UL-DCCH choice bits, reads as what it is.
    const std::string info = run("tshark -r '" + pcap.path() + "' -T fields -e _ws.col.Info 2>/dev/null");
    EXPECT_GE(countOf(info, "RRC Reconfiguration Complete"), 10u) << info;
}

}  // namespace
}  // namespace kvx::ota
