// What kvxlog dump shows of arbitrary records: a plaintext record stream (enciphered here,
// read back by the follower) is viewed, formatted, filtered and summed. Lines stay one line
// of printable text, and the summary counts every record.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "dm/Blowfish.h"
#include "dm/LogReader.h"
#include "dump/DumpView.h"

using namespace kvx::cli::dump;

namespace {
bool printableLine(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) return false;
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::vector<uint8_t> file(data + 1, data + size);
    kvx::dm::logCipher().encryptBlocks(file.data(), file.size() / 8);
    kvx::dm::LogFollower follower;
    follower.feed(file);
    static const ItemNames names;
    RecordWalk walk(names);
    Summary summary;
    Filter filter;
    filter.from = parseTimeLimit(data[0] & 1 ? "0.5" : "2016-03-23 21:55:48");
    filter.kinds = {Kind::ModemLog, Kind::Packet, Kind::Event, Kind::Message};
    TimeText times;
    std::string line;
    LineOptions options;
    options.rawTime = data[0] & 2;
    options.width = data[0] & 4 ? 60 : 0;
    kvx::dm::LogRecord r;
    std::span<const uint8_t> bytes;
    uint64_t count = 0;
    while (follower.next(r, bytes)) {
        // The listing may give a record only its first bytes.
        const size_t shown = data[0] & 8 ? std::min<size_t>(bytes.size(), 12 + data[0] % 40) : bytes.size();
        const RecordView v = walk.view(r, bytes.first(shown));
        formatLine(v, options, times, line);
        if (!printableLine(line) || (options.width && line.size() > options.width)) std::abort();
        if (itemLabel(v).empty()) std::abort();
        (void)filter.matches(v, walk.filterTime(), walk.firstTime());
        summary.add(v);
        ++count;
    }
    uint64_t rows = 0;
    for (const auto& row : summary.rows()) rows += row.count;
    if (rows != count || summary.records() != count) std::abort();
    return 0;
}
