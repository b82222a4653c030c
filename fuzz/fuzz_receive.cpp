// The receive path over arbitrary bytes: the first input byte chooses how the rest is cut into
// chunks. The same bytes given whole and in chunks must give the same log byte for byte and the
// same not-kept counts, and every log the engine writes must read back to its end. Keeping
// everything must leave nothing counted and write at least as many records.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "dm/KvxLog.h"
#include "dm/LogReader.h"

namespace {

// An in-memory file the engine can open by name.
struct MemFile {
    int fd = ::memfd_create("kvxfuzz", 0);
    std::string path = "/proc/self/fd/" + std::to_string(fd);

    std::vector<uint8_t> contents() const {
        std::vector<uint8_t> out(static_cast<size_t>(::lseek(fd, 0, SEEK_END)));
        if (!out.empty() && ::pread(fd, out.data(), out.size(), 0) != static_cast<ssize_t>(out.size()))
            std::abort();
        return out;
    }
};

std::vector<uint8_t> run(std::span<const uint8_t> input, size_t firstChunk, size_t step,
                         const MemFile& file, kvx::dm::Stats& stats,
                         std::vector<kvx::dm::NotKept>& notKept, bool keepAll = false) {
    kvx::dm::KvxLog engine;
    engine.setkeepall(keepAll);
    if (!engine.openlog(file.path)) std::abort();
    size_t at = 0, chunk = firstChunk;
    while (at < input.size()) {
        const size_t n = std::min(chunk, input.size() - at);
        engine.receive(input.subspan(at, n));
        at += n;
        chunk = step;
    }
    engine.closelog();
    stats = engine.getstats();
    notKept = engine.notkept();
    return file.contents();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemFile whole, split, all;
    if (whole.fd < 0 || split.fd < 0 || all.fd < 0) std::abort();
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    const std::span<const uint8_t> input(data + 1, size - 1);

    kvx::dm::Stats a, b, c;
    std::vector<kvx::dm::NotKept> notKeptA, notKeptB, notKeptC;
    const auto logA = run(input, input.size(), input.size(), whole, a, notKeptA);
    const auto logB = run(input, mode % 29, 1 + (mode >> 5) * 7, split, b, notKeptB);
    if (logA != logB || a.packets != b.packets || a.crcErrors != b.crcErrors ||
        a.sizeErrors != b.sizeErrors || notKeptA != notKeptB)
        std::abort();
    uint64_t left = 0;
    for (const auto& n : notKeptA) left += n.count;
    run(input, input.size(), input.size(), all, c, notKeptC, /*keepAll=*/true);
    if (!notKeptC.empty() || c.packets < a.packets + left || c.crcErrors != a.crcErrors)
        std::abort();

    const auto log = kvx::dm::readLog(logA);
    if (log.status != kvx::dm::LogReadStatus::Ok || log.records.size() < a.packets ||
        log.streamLength + log.padding != log.plain.size())
        std::abort();
    return 0;
}
