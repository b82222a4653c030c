// Checks encoded air-interface messages with Wireshark's own dissectors: writes them into a
// pcap file of a user link type bound to one dissector and reads it back with tshark -V.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kvx::modemsim::test {

inline bool haveTshark() { return std::system("tshark -v >/dev/null 2>&1") == 0; }

// A pcap file with link type USER0 (147), one packet per message.
inline void writeUserPcap(const std::filesystem::path& file, const std::vector<std::vector<uint8_t>>& msgs) {
    std::ofstream out(file, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    u32(0xA1B2C3D4);
    u16(2);
    u16(4);
    u32(0);
    u32(0);
    u32(65535);
    u32(147);
    uint32_t t = 1700000000;
    for (const auto& m : msgs) {
        u32(t++);
        u32(0);
        u32(static_cast<uint32_t>(m.size()));
        u32(static_cast<uint32_t>(m.size()));
        out.write(reinterpret_cast<const char*>(m.data()), static_cast<std::streamsize>(m.size()));
    }
}

// tshark's detailed text of the file with USER0 handed to `dissector` (e.g. lte-rrc.ul.ccch).
inline std::string dissect(const std::filesystem::path& file, const std::string& dissector) {
    const std::string cmd = "tshark -r '" + file.string() + "' -o 'uat:user_dlts:\"User 0 (DLT=147)\",\"" +
                            dissector + "\",\"0\",\"\",\"0\",\"\"' -V 2>&1";
    std::string text;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
        ::pclose(p);
    }
    return text;
}

inline size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

}  // namespace kvx::modemsim::test
