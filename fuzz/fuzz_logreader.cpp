// The log reader over arbitrary bytes. First input byte even: the rest is a .kvx file as it
// lies on disk. Odd: the rest is a plaintext record stream, enciphered here first, so the
// fuzzer reaches the record walk rather than only cipher noise. Every record found must lie
// inside the stream, one behind the other, and a read that ends well must cover the stream.
// The same file fed to the follower in pieces (their size from the first byte) must give the
// same records, as far as it gives any, and stop only where the whole-file walk stops. The
// stream reader, over the file written out and in pieces of 8 to 152 bytes, must give all the
// records of the whole-file walk and end as it does.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "dm/Blowfish.h"
#include "dm/LogReader.h"
#include "dm/LogStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::vector<uint8_t> file(data + 1, data + size);
    const bool plaintext = data[0] & 1;
    if (plaintext) kvx::dm::logCipher().encryptBlocks(file.data(), file.size() / 8);

    const kvx::dm::LogContents log = kvx::dm::readLog(file);
    if (log.plain.size() != file.size() / 8 * 8) std::abort();
    if (plaintext && !std::equal(log.plain.begin(), log.plain.end(), data + 1)) std::abort();
    size_t next = 0;
    for (const auto& r : log.records) {
        if (r.offset != next || r.length < 12 || r.offset + r.length > log.plain.size()) std::abort();
        const auto body = log.body(r);
        if (body.size() != r.length - 12u) std::abort();
        next = r.offset + r.length;
    }
    if (log.streamLength != next) std::abort();
    if (log.status == kvx::dm::LogReadStatus::Ok && next + log.padding != log.plain.size())
        std::abort();
    if (log.status != kvx::dm::LogReadStatus::Ok && log.stopOffset > file.size()) std::abort();
    kvx::dm::LogFollower follower;
    const size_t piece = static_cast<size_t>(data[0] >> 1) % 19 + 1;
    size_t handed = 0;
    for (size_t at = 0; at < file.size(); at += piece) {
        follower.feed({file.data() + at, std::min(piece, file.size() - at)});
        kvx::dm::LogRecord r;
        std::span<const uint8_t> bytes;
        while (follower.next(r, bytes)) {
            if (handed >= log.records.size()) std::abort();
            const auto& w = log.records[handed++];
            if (r.offset != w.offset || r.length != w.length || r.time != w.time ||
                !std::equal(bytes.begin(), bytes.end(), log.bytes(w).begin()))
                std::abort();
        }
    }
    // A cut file reports the cut, wherever the walk of its whole blocks stopped before it.
    if (follower.status() != kvx::dm::LogReadStatus::Ok &&
        (log.status == kvx::dm::LogReadStatus::Ok ||
         (log.status == kvx::dm::LogReadStatus::NotBlocks ? follower.stopOffset() > log.stopOffset
                                                          : follower.stopOffset() != log.stopOffset)))
        std::abort();
    if (log.status == kvx::dm::LogReadStatus::Ok && handed != log.records.size()) std::abort();
    static const std::string path = "/tmp/kvx-fuzz-stream-" + std::to_string(::getpid()) + ".kvx";
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        const bool written = std::fwrite(file.data(), 1, file.size(), f) == file.size();
        if (std::fclose(f) != 0 || !written) std::abort();
    } else {
        std::abort();
    }
    kvx::dm::LogStream stream(piece * 8);
    if (!stream.open(path)) std::abort();
    kvx::dm::LogRecord r;
    std::span<const uint8_t> bytes;
    size_t streamed = 0;
    while (stream.next(r, bytes)) {
        if (streamed >= log.records.size()) std::abort();
        const auto& w = log.records[streamed++];
        if (r.offset != w.offset || r.length != w.length || r.time != w.time ||
            !std::equal(bytes.begin(), bytes.end(), log.bytes(w).begin(), log.bytes(w).end()))
            std::abort();
    }
    const kvx::dm::LogContents& end = stream.result();
    if (streamed != log.records.size() || end.status != log.status ||
        end.stopOffset != log.stopOffset || end.padding != log.padding ||
        end.streamLength != log.streamLength || kvx::dm::describe(end) != kvx::dm::describe(log))
        std::abort();
    if (kvx::dm::describe(log).empty() || kvx::dm::recordKind(static_cast<uint16_t>(size)) == nullptr)
        std::abort();
    return 0;
}
