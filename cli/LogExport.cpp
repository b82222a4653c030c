#include "LogExport.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Command.h"
#include "TempOutput.h"
#include "dm/LogStream.h"

namespace kvx::cli {

namespace {
constexpr int kExitUnreadable = 1;
constexpr int kExitDamaged = 2;
constexpr int kExitNotWritten = 3;
// Written out in pieces of this size: large enough for few writes, small enough to stay in
// the cache while the next records are framed.
constexpr size_t kPiece = size_t{1} << 20;
}  // namespace

int exportLogs(const char* command, const std::vector<std::string>& logs, const std::string& out,
               const std::vector<uint8_t>& head, const LogExportSteps& steps) {
    for (const auto& in : logs) {
        if (sameFile(in, out)) {
            std::fprintf(stderr, "kvxlog %s: the output %s is one of the input logs\n", command,
                         out.c_str());
            return kExitBadArguments;
        }
    }
    auto notWritten = [&](int error) {
        std::fprintf(stderr, "kvxlog %s: cannot write %s: %s\n", command, out.c_str(),
                     std::strerror(error));
        return kExitNotWritten;
    };
    struct stat st {};
    if (::stat(out.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return notWritten(EISDIR);
    TempOutput file(out);
    if (!file.open()) return notWritten(file.error());
    std::vector<uint8_t> bytes;
    // A piece and the largest packet one record can make (escaped, behind its headers).
    bytes.reserve(kPiece + 3 * 0x10000);
    bytes = head;
    bool damaged = false;
    for (const auto& in : logs) {
        dm::LogStream stream;
        if (!stream.open(in)) {
            std::fprintf(stderr, "kvxlog %s: cannot read %s: %s\n", command, in.c_str(),
                         std::strerror(stream.error()));
            return kExitUnreadable;  // the temporary file goes with `file`
        }
        steps.beginLog();
        dm::LogRecord r;
        std::span<const uint8_t> record;
        while (stream.next(r, record)) {
            steps.addRecord(r, record, bytes);
            if (bytes.size() < kPiece) continue;
            if (!file.write(bytes)) return notWritten(file.error());
            bytes.clear();
        }
        const dm::LogContents& result = stream.result();
        if (result.status == dm::LogReadStatus::OpenFailed) {
            std::fprintf(stderr, "kvxlog %s: cannot read %s: %s\n", command, in.c_str(),
                         std::strerror(result.sysErrno != 0 ? result.sysErrno : EIO));
            return kExitUnreadable;
        }
        steps.endLog(bytes);
        if (result.status != dm::LogReadStatus::Ok) {
            std::fprintf(stderr, "kvxlog %s: %s: %s; exported as far as it could be read\n",
                         command, in.c_str(), dm::describe(result).c_str());
            damaged = true;
        }
    }
    if (!file.write(bytes) || !file.commit()) return notWritten(file.error());
    return damaged ? kExitDamaged : 0;
}

}  // namespace kvx::cli
