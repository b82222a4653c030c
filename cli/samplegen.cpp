// kvxlog-samplegen: writes a raw DM capture of our own making, as a modem would send it on its
// DM port: log packets of common GSM/WCDMA/LTE/NR codes in realistic sizes (some above 2048
// bytes), event reports, extended messages, replies to status requests, escapes everywhere,
// and a few damaged frames. Deterministic for a given seed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dm/Crc16.h"
#include "dm/Frame.h"

namespace {

std::vector<uint8_t> frameOf(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    out.reserve(payload.size() * 2 + 4);
    const uint16_t crc = kvx::dm::crc16Update(0xFFFF, payload.data(), payload.size()) ^ 0xFFFF;
    auto put = [&](uint8_t b) {
        if (b == 0x7E || b == 0x7D) {
            out.push_back(0x7D);
            out.push_back(b ^ 0x20);
        } else {
            out.push_back(b);
        }
    };
    for (uint8_t b : payload) put(b);
    put(static_cast<uint8_t>(crc));
    put(static_cast<uint8_t>(crc >> 8));
    out.push_back(0x7E);
    return out;
}

void le16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

struct Gen {
    std::mt19937 rng;
    uint64_t clock = 0x0000C1A5E0000000ull;
    uint32_t seq = 0;

    uint8_t byte() { return static_cast<uint8_t>(rng()); }
    size_t pick(size_t lo, size_t hi) { return lo + rng() % (hi - lo + 1); }
    void stamp(std::vector<uint8_t>& v) {
        clock += 0x10000 + (rng() & 0xFFFF);
        for (int i = 0; i < 8; ++i) v.push_back(static_cast<uint8_t>(clock >> (8 * i)));
    }

    std::vector<uint8_t> logPacket() {
        static const uint16_t codes[] = {0x5072, 0x5138, 0x5139, 0x512F, 0x4125, 0x4127,
                                         0xB0C0, 0xB0E2, 0xB0EC, 0xB193, 0xB063, 0xB16E,
                                         0xB821, 0xB97F, 0x1098};
        const uint16_t code = codes[rng() % (sizeof codes / sizeof codes[0])];
        size_t body = pick(8, 300);
        if (rng() % 50 == 0) body = pick(2100, 6000);  // PHY dumps come in kilobytes
        std::vector<uint8_t> rec;
        le16(rec, static_cast<uint32_t>(12 + body));
        le16(rec, code);
        stamp(rec);
        rec.push_back(static_cast<uint8_t>(seq));
        rec.push_back(static_cast<uint8_t>(seq >> 8));
        rec.push_back(static_cast<uint8_t>(seq >> 16));
        rec.push_back(static_cast<uint8_t>(seq >> 24));
        ++seq;
        for (size_t i = 4; i < body; ++i) {
            // Flag and escape bytes turn up inside real bodies.
            rec.push_back(rng() % 40 == 0 ? (rng() & 1 ? 0x7E : 0x7D) : byte());
        }
        std::vector<uint8_t> p = {0x10, 0x00};
        le16(p, static_cast<uint32_t>(rec.size()));
        p.insert(p.end(), rec.begin(), rec.end());
        return p;
    }

    std::vector<uint8_t> eventReport() {
        std::vector<uint8_t> p = {0x60};
        std::vector<uint8_t> events;
        const size_t n = pick(1, 4);
        for (size_t i = 0; i < n; ++i) {
            const uint16_t id = static_cast<uint16_t>(pick(0x100, 0x7FF));
            const unsigned kind = static_cast<unsigned>(rng() % 4);
            const bool shortTime = i > 0 && (rng() & 1);
            le16(events, (shortTime ? 0x8000u : 0) | (kind << 13) | id);
            if (shortTime) {
                le16(events, static_cast<uint32_t>(rng()));
            } else {
                stamp(events);
            }
            size_t payload = kind == 3 ? 0 : kind;
            if (kind == 3) {
                payload = pick(3, 20);
                events.push_back(static_cast<uint8_t>(payload));
            }
            for (size_t k = 0; k < payload; ++k) events.push_back(byte());
        }
        le16(p, static_cast<uint32_t>(events.size()));
        p.insert(p.end(), events.begin(), events.end());
        return p;
    }

    std::vector<uint8_t> message() {
        std::vector<uint8_t> p = {0x79, 0x00, 0x03, 0x00};
        stamp(p);
        le16(p, static_cast<uint32_t>(pick(100, 300)));  // line
        le16(p, static_cast<uint32_t>(pick(0, 99)));     // subsystem
        le16(p, 0x0004);
        const char* texts[] = {"RRC state change %d -> %d", "Cell reselection to PCI %d",
                               "NAS attach accepted, GUTI %x"};
        const char* t = texts[rng() % 3];
        for (int i = 0; i < 3; ++i) le16(p, rng() & 0xFFFF), le16(p, 0);
        p.insert(p.end(), t, t + std::strlen(t) + 1);
        const char* file = "lte_rrc_main.c";
        p.insert(p.end(), file, file + std::strlen(file) + 1);
        return p;
    }

    std::vector<uint8_t> versionReply() {
        std::vector<uint8_t> p(59, 0);
        p[0] = 0x00;
        std::memcpy(&p[1], "Jan 12 2024", 11);
        std::memcpy(&p[12], "10:22:33", 8);
        std::memcpy(&p[20], "Jan 10 2024", 11);
        std::memcpy(&p[31], "09:00:00", 8);
        std::memcpy(&p[39], "KVX210-M9207-1.4", 16);
        return p;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(stderr,
                     "usage: kvxlog-samplegen OUTPUT [BYTES] [SEED]\n"
                     "Writes a raw DM capture of about BYTES bytes (default 200000).\n");
        return argc < 2 ? 2 : 0;
    }
    const size_t target = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 200000;
    const unsigned seed = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : 7;
    FILE* out = std::fopen(argv[1], "wb");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    Gen g{std::mt19937(seed)};
    size_t written = 0;
    size_t n = 0;
    auto emit = [&](const std::vector<uint8_t>& bytes) {
        std::fwrite(bytes.data(), 1, bytes.size(), out);
        written += bytes.size();
    };
    emit(frameOf(g.versionReply()));
    emit(frameOf({0x1D, 0x00, 0x00, 0x10, 0x32, 0x54, 0xC1, 0x00, 0x00}));
    while (written < target) {
        const unsigned r = g.rng() % 100;
        if (r < 80) {
            emit(frameOf(g.logPacket()));
        } else if (r < 90) {
            emit(frameOf(g.eventReport()));
        } else {
            emit(frameOf(g.message()));
        }
        if (++n % 997 == 0) {
            // A frame damaged on the line: one byte flipped.
            auto f = frameOf(g.logPacket());
            f[f.size() / 2] ^= 0x01;
            if (f[f.size() / 2] == 0x7E || f[f.size() / 2] == 0x7D) f[f.size() / 2] = 0x00;
            emit(f);
        }
    }
    const bool ok = std::fclose(out) == 0;
    return ok ? 0 : 1;
}
