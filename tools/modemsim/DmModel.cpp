#include "modemsim/DmModel.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <optional>
#include <string_view>

#include "dm/ByteReader.h"
#include "dm/DmTime.h"
#include "modemsim/LogBodies.h"
#include "modemsim/Replay.h"

namespace kvx::modemsim {

namespace {

constexpr uint8_t kBadCommand = 0x13;
constexpr uint8_t kBadParameters = 0x14;
constexpr uint8_t kBadLength = 0x15;
// Error replies echo the request, as the chipset does, but not without end.
constexpr size_t kEchoLimit = 64;
// Log codes have 12 item bits, so no equipment has more items than this.
constexpr uint32_t kMaxItems = 4096;
constexpr uint16_t kServingCellCode = kGsmServingCellCode;
// Log config status of a set request that carries no items.
constexpr uint32_t kLogNoValidMask = 2;
// Message levels the firmware was built with (low, medium, high, error, fatal).
constexpr uint32_t kBuildLevels = 0x1F;
// The largest request the modem takes, as its diag service reports it.
constexpr uint32_t kMaxRequest = 8192;
// Features the modem announces to the feature query.
constexpr uint8_t kFeatureMask[] = {0x7F, 0xFF, 0x03, 0x00};

// Appends little-endian fields to a payload.
struct Out {
    std::vector<uint8_t>& v;
    Out& u8(uint32_t x) {
        v.push_back(static_cast<uint8_t>(x));
        return *this;
    }
    Out& u16(uint32_t x) { return u8(x).u8(x >> 8); }
    Out& u32(uint32_t x) { return u16(x).u16(x >> 16); }
    Out& u64(uint64_t x) {
        return u32(static_cast<uint32_t>(x)).u32(static_cast<uint32_t>(x >> 32));
    }
    Out& bytes(std::span<const uint8_t> b) {
        v.insert(v.end(), b.begin(), b.end());
        return *this;
    }
    // A fixed-width text field: cut, or padded with NUL.
    Out& fixed(std::string_view s, size_t width) {
        for (size_t i = 0; i < width; ++i) u8(i < s.size() ? static_cast<uint8_t>(s[i]) : 0);
        return *this;
    }
    Out& cstr(std::string_view s) {
        for (char c : s) u8(static_cast<uint8_t>(c));
        return u8(0);
    }
};

inline void put16At(uint8_t* p, uint32_t x) {
    p[0] = static_cast<uint8_t>(x);
    p[1] = static_cast<uint8_t>(x >> 8);
}
inline void put32At(uint8_t* p, uint32_t x) {
    put16At(p, x);
    put16At(p + 2, x >> 16);
}
inline void put64At(uint8_t* p, uint64_t x) {
    put32At(p, static_cast<uint32_t>(x));
    put32At(p + 4, static_cast<uint32_t>(x >> 32));
}

uint8_t digit(const std::string& s, size_t i) {
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return 0xF;
    return static_cast<uint8_t>(s[i] - '0');
}

// A mobile identity as the air interface codes it: first digit in the high nibble of the
// type byte, then digit pairs low nibble first, filler F when the count is even.
void putIdentity(Out& o, const std::string& digits, uint8_t type) {
    const bool odd = digits.size() % 2 == 1;
    o.u8(0x08);
    o.u8(static_cast<uint8_t>((digit(digits, 0) << 4) | (odd ? 0x8 : 0x0) | type));
    for (size_t k = 0; k < 7; ++k)
        o.u8(static_cast<uint8_t>(digit(digits, 2 * k + 1) | (digit(digits, 2 * k + 2) << 4)));
}

std::vector<uint8_t> errorReply(uint8_t code, std::span<const uint8_t> req) {
    std::vector<uint8_t> r{code};
    r.insert(r.end(), req.begin(), req.begin() + static_cast<ptrdiff_t>(std::min(req.size(), kEchoLimit)));
    return r;
}

struct MessageText {
    const char* format;
    const char* file;
    uint8_t args;
};
constexpr MessageText kMessages[] = {
    {"RRC: state %d -> %d", "rrc_state.c", 2},
    {"L1: sleep cycle %d ms, wake-ups %d", "l1_sleep.c", 2},
    {"NAS: attach attempt %d", "emm_attach.c", 1},
    {"MAC: UL grant %d bytes, harq %d, rv %d", "mac_ul.c", 3},
    {"CM: serving system changed", "cmss.c", 0},
    {"MAV PSSI: provisioning table size = %d", "mav_pssi_prov.c", 1},
};

}  // namespace

uint64_t dmTimestampNow(bool gpsLeap) {
    using namespace std::chrono;
    const int64_t us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return dm::unixMicrosToDmTime(us + (gpsLeap ? int64_t{dm::kGpsLeapSeconds} * 1000000 : 0));
}

DmModel::DmModel(ModemProfile profile)
    : profile_(std::move(profile)),
      logging_(profile_.streamStart == StreamStart::Masks),
      rng_(profile_.seed | 1) {
    for (size_t e = 0; e < 16; ++e)
        logMasks_[e].assign((std::min(profile_.logLimits[e], kMaxItems) + 7) / 8, 0);
    eventMask_.assign((static_cast<size_t>(profile_.eventMaskBits) + 7) / 8, 0);
    messageMasks_.resize(profile_.messageRanges.size());
    for (size_t i = 0; i < profile_.messageRanges.size(); ++i) {
        const auto& r = profile_.messageRanges[i];
        messageMasks_[i].assign(r.last >= r.first ? r.last - r.first + 1u : 0u, 0);
    }
}

void DmModel::reset() {
    logging_ = profile_.streamStart == StreamStart::Masks;
    eventReporting_ = false;
    for (auto& m : logMasks_) std::fill(m.begin(), m.end(), 0);
    std::fill(eventMask_.begin(), eventMask_.end(), 0);
    for (auto& m : messageMasks_) std::fill(m.begin(), m.end(), 0);
    dirty_ = true;
}

uint64_t DmModel::rand64() {
    // xorshift64*: fast, and reproducible from the profile's seed.
    rng_ ^= rng_ >> 12;
    rng_ ^= rng_ << 25;
    rng_ ^= rng_ >> 27;
    return rng_ * 0x2545F4914F6CDD1DULL;
}

// ---------------------------------------------------------------------------------------
// Replies

std::vector<uint8_t> DmModel::versionReply() const {
    std::vector<uint8_t> v;
    Out o{v};
    o.u8(0x00)
        .fixed(profile_.compileDate, 11)
        .fixed(profile_.compileTime, 8)
        .fixed(profile_.releaseDate, 11)
        .fixed(profile_.releaseTime, 8)
        .fixed(profile_.versionDir, 8);
    // Station class mark, CAI revision, mobile model, firmware revision (LE16), slot cycle
    // index, hardware version major and minor.
    o.u8(0x3A).u8(0x09).u8(0xFF).u16(0x0064).u8(0x02).u8(0x01).u8(0x02);
    return v;
}

std::vector<uint8_t> DmModel::gsmStatusReply() const {
    const GsmIdentity& g = profile_.gsm;
    std::vector<uint8_t> v;
    Out o{v};
    o.u8(0x4B).u8(0x08).u16(0x0001);
    putIdentity(o, g.imei, 0x2);  // bytes 4-12; type IMEI
    putIdentity(o, g.imsi, 0x1);  // bytes 13-21; type IMSI
    // Location area (bytes 22-26): MCC/MNC digits as on the air, LAC most significant first.
    const uint8_t mnc3 = g.mnc.size() >= 3 ? digit(g.mnc, 2) : 0xF;
    o.u8(static_cast<uint8_t>(digit(g.mcc, 0) | (digit(g.mcc, 1) << 4)));
    o.u8(static_cast<uint8_t>(digit(g.mcc, 2) | (mnc3 << 4)));
    o.u8(static_cast<uint8_t>(digit(g.mnc, 0) | (digit(g.mnc, 1) << 4)));
    o.u8(g.lac >> 8).u8(g.lac & 0xFF);
    o.u16(g.cellId);  // bytes 27-28
    o.u8(g.callState).u8(g.operatingMode).u8(g.systemMode);  // bytes 29-31
    return v;
}

std::vector<uint8_t> DmModel::servingCellLogPacket() const {
    std::vector<uint8_t> p;
    appendLogPacket(p, kServingCellCode, stampNow(), gsmServingCellBody(profile_.cell));
    return p;
}

RequestEffect DmModel::handle(std::span<const uint8_t> req, bool answer,
                              std::vector<std::vector<uint8_t>>& replies) {
    if (req.empty()) return RequestEffect::Empty;
    // A request for one subscription of a multi-SIM modem: answered in kind, each reply
    // behind the request's own 8-byte wrapper.
    constexpr size_t kWrapper = 8;
    if (req[0] == 0x98) {
        if (req.size() <= kWrapper) {
            if (answer) replies.push_back(errorReply(kBadLength, req));
            return answer ? RequestEffect::BadLength : RequestEffect::Unanswered;
        }
        std::vector<std::vector<uint8_t>> inner;
        const RequestEffect effect = handlePlain(req.subspan(kWrapper), answer, inner);
        for (auto& r : inner) {
            std::vector<uint8_t> w(req.begin(), req.begin() + kWrapper);
            w.insert(w.end(), r.begin(), r.end());
            replies.push_back(std::move(w));
        }
        return effect;
    }
    return handlePlain(req, answer, replies);
}

RequestEffect DmModel::handlePlain(std::span<const uint8_t> req, bool answer,
                                   std::vector<std::vector<uint8_t>>& replies) {
    auto reply = [&](std::vector<uint8_t> r) {
        if (!answer) return RequestEffect::Unanswered;
        replies.push_back(std::move(r));
        return RequestEffect::Answered;
    };
    auto fail = [&](uint8_t code, RequestEffect effect) {
        if (answer) replies.push_back(errorReply(code, req));
        return answer ? effect : RequestEffect::Unanswered;
    };

    switch (req[0]) {
        case 0x00:
            return reply(versionReply());
        case 0x1C:
            return reply({0x1C, 0x08, 0x00});
        case 0x1D: {
            std::vector<uint8_t> v{0x1D};
            Out{v}.u64(stampNow());
            return reply(std::move(v));
        }
        case 0x51:    // feature query
        case 0x75: {  // its later form: the same reply
            std::vector<uint8_t> v{req[0]};
            Out{v}.u16(sizeof kFeatureMask).bytes(kFeatureMask);
            return reply(std::move(v));
        }
        case 0x7C: {
            std::vector<uint8_t> v;
            Out{v}.u8(0x7C).u8(0x01).u16(0).u32(0x000090B0).u32(0x00001007).cstr(profile_.buildId).cstr("");
            return reply(std::move(v));
        }
        case 0x26: {
            // NV read: command, item, 128 data bytes (the first is the array index), status.
            if (req.size() != 133) return fail(kBadLength, RequestEffect::BadLength);
            const uint16_t item = *dm::le16At(req, 1);
            const uint8_t index = req[3];
            std::vector<uint8_t> v;
            Out o{v};
            o.u8(0x26).u16(item);
            std::array<uint8_t, 128> data{};
            if (item == 550) {  // the IMEI item
                std::vector<uint8_t> id;
                Out io{id};
                putIdentity(io, profile_.gsm.imei, 0x2);
                std::copy(id.begin(), id.end(), data.begin());
            } else {
                data[0] = index;
                uint64_t h = (uint64_t{item} << 8 | index) * 0x9E3779B97F4A7C15ULL;
                for (size_t i = 1; i < 9; ++i, h >>= 7) data[i] = static_cast<uint8_t>(h);
            }
            o.bytes(data).u16(0);  // status 0: done
            return reply(std::move(v));
        }
        case 0x4B:
            return handleSubsystem(req, answer, replies);
        case 0x60:
        case 0x81:
        case 0x82:
            return handleEvents(req, answer, replies);
        case 0x73:
            return handleLogConfig(req, answer, replies);
        case 0x78: {
            // Log on demand: an acknowledgement, then the log packet itself.
            auto code = dm::le16At(req, 1);
            if (!code) return fail(kBadLength, RequestEffect::BadLength);
            const bool known = *code == kServingCellCode;
            std::vector<uint8_t> v;
            Out{v}.u8(0x78).u16(*code).u8(known ? 0 : 1);
            if (!answer) return RequestEffect::Unanswered;
            replies.push_back(std::move(v));
            if (known) replies.push_back(servingCellLogPacket());
            return RequestEffect::Answered;
        }
        case 0x7D:
            return handleMessageConfig(req, answer, replies);
        default:
            return fail(kBadCommand, RequestEffect::BadCommand);
    }
}

RequestEffect DmModel::handleSubsystem(std::span<const uint8_t> req, bool answer,
                                       std::vector<std::vector<uint8_t>>& replies) {
    auto fail = [&](uint8_t code, RequestEffect effect) {
        if (answer) replies.push_back(errorReply(code, req));
        return answer ? effect : RequestEffect::Unanswered;
    };
    auto cmd = dm::le16At(req, 2);
    if (!cmd) return fail(kBadLength, RequestEffect::BadLength);
    const uint8_t subsystem = req[1];
    std::vector<uint8_t> v(req.begin(), req.begin() + 4);  // every reply echoes the header
    Out o{v};
    if (subsystem == 0x00 && *cmd == 0x0000 && profile_.streamStart == StreamStart::LoggingSwitch) {
        // The maker's logging switch: LE16 action 0 starts, 1 stops. The modem does not
        // answer it (a subsystem-0 reply means something else to the host). A plain chipset
        // does not know it.
        auto action = dm::le16At(req, 4);
        if (req.size() != 8 || !action) return fail(kBadLength, RequestEffect::BadLength);
        if (*action > 1) return fail(kBadParameters, RequestEffect::BadParameters);
        logging_ = *action == 0;
        return RequestEffect::StateOnly;
    }
    if (subsystem == 0x12) return handleDiagService(req, answer, replies);
    if (subsystem == 0x13) {
        // The file system (EFS2): present in every chipset, closed to hosts on this modem.
        return fail(kBadParameters, RequestEffect::BadParameters);
    }
    if (subsystem == 0x08 && *cmd == 0x0001) {
        v = gsmStatusReply();
    } else if (subsystem == 0x08 && *cmd == 0x0000) {
        o.u16(0x0602).u16(0x0011).u16(0x2024);  // GSM L1/L2 and vocoder versions
    } else if (subsystem == 0x0F && *cmd == 0x0000) {
        const GsmIdentity& g = profile_.gsm;
        // Call manager state: call state, operating mode, system mode, mode/band/roam/
        // domain/acquisition/hybrid/network-selection preferences, service status.
        o.u32(g.callState).u32(g.operatingMode).u32(g.systemMode).u32(2).u32(0x3FFFFFFF)
            .u32(0xFF).u32(2).u32(2).u32(1).u32(0).u32(2);
    } else if (subsystem == 0x09 && *cmd == 0x0000) {
        o.u8(6).u8(7).u8(6).u8(0).fixed("_CS", 4).fixed(profile_.versionDir, 10).u16(0xF00F).u16(0);
    } else if (subsystem == 0x04 && *cmd == 0x0000) {
        o.u8(8).u8(6).u32(0);  // WCDMA protocol and L1 versions
    } else if (subsystem == 0x04 && *cmd == 0x0005) {
        // WCDMA status: L1 state, RRC state, DL UARFCN, primary scrambling code, RSCP, Ec/Io.
        o.u8(0x02).u8(0x00).u16(10737).u16(0x012C).u16(static_cast<uint16_t>(-95)).u8(0xF4);
    } else {
        return fail(kBadCommand, RequestEffect::BadCommand);
    }
    if (!answer) return RequestEffect::Unanswered;
    replies.push_back(std::move(v));
    return RequestEffect::Answered;
}

RequestEffect DmModel::handleDiagService(std::span<const uint8_t> req, bool answer,
                                         std::vector<std::vector<uint8_t>>& replies) {
    auto fail = [&](uint8_t code, RequestEffect effect) {
        if (answer) replies.push_back(errorReply(code, req));
        return answer ? effect : RequestEffect::Unanswered;
    };
    const uint16_t cmd = *dm::le16At(req, 2);
    std::vector<uint8_t> v(req.begin(), req.begin() + 4);
    Out o{v};
    // The versioned queries echo the version byte of the request.
    const auto version = req.size() > 4 ? std::optional<uint8_t>(req[4]) : std::nullopt;
    switch (cmd) {
        case 0x0055:  // largest request taken
            o.u32(kMaxRequest);
            break;
        case 0x021B:  // time stamp source: 0, the modem's own clock
            if (!version) return fail(kBadLength, RequestEffect::BadLength);
            o.u8(*version).u8(0);
            break;
        case 0x0222: {  // diag ids of the processors: just this one
            if (!version) return fail(kBadLength, RequestEffect::BadLength);
            static constexpr char kName[] = "MODEM";
            o.u8(*version).u8(1).u8(1).u8(sizeof kName).cstr(kName);
            break;
        }
        case 0x0223:  // transport: 0, the serial (HDLC) link
            o.u8(0);
            break;
        case 0x0225:  // diag's own feature query: version, mask length, mask
            o.u8(1).u8(sizeof kFeatureMask).bytes(kFeatureMask);
            break;
        case 0x0230: {  // clear every mask
            if (!version) return fail(kBadLength, RequestEffect::BadLength);
            for (auto& m : logMasks_) std::fill(m.begin(), m.end(), 0);
            std::fill(eventMask_.begin(), eventMask_.end(), 0);
            for (auto& m : messageMasks_) std::fill(m.begin(), m.end(), 0);
            dirty_ = true;
            o.u8(*version).u8(0);
            break;
        }
        default:
            return fail(kBadCommand, RequestEffect::BadCommand);
    }
    if (!answer) return RequestEffect::Unanswered;
    replies.push_back(std::move(v));
    return RequestEffect::Answered;
}

RequestEffect DmModel::handleLogConfig(std::span<const uint8_t> req, bool answer,
                                       std::vector<std::vector<uint8_t>>& replies) {
    auto fail = [&](uint8_t code, RequestEffect effect) {
        if (answer) replies.push_back(errorReply(code, req));
        return answer ? effect : RequestEffect::Unanswered;
    };
    dm::ByteReader r(req);
    r.skip(4);  // command and three reserved bytes
    auto op = r.u32();
    if (!op) return fail(kBadLength, RequestEffect::BadLength);
    std::vector<uint8_t> v;
    Out o{v};
    o.u8(0x73).u8(0).u16(0).u32(*op);
    switch (*op) {
        case 0:  // all logging off
            for (auto& m : logMasks_) std::fill(m.begin(), m.end(), 0);
            dirty_ = true;
            o.u32(0);
            break;
        case 1:  // item ranges
            o.u32(0);
            for (uint32_t l : profile_.logLimits) o.u32(l);
            break;
        case 2:    // the items this build can log: all of them
        case 3:    // set the mask of one equipment
        case 4: {  // get it
            auto equipment = r.u32();
            if (!equipment) return fail(kBadLength, RequestEffect::BadLength);
            if (*equipment > 15 || profile_.logLimits[*equipment] == 0) {
                o.u32(1).u32(*equipment);  // status 1: no such equipment
                break;
            }
            auto& mask = logMasks_[*equipment];
            const uint32_t kept = std::min(profile_.logLimits[*equipment], kMaxItems);
            if (*op == 2) {
                std::vector<uint8_t> all(mask.size(), 0xFF);
                if (kept % 8 != 0) all.back() = static_cast<uint8_t>((1u << (kept % 8)) - 1);
                o.u32(0).u32(*equipment).u32(kept).bytes(all);
                break;
            }
            if (*op == 4) {
                o.u32(0).u32(*equipment).u32(kept).bytes(mask);
                break;
            }
            auto limit = r.u32();
            if (!limit) return fail(kBadLength, RequestEffect::BadLength);
            if (*limit == 0) {
                // Nothing to set: the mask stays as it was.
                o.u32(kLogNoValidMask).u32(*equipment).u32(0);
                break;
            }
            // Items beyond the modem's own limit, and mask bytes the request lacks, are 0.
            const uint32_t items = std::min(*limit, kept);
            const auto given = r.rest();
            std::fill(mask.begin(), mask.end(), 0);
            const size_t n = std::min<size_t>({given.size(), (items + 7) / 8, mask.size()});
            std::copy_n(given.begin(), n, mask.begin());
            if (items % 8 != 0 && n == (items + 7) / 8)
                mask[n - 1] &= static_cast<uint8_t>((1u << (items % 8)) - 1);
            dirty_ = true;
            // The reply carries the host's item count back, and the mask as the modem keeps it.
            o.u32(0).u32(*equipment).u32(*limit).bytes(mask);
            break;
        }
        default:
            return fail(kBadParameters, RequestEffect::BadParameters);
    }
    if (!answer) return RequestEffect::Unanswered;
    replies.push_back(std::move(v));
    return RequestEffect::Answered;
}

RequestEffect DmModel::handleMessageConfig(std::span<const uint8_t> req, bool answer,
                                           std::vector<std::vector<uint8_t>>& replies) {
    auto fail = [&](uint8_t code, RequestEffect effect) {
        if (answer) replies.push_back(errorReply(code, req));
        return answer ? effect : RequestEffect::Unanswered;
    };
    if (req.size() < 2) return fail(kBadLength, RequestEffect::BadLength);
    const auto& ranges = profile_.messageRanges;
    // The stored level mask of a message id, or null when no range holds it.
    auto slot = [&](uint32_t id) -> uint32_t* {
        for (size_t i = 0; i < ranges.size(); ++i)
            if (id >= ranges[i].first && id <= ranges[i].last && id - ranges[i].first < messageMasks_[i].size())
                return &messageMasks_[i][id - ranges[i].first];
        return nullptr;
    };
    std::vector<uint8_t> v;
    Out o{v};
    dm::ByteReader r(req);
    r.skip(2);
    switch (req[1]) {
        case 0x01:  // id ranges
            o.u8(0x7D).u8(0x01).u8(0x01).u8(0x00).u32(static_cast<uint32_t>(ranges.size()));
            for (const auto& rg : ranges) o.u16(rg.first).u16(rg.last);
            break;
        case 0x02:    // the levels the firmware was built with, for a range
        case 0x03:    // the masks of a range
        case 0x04: {  // set them
            auto first = r.u16();
            auto last = r.u16();
            // Queries are 6 bytes (some hosts pad them to 8); a set carries 2 reserved bytes.
            if (!first || !last || (req[1] == 0x04 && !r.skip(2)))
                return fail(kBadLength, RequestEffect::BadLength);
            // No modem keeps a range wider than a mask buffer of 1024 ids; refuse it unread.
            if (*last < *first || *last - *first >= 1024)
                return fail(kBadParameters, RequestEffect::BadParameters);
            bool known = false;
            for (uint32_t id = *first; id <= *last; ++id) {
                uint32_t* s = slot(id);
                known = known || s != nullptr;
                if (req[1] == 0x04 && s) {
                    auto level = r.u32();
                    if (!level) break;  // a short request sets the ids it carries
                    *s = *level;
                } else if (req[1] == 0x04) {
                    r.skip(4);
                }
            }
            if (req[1] == 0x04) dirty_ = true;
            o.u8(0x7D).u8(req[1]).u16(*first).u16(*last).u8(known ? 1 : 0).u8(0);
            if (known)
                for (uint32_t id = *first; id <= *last; ++id) {
                    const uint32_t* s = slot(id);
                    o.u32(!s ? 0 : req[1] == 0x02 ? kBuildLevels : *s);
                }
            break;
        }
        case 0x05: {  // every mask to one value (0: all messages off)
            auto pad = r.u16();
            auto level = r.u32();
            if (!pad || !level) return fail(kBadLength, RequestEffect::BadLength);
            for (auto& m : messageMasks_) std::fill(m.begin(), m.end(), *level);
            dirty_ = true;
            o.u8(0x7D).u8(0x05).u8(0x01).u8(0x00).u32(*level);
            break;
        }
        default:
            // The firmware knows sub-commands 1 to 5 only.
            return fail(kBadParameters, RequestEffect::BadParameters);
    }
    if (!answer) return RequestEffect::Unanswered;
    replies.push_back(std::move(v));
    return RequestEffect::Answered;
}

RequestEffect DmModel::handleEvents(std::span<const uint8_t> req, bool answer,
                                    std::vector<std::vector<uint8_t>>& replies) {
    auto fail = [&](uint8_t code, RequestEffect effect) {
        if (answer) replies.push_back(errorReply(code, req));
        return answer ? effect : RequestEffect::Unanswered;
    };
    std::vector<uint8_t> v;
    Out o{v};
    if (req[0] == 0x60) {
        if (req.size() != 2) return fail(kBadLength, RequestEffect::BadLength);
        // Event reporting on turns every event on, off turns them all off; an event mask set
        // afterwards narrows them again.
        eventReporting_ = req[1] != 0;
        std::fill(eventMask_.begin(), eventMask_.end(), eventReporting_ ? 0xFF : 0x00);
        if (eventReporting_ && profile_.eventMaskBits % 8 != 0 && !eventMask_.empty())
            eventMask_.back() = static_cast<uint8_t>((1u << (profile_.eventMaskBits % 8)) - 1);
        dirty_ = true;
        o.u8(0x60).u16(0);
    } else if (req[0] == 0x81) {
        if (req.size() < 4) return fail(kBadLength, RequestEffect::BadLength);
        o.u8(0x81).u8(0).u16(0).u16(profile_.eventMaskBits).bytes(eventMask_);
    } else {
        auto bits = dm::le16At(req, 4);
        if (!bits) return fail(kBadLength, RequestEffect::BadLength);
        // The host may send fewer bytes than the mask holds; the rest are cleared.
        const auto given = req.subspan(6);
        std::fill(eventMask_.begin(), eventMask_.end(), 0);
        std::copy_n(given.begin(), std::min(given.size(), eventMask_.size()), eventMask_.begin());
        if (profile_.eventMaskBits % 8 != 0 && !eventMask_.empty())
            eventMask_.back() &= static_cast<uint8_t>((1u << (profile_.eventMaskBits % 8)) - 1);
        dirty_ = true;
        o.u8(0x82).u8(0).u16(0).u16(profile_.eventMaskBits).bytes(eventMask_);
    }
    if (!answer) return RequestEffect::Unanswered;
    replies.push_back(std::move(v));
    return RequestEffect::Answered;
}

// ---------------------------------------------------------------------------------------
// Stream

namespace {

// The share of a busy modem's stream a log item typically has (relative), by log code.
uint32_t typicalShare(uint16_t code) {
    switch (code) {
        case kCounterLogCode:
            return 8;
        case kLteRrcOtaCode:
            return 6;
        case kWcdmaRrcCode:
        case kGsmRrCode:
            return 4;
        case kGsmServingCellCode:
            return 2;
        case kLteNasEmmInCode:
        case kLteNasEmmOutCode:
        case kGsmDlSignallingCode:
        case kGsmRlTimeoutCode:
            return 1;
        default:
            return 3;
    }
}

// The body size of a log item without a layout of its own: fixed per code, as real items
// are mostly of one size; one code in eight is a large measurement or trace record.
size_t fillerSize(uint16_t code) {
    const uint32_t h = code * 2654435761u;
    return (h >> 29) == 0 ? 600 + (h >> 8) % 1900 : 16 + (h >> 8) % 240;
}

}  // namespace

void DmModel::rebuildEnabled() {
    if (!dirty_) return;
    dirty_ = false;
    replayBarren_ = false;
    enabledLogs_.clear();
    logWeights_.clear();
    uint32_t total = 0;
    for (uint32_t e = 0; e < 16; ++e)
        for (uint32_t i = 0; i < logMasks_[e].size() * 8; ++i)
            if (logMasks_[e][i / 8] & (1u << (i % 8))) {
                const auto code = static_cast<uint16_t>(e << 12 | i);
                enabledLogs_.push_back(code);
                total += typicalShare(code);
                logWeights_.push_back(total);
            }
    enabledEvents_.clear();
    // Event words carry 12 id bits: ids above that cannot be reported.
    const size_t eventBits = std::min<size_t>(eventMask_.size() * 8, 4096);
    for (size_t id = 0; id < eventBits; ++id)
        if (eventMask_[id / 8] & (1u << (id % 8))) enabledEvents_.push_back(static_cast<uint16_t>(id));
    enabledMessages_.clear();
    for (size_t i = 0; i < messageMasks_.size(); ++i)
        for (size_t k = 0; k < messageMasks_[i].size(); ++k)
            if (messageMasks_[i][k] != 0)
                enabledMessages_.emplace_back(static_cast<uint16_t>(profile_.messageRanges[i].first + k),
                                              messageMasks_[i][k]);
    std::sort(enabledMessages_.begin(), enabledMessages_.end());
    enabledMessages_.erase(std::unique(enabledMessages_.begin(), enabledMessages_.end(),
                                       [](const auto& a, const auto& b) { return a.first == b.first; }),
                           enabledMessages_.end());
}

const std::vector<uint16_t>& DmModel::enabledLogCodes() {
    rebuildEnabled();
    return enabledLogs_;
}
const std::vector<uint16_t>& DmModel::enabledEvents() {
    rebuildEnabled();
    return enabledEvents_;
}
const std::vector<std::pair<uint16_t, uint32_t>>& DmModel::enabledMessages() {
    rebuildEnabled();
    return enabledMessages_;
}

bool DmModel::logEnabled(uint16_t code) const {
    const auto& m = logMasks_[code >> 12];
    const uint32_t item = code & 0x0FFF;
    return item / 8 < m.size() && (m[item / 8] & (1u << (item % 8))) != 0;
}

bool DmModel::eventEnabled(uint16_t id) const {
    return id / 8u < eventMask_.size() && (eventMask_[id / 8] & (1u << (id % 8))) != 0;
}

bool DmModel::messageEnabled(uint16_t ssid, uint32_t levels) const {
    const auto& ranges = profile_.messageRanges;
    for (size_t i = 0; i < ranges.size(); ++i)
        if (ssid >= ranges[i].first && ssid <= ranges[i].last) {
            const size_t k = static_cast<size_t>(ssid - ranges[i].first);
            if (k < messageMasks_[i].size() && (messageMasks_[i][k] & levels) != 0) return true;
        }
    return false;
}

bool DmModel::streaming() {
    if (!logging_) return false;
    rebuildEnabled();
    if (replay_ && replayBarren_) return false;
    return !enabledLogs_.empty() || !enabledMessages_.empty() ||
           (eventReporting_ && !enabledEvents_.empty());
}

uint16_t DmModel::pickLogCode() {
    const uint32_t r = static_cast<uint32_t>(rand64() % logWeights_.back());
    const auto it = std::upper_bound(logWeights_.begin(), logWeights_.end(), r);
    return enabledLogs_[static_cast<size_t>(it - logWeights_.begin())];
}

void DmModel::buildCounterPacket(std::vector<uint8_t>& p, uint32_t seq, size_t at) {
    // Mostly small records, some of a few hundred bytes, a few long ones; every 50th is
    // longer than 2048 bytes, as large LTE and WCDMA records are.
    size_t body;
    const uint64_t r = rand64();
    if (seq % 50 == 7)
        body = 2100 + r % 1300;
    else if (r % 100 < 70)
        body = 8 + (r >> 8) % 192;
    else if (r % 100 < 92)
        body = 200 + (r >> 8) % 800;
    else
        body = 1000 + (r >> 8) % 1000;
    const size_t recLen = 12 + body;
    const size_t n = 4 + recLen;
    p.resize(at + n);
    uint8_t* b = p.data() + at;
    b[0] = 0x10;
    b[1] = 0x00;
    put16At(b + 2, static_cast<uint32_t>(recLen));
    put16At(b + 4, static_cast<uint32_t>(recLen));
    put16At(b + 6, kCounterLogCode);
    put64At(b + 8, stampNow());
    put32At(b + 16, seq);
    // Flag and escape bytes right behind the sequence number, so every frame has escapes.
    b[20] = 0x7E;
    b[21] = 0x7D;
    size_t i = 22;
    for (; i + 8 <= n; i += 8) put64At(b + i, rand64());
    for (uint64_t x = rand64(); i < n; ++i, x >>= 8) b[i] = static_cast<uint8_t>(x);
}

void DmModel::buildLogPacket(std::vector<uint8_t>& p, uint16_t code, size_t at) {
    const uint64_t salt = rand64();
    std::vector<uint8_t> body;
    switch (code) {
        case kLteRrcOtaCode:
            body = lteRrcOtaBody(profile_, salt);
            break;
        case kLteNasEmmInCode:
        case kLteNasEmmOutCode:
            body = lteNasBody(code == kLteNasEmmOutCode, salt);
            break;
        case kWcdmaRrcCode:
            body = wcdmaRrcBody(profile_, salt);
            break;
        case kGsmRrCode:
            body = gsmRrBody(profile_, salt);
            break;
        case kGsmServingCellCode:
            body = gsmServingCellBody(profile_.cell);
            break;
        case kGsmDlSignallingCode:
            body = gsmDlSignallingBody(++dlSignalling_);
            break;
        case kGsmRlTimeoutCode:
            body = gsmRlTimeoutBody(static_cast<uint8_t>(salt % 4));
            break;
        default: {
            body.resize(fillerSize(code));
            uint64_t x = salt;
            for (size_t i = 0; i < body.size(); ++i) {
                if (i % 8 == 0) x = rand64();
                body[i] = static_cast<uint8_t>(x >> (8 * (i % 8)));
            }
            break;
        }
    }
    p.resize(at);
    appendLogPacket(p, code, stampNow(), body);
}

void DmModel::buildEventReport(std::vector<uint8_t>& p) {
    p.clear();
    Out o{p};
    o.u8(0x60).u16(0);
    const uint64_t ts = stampNow();
    const size_t count = 1 + rand64() % 4;
    for (size_t k = 0; k < count; ++k) {
        const uint16_t id = enabledEvents_[eventCursor_++ % enabledEvents_.size()];
        const uint32_t kind = id & 3;
        // The first event carries the full time, the ones after it the short form.
        const bool shortTime = k > 0;
        o.u16(id | kind << 13 | (shortTime ? 0x8000u : 0u));
        if (shortTime)
            o.u16(static_cast<uint32_t>(ts >> 8));
        else
            o.u64(ts);
        const uint64_t x = rand64();
        if (kind == 1) o.u8(static_cast<uint32_t>(x));
        if (kind == 2) o.u16(static_cast<uint32_t>(x));
        if (kind == 3) {
            const size_t n = 1 + x % 16;
            o.u8(static_cast<uint32_t>(n));
            for (size_t j = 0; j < n; ++j) o.u8(static_cast<uint32_t>(x >> (8 + j * 3)));
        }
    }
    put16At(p.data() + 1, static_cast<uint32_t>(p.size() - 3));
}

void DmModel::buildMessage(std::vector<uint8_t>& p) {
    p.clear();
    const auto& [ssid, mask] = enabledMessages_[messageCursor_++ % enabledMessages_.size()];
    // Report at one of the levels the mask enables.
    const uint64_t x = rand64();
    uint32_t m = mask;
    for (int skip = static_cast<int>(x % static_cast<uint64_t>(std::popcount(mask))); skip > 0; --skip) m &= m - 1;
    const uint32_t level = m & (~m + 1);
    const size_t which = (x >> 16) % std::size(kMessages);
    const MessageText& t = kMessages[which];
    Out o{p};
    if (profile_.multiSim) {
        // Compressed: the same header, then a 32-bit hash standing for format and file.
        o.u8(0x92).u8(0).u8(t.args).u8(0).u64(stampNow()).u16(100 + (x >> 24) % 2000)
            .u16(ssid).u32(level).u32(0x9E3779B9u * static_cast<uint32_t>(which + 1));
        for (uint8_t a = 0; a < t.args; ++a) o.u32(static_cast<uint32_t>(x >> (a * 11)) & 0xFFFF);
        return;
    }
    o.u8(0x79).u8(0).u8(t.args).u8(0).u64(stampNow()).u16(100 + (x >> 24) % 2000).u16(ssid).u32(level);
    for (uint8_t a = 0; a < t.args; ++a) o.u32(static_cast<uint32_t>(x >> (a * 11)) & 0xFFFF);
    o.cstr(t.format).cstr(t.file);
}

bool DmModel::nextReplayPacket(std::vector<uint8_t>& payload, StreamKind& kind) {
    for (size_t tries = 0; tries < replay_->size(); ++tries) {
        const std::vector<uint8_t>* p = replay_->next(stampNow());
        size_t at = 0;
        const uint8_t cmd = innerCommand(*p, at);
        const std::span<const uint8_t> inner = std::span<const uint8_t>(*p).subspan(at);
        bool pass = false;
        if (cmd == 0x10) {
            kind = StreamKind::Log;
            pass = logEnabled(dm::le16At(inner, 6).value_or(0));
        } else if (cmd == 0x60) {
            kind = StreamKind::Event;
            forEachEvent(inner, [&](uint16_t id, size_t, size_t) { pass = pass || eventEnabled(id); });
            pass = pass && eventReporting_;
        } else {
            kind = StreamKind::Message;
            pass = messageEnabled(dm::le16At(inner, 14).value_or(0), dm::le32At(inner, 16).value_or(0));
        }
        if (pass) {
            payload = *p;
            return true;
        }
    }
    replayBarren_ = true;
    return false;
}

bool DmModel::nextStreamPacket(std::vector<uint8_t>& payload, StreamKind& kind, uint32_t& sequence) {
    sequence = 0;
    if (!streaming()) return false;
    if (replay_) return nextReplayPacket(payload, kind);
    const bool haveLog = !enabledLogs_.empty();
    const bool haveEvent = eventReporting_ && !enabledEvents_.empty();
    const bool haveMessage = !enabledMessages_.empty();
    // Eight log packets to one event report and one message, as a busy modem sends them.
    const uint32_t s = slot_++ % 10;
    if (s == 8 && haveEvent)
        kind = StreamKind::Event;
    else if (s == 9 && haveMessage)
        kind = StreamKind::Message;
    else if (haveLog)
        kind = StreamKind::Log;
    else
        kind = haveEvent ? StreamKind::Event : StreamKind::Message;
    switch (kind) {
        case StreamKind::Log: {
            const size_t at = profile_.multiSim ? 8 : 0;
            const uint16_t code = pickLogCode();
            uint32_t number;
            if (code == kCounterLogCode) {
                sequence = number = ++sequence_;
                buildCounterPacket(payload, sequence, at);
            } else {
                number = ++wrapped_;
                buildLogPacket(payload, code, at);
            }
            if (profile_.multiSim) {
                const uint32_t sub = multiSimSubscription(number);
                const uint8_t wrapper[8] = {0x98, 0x01, 0x00, 0x00, static_cast<uint8_t>(sub),
                                            static_cast<uint8_t>(sub >> 8), static_cast<uint8_t>(sub >> 16),
                                            static_cast<uint8_t>(sub >> 24)};
                std::copy(std::begin(wrapper), std::end(wrapper), payload.begin());
            }
            break;
        }
        case StreamKind::Event:
            buildEventReport(payload);
            break;
        case StreamKind::Message:
            buildMessage(payload);
            break;
    }
    return true;
}

}  // namespace kvx::modemsim
