// kvxlog dump: deciphers a .kvx log and lists its records, for people and tests.
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Command.h"
#include "dm/KvxLog.h"
#include "dm/LogReader.h"

namespace kvx::cli {
namespace {

std::string hex(std::span<const uint8_t> bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

// Note text as a printable line: bytes outside printable ASCII shown as \xNN.
std::string printable(std::span<const uint8_t> bytes) {
    std::string s;
    for (uint8_t b : bytes) {
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            s.push_back(static_cast<char>(b));
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", b);
            s += esc;
        }
    }
    return s;
}

// A log that was closed properly ends with one of these notes.
constexpr int kExitIncomplete = 9;
bool endsWithClosingNote(const dm::LogContents& log) {
    if (log.records.empty()) return false;
    const auto& last = log.records.back();
    if (last.code != dm::kCodeNote) return false;
    const auto body = log.body(last);
    const std::string text(body.begin(), body.end());
    return text == "RAW DM file conversion is complete" || text == "Log manually stopped from UI" ||
           text == "Log manually restarted from UI" ||
           text.rfind("Log capacity reached: Filesize = ", 0) == 0;
}

// The id of a "Subscription %u" note: the records of multi-SIM packets that follow it.
std::optional<uint32_t> subscriptionOf(std::span<const uint8_t> note) {
    static constexpr std::string_view kPrefix = "Subscription ";
    const std::string_view text(reinterpret_cast<const char*>(note.data()), note.size());
    if (text.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
    const std::string_view digits = text.substr(kPrefix.size());
    uint32_t id = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
    if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty()) return std::nullopt;
    return id;
}

int runDump(const std::string& path, bool json) {
    const dm::LogContents log = dm::readLogFile(path);
    if (log.status == dm::LogReadStatus::OpenFailed) {
        std::fprintf(stderr, "kvxlog dump: cannot read %s: %s\n", path.c_str(),
                     std::strerror(log.sysErrno != 0 ? log.sysErrno : EIO));
        return 1;
    }
    std::optional<uint32_t> subscription;
    for (const auto& r : log.records) {
        endIfOutputClosed();
        const auto body = log.body(r);
        const bool note = r.code == dm::kCodeNote;
        if (note) {
            if (auto id = subscriptionOf(body)) subscription = id;
        }
        const bool showSub = subscription && !note;
        if (json) {
            nlohmann::json j = {{"offset", r.offset}, {"length", r.length}, {"code", r.code},
                                {"kind", dm::recordKind(r.code)}};
            char t[24];
            std::snprintf(t, sizeof t, "%016llx", static_cast<unsigned long long>(r.time));
            j["time"] = t;
            j["body"] = hex(body);
            if (note) j["text"] = std::string(body.begin(), body.end());
            if (showSub) j["subscription"] = *subscription;
            std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        } else {
            std::printf("%8zu %5u 0x%04X %016llx %s", r.offset, r.length, r.code,
                        static_cast<unsigned long long>(r.time), dm::recordKind(r.code));
            if (note) std::printf(" \"%s\"", printable(body).c_str());
            if (showSub) std::printf(" sub %u", *subscription);
            std::printf("\n");
        }
    }
    if (json) {
        nlohmann::json j = {{"summary", true}, {"records", log.records.size()},
                            {"stream_length", log.streamLength}, {"padding", log.padding},
                            {"status", dm::describe(log)}};
        std::printf("%s\n", j.dump().c_str());
    } else {
        std::printf("-- %zu records, %zu bytes of records, final padding %zu bytes\n",
                    log.records.size(), log.streamLength, log.padding);
    }
    if (log.status != dm::LogReadStatus::Ok) {
        std::fprintf(stderr, "kvxlog dump: %s: %s\n", path.c_str(), dm::describe(log).c_str());
        return 2;
    }
    if (!endsWithClosingNote(log)) {
        // A capture that was killed, or a disk that filled: the log is whole blocks but cut.
        std::printf(json ? "{\"complete\":false}\n"
                         : "-- incomplete: the log does not end with its closing note\n");
        return kExitIncomplete;
    }
    return 0;
}

void setup(CLI::App& app) {
    auto* cmd = app.add_subcommand("dump", "List the records of a .kvx log");
    auto path = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    cmd->add_option("LOGFILE", *path, "The .kvx log")->required();
    cmd->add_flag("--json", *json,
                  "One JSON object per record (offset, length, code, kind, time, body, text, "
                  "subscription), "
                  "then a summary object");
    cmd->footer(
        "Columns: offset in the deciphered stream, length, code, time stamp, kind, note text; "
        "after a \"Subscription N\" note (a dual-SIM device) the records carry \"sub N\".\n"
        "Exit status: 0 read to the end, 1 unreadable, 2 damaged (listed as far as it goes), 9 "
        "whole but cut: the last record is not a closing note (a capture that was killed, a "
        "disk that filled).");
    cmd->callback([path, json] { exitStatus() = runDump(*path, *json); });
}

CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
