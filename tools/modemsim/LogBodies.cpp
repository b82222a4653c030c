#include "modemsim/LogBodies.h"

#include <string>

namespace kvx::modemsim {

namespace {

// Unaligned PER is a plain bit string, most significant bit first, padded with zero bits to
// a whole octet at the end of the message.
class BitWriter {
public:
    BitWriter& put(uint64_t value, unsigned bits) {
        for (unsigned i = bits; i-- > 0;) bit((value >> i) & 1u);
        return *this;
    }
    BitWriter& bit(uint64_t b) {
        if (used_ % 8 == 0) out_.push_back(0);
        if (b) out_.back() |= static_cast<uint8_t>(0x80u >> (used_ % 8));
        ++used_;
        return *this;
    }
    std::vector<uint8_t> take() { return std::move(out_); }

private:
    std::vector<uint8_t> out_;
    size_t used_ = 0;
};

unsigned digitAt(const std::string& s, size_t i) {
    return i < s.size() && s[i] >= '0' && s[i] <= '9' ? static_cast<unsigned>(s[i] - '0') : 0;
}

// PLMN-Identity of LTE RRC: mcc present, three digits, mnc length bit and its digits.
void putPlmn(BitWriter& w, const std::string& mcc, const std::string& mnc) {
    w.bit(1);
    for (size_t i = 0; i < 3; ++i) w.put(digitAt(mcc, i), 4);
    const size_t n = mnc.size() >= 3 ? 3 : 2;
    w.bit(n == 3 ? 1 : 0);
    for (size_t i = 0; i < n; ++i) w.put(digitAt(mnc, i), 4);
}

// The location area of the air interface: MCC/MNC nibbles as 3GPP codes them, LAC big-endian.
void putLai(std::vector<uint8_t>& o, const GsmIdentity& g) {
    const unsigned mnc3 = g.mnc.size() >= 3 ? digitAt(g.mnc, 2) : 0xF;
    o.push_back(static_cast<uint8_t>(digitAt(g.mcc, 0) | digitAt(g.mcc, 1) << 4));
    o.push_back(static_cast<uint8_t>(digitAt(g.mcc, 2) | mnc3 << 4));
    o.push_back(static_cast<uint8_t>(digitAt(g.mnc, 0) | digitAt(g.mnc, 1) << 4));
    o.push_back(static_cast<uint8_t>(g.lac >> 8));
    o.push_back(static_cast<uint8_t>(g.lac));
}

std::vector<uint8_t> mib(uint32_t sfn) {
    BitWriter w;
    w.put(5, 3);         // dl-Bandwidth n100
    w.bit(0).put(2, 2);  // phich-Config: normal duration, resource "one"
    w.put(sfn >> 2, 8);  // the 8 most significant bits of the frame number
    w.put(0, 10);        // spare
    return w.take();
}

std::vector<uint8_t> sib1(const ModemProfile& p, uint32_t valueTag) {
    const LteCell& c = p.lte;
    BitWriter w;
    w.bit(0).bit(1);           // c1: systemInformationBlockType1
    w.bit(1).bit(0).bit(0);    // p-Max present; no tdd-Config, no extension
    w.bit(0);                  // cellAccessRelatedInfo: no csg-Identity
    w.put(0, 3);               // one PLMN
    putPlmn(w, p.gsm.mcc, p.gsm.mnc);
    w.bit(1);                  // cellReservedForOperatorUse: notReserved
    w.put(c.tac, 16);
    w.put(c.cellIdentity & 0x0FFFFFFF, 28);
    w.bit(1);                  // cellBarred: notBarred
    w.bit(0);                  // intraFreqReselection: allowed
    w.bit(0);                  // csg-Indication false
    w.bit(0);                  // cellSelectionInfo: no q-RxLevMinOffset
    w.put(-64 + 70, 6);        // q-RxLevMin -64 (x2 dBm)
    w.put(23 + 30, 6);         // p-Max 23 dBm
    w.put(c.band - 1u, 6);     // freqBandIndicator
    w.put(0, 5);               // one scheduling entry (it carries SIB2)
    w.put(1, 3).put(0, 5);     // rf16, no further SIBs mapped
    w.put(5, 3);               // si-WindowLength ms20
    w.put(valueTag & 31, 5);   // systemInfoValueTag
    return w.take();
}

std::vector<uint8_t> paging(uint8_t mmec, uint32_t mTmsi) {
    BitWriter w;
    w.bit(0);                  // c1 (its one alternative needs no bits)
    w.put(0b1000, 4);          // pagingRecordList present only
    w.put(0, 4);               // one record
    w.bit(0);                  // PagingRecord extension bit
    w.bit(0).bit(0);           // ue-Identity: no extension, s-TMSI
    w.put(mmec, 8).put(mTmsi, 32);
    w.bit(0);                  // cn-Domain ps
    return w.take();
}

std::vector<uint8_t> connectionRequest(uint64_t random40) {
    BitWriter w;
    w.bit(0).bit(1);           // c1: rrcConnectionRequest
    w.bit(0);                  // rrcConnectionRequest-r8
    w.bit(1).put(random40, 40);// ue-Identity: randomValue
    w.put(3, 3);               // establishmentCause mo-Signalling
    w.bit(0);                  // spare
    return w.take();
}

std::vector<uint8_t> connectionRelease(unsigned transaction) {
    BitWriter w;
    w.bit(0).put(5, 4);        // c1: rrcConnectionRelease
    w.put(transaction & 3, 2);
    w.bit(0).put(0, 2);        // c1: rrcConnectionRelease-r8
    w.put(0, 3);               // no redirection, mobility info, extension
    w.put(1, 2);               // releaseCause other
    return w.take();
}

std::vector<uint8_t> securityModeCommand(unsigned transaction) {
    BitWriter w;
    w.bit(0).put(6, 4);        // c1: securityModeCommand
    w.put(transaction & 3, 2);
    w.bit(0).put(0, 2);        // c1: securityModeCommand-r8
    w.bit(0);                  // no extension
    w.bit(0);                  // securityConfigSMC extension bit
    w.bit(0).put(2, 3);        // cipheringAlgorithm eea2
    w.bit(0).put(2, 3);        // integrityProtAlgorithm eia2
    return w.take();
}

std::vector<uint8_t> capabilityEnquiry(unsigned transaction) {
    BitWriter w;
    w.bit(0).put(7, 4);        // c1: ueCapabilityEnquiry
    w.put(transaction & 3, 2);
    w.bit(0).put(0, 2);        // c1: ueCapabilityEnquiry-r8
    w.bit(0);                  // no extension
    w.put(0, 3);               // one RAT
    w.bit(0).put(0, 3);        // eutra
    return w.take();
}

// UMTS UL-CCCH RRCConnectionRequest with a TMSI and the location area, cause registration.
std::vector<uint8_t> umtsConnectionRequest(const GsmIdentity& g, uint32_t tmsi) {
    BitWriter w;
    w.bit(0);                  // no integrityCheckInfo
    w.put(1, 2);               // rrcConnectionRequest
    w.put(0, 2);               // no measuredResultsOnRACH, no extensions
    w.put(1, 3);               // initialUE-Identity: tmsi-and-LAI
    w.put(tmsi, 32);
    for (size_t i = 0; i < 3; ++i) w.put(digitAt(g.mcc, i), 4);
    const size_t n = g.mnc.size() >= 3 ? 3 : 2;
    w.bit(n == 3 ? 1 : 0);
    for (size_t i = 0; i < n; ++i) w.put(digitAt(g.mnc, i), 4);
    w.put(g.lac, 16);
    w.put(12, 5);              // establishmentCause registration
    w.bit(0);                  // protocolErrorIndicator noError
    return w.take();
}

void putU16(std::vector<uint8_t>& o, uint32_t v) {
    o.push_back(static_cast<uint8_t>(v));
    o.push_back(static_cast<uint8_t>(v >> 8));
}
void putU32(std::vector<uint8_t>& o, uint32_t v) {
    putU16(o, v);
    putU16(o, v >> 16);
}

}  // namespace

std::vector<LteRrcMessage> lteRrcMessages(const ModemProfile& p, uint64_t salt) {
    const uint32_t sfn = static_cast<uint32_t>(salt % 1024);
    const unsigned tid = static_cast<unsigned>(salt >> 10) & 3;
    const uint32_t tmsi = static_cast<uint32_t>(salt * 0x9E3779B97F4A7C15ULL >> 32);
    return {
        {LteRrcChannel::BcchBch, mib(sfn), "MasterInformationBlock"},
        {LteRrcChannel::BcchDlSch, sib1(p, static_cast<uint32_t>(salt >> 12)), "SystemInformationBlockType1"},
        {LteRrcChannel::Pcch, paging(static_cast<uint8_t>(salt >> 20), tmsi), "Paging"},
        {LteRrcChannel::UlCcch, connectionRequest((salt * 0xD1B54A32D192ED03ULL) >> 24),
         "RRCConnectionRequest"},
        {LteRrcChannel::DlDcch, securityModeCommand(tid), "SecurityModeCommand"},
        {LteRrcChannel::DlDcch, capabilityEnquiry(tid), "UECapabilityEnquiry"},
        {LteRrcChannel::DlDcch, connectionRelease(tid), "RRCConnectionRelease"},
    };
}

std::vector<uint8_t> lteRrcOtaBody(const ModemProfile& p, uint64_t salt) {
    auto msgs = lteRrcMessages(p, salt);
    // Broadcasts and paging are what an idle modem mostly hears.
    static constexpr uint8_t kPick[] = {0, 1, 1, 2, 2, 2, 0, 3, 4, 5, 6, 1};
    const LteRrcMessage& m = msgs[kPick[(salt >> 3) % sizeof kPick]];
    std::vector<uint8_t> b;
    b.push_back(kLteRrcPacketVersion);
    b.push_back(9);  // RRC release 9.x
    b.push_back(0x60);
    b.push_back(m.channel == LteRrcChannel::DlDcch ? 1 : 0);  // signalling radio bearer 1
    putU16(b, p.lte.pci);
    putU32(b, p.lte.earfcn);
    putU16(b, static_cast<uint32_t>((salt % 1024) << 4 | (salt >> 32) % 10));
    b.push_back(static_cast<uint8_t>(m.channel));
    putU32(b, 0);  // SIB mask
    putU16(b, static_cast<uint32_t>(m.bytes.size()));
    b.insert(b.end(), m.bytes.begin(), m.bytes.end());
    return b;
}

std::vector<uint8_t> lteNasBody(bool outgoing, uint64_t salt) {
    // Packet version, release and version numbers, then the plain NAS message.
    std::vector<uint8_t> b{0x01, 0x09, 0x05, 0x00};
    if (outgoing) {
        if (salt % 2 == 0) {
            b.insert(b.end(), {0x07, 0x5E});  // Security mode complete
        } else {
            // Identity response with the IMSI 310410123456789 (odd count, type 1).
            b.insert(b.end(), {0x07, 0x56, 0x08, 0x39, 0x01, 0x14, 0x10, 0x32, 0x54, 0x76, 0x98});
        }
    } else {
        if (salt % 2 == 0)
            b.insert(b.end(), {0x07, 0x55, 0x01});  // Identity request: IMSI
        else
            b.insert(b.end(), {0x07, 0x61});  // EMM information without optional parts
    }
    return b;
}

std::vector<uint8_t> wcdmaRrcBody(const ModemProfile& p, uint64_t salt) {
    const auto msg = umtsConnectionRequest(p.gsm, static_cast<uint32_t>(salt * 0x2545F4914F6CDD1DULL >> 32));
    std::vector<uint8_t> b{0x00, 0x00};  // channel UL-CCCH, radio bearer 0
    putU16(b, static_cast<uint32_t>(msg.size()));
    b.insert(b.end(), msg.begin(), msg.end());
    return b;
}

std::vector<uint8_t> gsmRrBody(const ModemProfile& p, uint64_t salt) {
    // Channel (bit 7: downlink), message type, length, then the 23-octet block with its L2
    // pseudo length and rest octets padded with 2B.
    std::vector<uint8_t> m;
    uint8_t channel = 0x81, type = 0x1B;
    switch (salt % 3) {
        case 0:  // System information type 3
            m = {0x49, 0x06, 0x1B, static_cast<uint8_t>(p.gsm.cellId >> 8), static_cast<uint8_t>(p.gsm.cellId)};
            putLai(m, p.gsm);
            m.insert(m.end(), {0x49, 0x03, 0x0A, 0x28, 0x45, 0x46, 0xB8, 0x00, 0x00});
            break;
        case 1:  // System information type 4
            type = 0x1C;
            m = {0x31, 0x06, 0x1C};
            putLai(m, p.gsm);
            m.insert(m.end(), {0x45, 0x46, 0xB8, 0x00, 0x00});
            break;
        default: {  // Paging request type 1 for a TMSI, on the common control channel
            channel = 0x83;
            type = 0x21;
            const auto t = static_cast<uint32_t>(salt * 0x9E3779B97F4A7C15ULL >> 32);
            m = {0x25, 0x06, 0x21, 0x00, 0x05, 0xF4, static_cast<uint8_t>(t >> 24), static_cast<uint8_t>(t >> 16),
                 static_cast<uint8_t>(t >> 8), static_cast<uint8_t>(t)};
            break;
        }
    }
    m.resize(23, 0x2B);
    m.insert(m.begin(), {channel, type, static_cast<uint8_t>(m.size())});
    return m;
}

std::vector<uint8_t> gsmServingCellBody(const GsmServingCell& c) {
    std::vector<uint8_t> b;
    b.push_back(static_cast<uint8_t>(c.arfcn & 0xFF));
    b.push_back(static_cast<uint8_t>(((c.band & 0x0F) << 4) | ((c.arfcn >> 8) & 0x0F)));
    putU16(b, static_cast<uint16_t>(c.rxPowerSixteenths));
    b.push_back(c.txLevelByte);
    b.push_back(c.timingAdvanceByte);
    b.push_back(c.dtx ? 1 : 0);
    // BSIC, RxLev full/sub, RxQual full/sub, and reserved bytes as the L1 reports them.
    b.insert(b.end(), {0x2B, 0x1E, 0x1C, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00});
    return b;
}

std::vector<uint8_t> gsmDlSignallingBody(uint32_t count) {
    std::vector<uint8_t> b;
    putU32(b, count);
    return b;
}

std::vector<uint8_t> gsmRlTimeoutBody(uint8_t count) { return {count, 0x20, 0x00, 0x00}; }

bool hasRealLayout(uint16_t code) {
    switch (code) {
        case kLteRrcOtaCode:
        case kLteNasEmmInCode:
        case kLteNasEmmOutCode:
        case kWcdmaRrcCode:
        case kGsmRrCode:
        case kGsmServingCellCode:
        case kGsmDlSignallingCode:
        case kGsmRlTimeoutCode:
            return true;
        default:
            return false;
    }
}

void appendLogPacket(std::vector<uint8_t>& out, uint16_t code, uint64_t stamp,
                     std::span<const uint8_t> body) {
    const uint32_t recLen = 12 + static_cast<uint32_t>(body.size());
    out.push_back(0x10);
    out.push_back(0x00);
    putU16(out, recLen);
    putU16(out, recLen);
    putU16(out, code);
    putU32(out, static_cast<uint32_t>(stamp));
    putU32(out, static_cast<uint32_t>(stamp >> 32));
    out.insert(out.end(), body.begin(), body.end());
}

}  // namespace kvx::modemsim
