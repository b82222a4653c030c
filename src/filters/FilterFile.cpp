#include "filters/FilterFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <optional>

#include "dm/ByteReader.h"
#include "filters/FilterEntry.h"

namespace kvx::filters {

namespace {

constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEscape = 0x7D;

template <class T>
void append(std::vector<T>& list, T value, FilterLists& lists) {
    if (list.size() >= kMaxFilterValues) {
        ++lists.dropped;
        return;
    }
    list.push_back(value);
}

// Collects escaped script bytes into frames and decodes each complete one.
class ScriptDecoder {
  public:
    explicit ScriptDecoder(FilterLists& lists) : lists_(lists) { frame_.reserve(kMaxScriptFrame); }

    void feed(uint8_t byte) {
        ++pending_;
        if (escape_) {
            escape_ = false;
            store(static_cast<uint8_t>(byte | 0x20), false);
            return;
        }
        if (byte == kEscape) {
            escape_ = true;
            return;
        }
        store(byte, byte == kFlag);
    }

    // Bytes fed since the last frame ended: a request the file cut off.
    size_t pending() const { return pending_; }

  private:
    void store(uint8_t byte, bool ends) {
        if (!overlong_) {
            if (frame_.size() < kMaxScriptFrame)
                frame_.push_back(byte);
            else
                overlong_ = true;
        }
        if (!ends) return;
        if (overlong_)
            ++lists_.skippedFrames;
        else
            decodeScriptFrame(frame_, lists_);
        frame_.clear();
        overlong_ = false;
        pending_ = 0;
    }

    FilterLists& lists_;
    std::vector<uint8_t> frame_;
    size_t pending_ = 0;
    bool escape_ = false;
    bool overlong_ = false;
};

void finishScript(FilterFileRead& out, const ScriptDecoder& decoder, bool shortHeader) {
    out.result = FilterFileResult::Read;
    if (shortHeader) {
        out.end = FilterFileEnd::ShortHeader;
    } else if (decoder.pending() != 0) {
        out.end = FilterFileEnd::CutRequest;
        out.cutBytes = decoder.pending();
    }
}

bool isBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool allBlank(std::string_view text) {
    for (char c : text)
        if (!isBlank(c)) return false;
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The number of a .dmc entry, or none when it holds no digits where one is looked for. With
// "0x" the hex digits right after it (a blank or other character ends the number); otherwise
// the leading decimal number after blanks and a sign.
std::optional<int32_t> dmcNumber(std::string_view text) {
    if (const size_t x = text.find("0x"); x != std::string_view::npos) {
        uint32_t value = 0;
        size_t i = x + 2;
        for (int d; i < text.size() && (d = hexDigit(text[i])) >= 0; ++i)
            value = value * 16u + static_cast<uint32_t>(d);
        if (i == x + 2) return std::nullopt;
        return static_cast<int32_t>(value);
    }
    size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    return parseDecimal(text);
}

// A file that failed while it was read is refused whole, not taken as one that ended there.
FilterFileRead notRead(int sysErrno) {
    FilterFileRead out;
    out.sysErrno = sysErrno;
    return out;
}

void noteUnreadable(std::string_view entry, FilterLists& lists) {
    if (lists.unreadable++ != 0) return;
    size_t from = 0, to = entry.size();
    while (from < to && isBlank(entry[from])) ++from;
    while (to > from && isBlank(entry[to - 1])) --to;
    entry = entry.substr(from, to - from);
    std::string& quoted = lists.firstUnreadable;
    for (char c : entry.substr(0, kMaxQuotedEntry))
        quoted.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    if (entry.size() > kMaxQuotedEntry) quoted += "...";
}

}  // namespace

bool acceptScriptHeader(int b0, int b1, int b2) {
    return b0 == 'v' && b1 <= 0 && b2 <= 1;
}

void decodeScriptFrame(std::span<const uint8_t> frame, FilterLists& lists) {
    if (frame.empty()) return;
    const size_t L = frame.size();
    switch (frame[0]) {
        case 0x26:
            if (auto item = dm::le16At(frame, 1)) append(lists.nv, int32_t{*item}, lists);
            break;
        case 0x73: {
            auto e = dm::le32At(frame, 8);
            if (!e || L < 4) break;
            for (size_t k = 16; k + 4 <= L; ++k) {
                for (int j = 0; j < 8; ++j) {
                    if (!(frame[k] >> j & 1)) continue;
                    const uint32_t code = *e * 4096u + static_cast<uint32_t>((k - 16) * 8 + j);
                    append(lists.logs, static_cast<int32_t>(code), lists);
                }
            }
            break;
        }
        case 0x7D: {
            auto f = dm::le16At(frame, 2);
            if (!f) break;
            // Groups of four bytes from byte 8 while they start before the CRC; a last group
            // may reach into the CRC and terminator, as the format reads it.
            for (size_t k = 8; k + 3 < L; k += 4) {
                for (int j = 0; j < 32; ++j) {
                    const size_t at = k + static_cast<size_t>(j / 8);
                    if (at >= L || !(frame[at] >> (j % 8) & 1)) continue;
                    const int32_t ssid = static_cast<int32_t>(*f + (k - 8) / 4);
                    append(lists.messages, std::pair<int32_t, int32_t>{ssid, j}, lists);
                }
            }
            break;
        }
        case 0x82:
            for (size_t k = 6; k + 4 <= L; ++k) {
                for (int j = 0; j < 8; ++j) {
                    if (frame[k] >> j & 1) {
                        append(lists.events,
                               static_cast<int32_t>((k - 6) * 8 + static_cast<size_t>(j)), lists);
                    }
                }
            }
            break;
        default:
            break;
    }
}

FilterFileRead decodeFilterScript(std::span<const uint8_t> content) {
    FilterFileRead out;
    auto at = [&](size_t i) { return i < content.size() ? int{content[i]} : -1; };
    if (!acceptScriptHeader(at(0), at(1), at(2))) {
        out.result = FilterFileResult::BadHeader;
        return out;
    }
    ScriptDecoder decoder(out.lists);
    for (size_t i = 3; i < content.size(); ++i) decoder.feed(content[i]);
    finishScript(out, decoder, content.size() < 3);
    return out;
}

FilterFileRead decodeDmcText(std::string_view text) {
    FilterFileRead out;
    text = text.substr(0, text.find('\xFF'));
    constexpr auto npos = std::string_view::npos;
    auto has = [&](std::string_view tag) { return text.find(tag) != npos; };
    if (!((has("<QXDM>") && has("</QXDM>")) ||
          (has("<QXDMProfessional>") && has("</QXDMProfessional>")))) {
        out.result = FilterFileResult::NotQxdm;
        // A root tag opened but never closed is most likely a file cut short: worth saying.
        for (std::string_view root : {"<QXDMProfessional>", "<QXDM>"}) {
            if (has(root)) {
                out.end = FilterFileEnd::UnclosedTag;
                out.unclosedTag = std::string(root);
                break;
            }
        }
        return out;
    }
    out.result = FilterFileResult::Read;
    auto unclosed = [&](std::string_view tag) {
        if (out.end != FilterFileEnd::Whole) return;
        out.end = FilterFileEnd::UnclosedTag;
        out.unclosedTag = std::string(tag);
    };
    constexpr std::string_view open = "<LoggingView>", close = "</LoggingView>";
    const size_t lv = text.find(open), lve = text.find(close);
    if (lv == npos) return out;
    if (lve == npos || lve < lv + open.size()) {
        unclosed(open);
        return out;
    }
    const std::string_view view =
        text.substr(lv + open.size(), lve + close.size() - lv - open.size());

    FilterLists& lists = out.lists;
    // Entries end at commas. QXDM Professional 5 writes no comma after a list's last entry,
    // older versions do: the text after the last comma is an entry unless it is blank.
    auto section = [&](std::string_view openTag, std::string_view closeTag, auto&& handle) {
        const size_t o = view.find(openTag);
        if (o == npos) return;
        size_t start = o + openTag.size();
        const size_t end = view.find(closeTag);
        if (end == npos || end < start) {
            unclosed(openTag);
            return;
        }
        for (size_t comma; (comma = view.find(',', start)) < end; start = comma + 1)
            handle(view.substr(start, comma - start));
        if (const std::string_view tail = view.substr(start, end - start); !allBlank(tail))
            handle(tail);
    };
    // An entry without a number is skipped and counted: it never becomes item 0.
    auto value = [&](std::string_view entry, std::string_view number, std::vector<int32_t>& list) {
        if (const auto v = dmcNumber(number))
            append(list, *v, lists);
        else
            noteUnreadable(entry, lists);
    };
    section("<MessageLevels>", "</MessageLevels>", [&](std::string_view entry) {
        const size_t slash = entry.find('/');
        const auto ssid =
            slash == npos ? std::optional<int32_t>{0} : dmcNumber(entry.substr(0, slash));
        const auto level = dmcNumber(slash == npos ? entry : entry.substr(slash + 1));
        if (ssid && level)
            append(lists.messages, std::pair<int32_t, int32_t>{*ssid, *level}, lists);
        else
            noteUnreadable(entry, lists);
    });
    section("<EventIDs>", "</EventIDs>",
            [&](std::string_view entry) { value(entry, entry, lists.events); });
    section("<LogCodes>", "</LogCodes>",
            [&](std::string_view entry) { value(entry, entry, lists.logs); });
    // "code/n" as older versions write it; QXDM Professional 5 writes the code alone.
    section("<OTATypes>", "</OTATypes>", [&](std::string_view entry) {
        value(entry, entry.substr(0, entry.find('/')), lists.logs);
    });
    return out;
}

FilterFileRead readDmcFilter(std::FILE* file) {
    std::string text;
    int c = EOF;
    while (text.size() < kMaxDmcBytes && (c = std::fgetc(file)) != EOF && c != 0xFF)
        text.push_back(static_cast<char>(c));
    const bool tooLong = text.size() == kMaxDmcBytes && (c = std::fgetc(file)) != EOF && c != 0xFF;
    FilterFileRead out = decodeDmcText(text);
    if (tooLong && out.result == FilterFileResult::Read) {
        out.end = FilterFileEnd::TooLong;
        out.unclosedTag.clear();
    }
    return out;
}

FilterFileRead readFilterFile(const std::string& path) {
    FilterFileRead out;
    if (path.empty()) return out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        out.sysErrno = errno;
        return out;
    }
    struct stat st {};
    if (::fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
        out.sysErrno = S_ISDIR(st.st_mode) ? EISDIR : errno;
        std::fclose(f);
        return out;
    }
    if (path.find(".dmc") != std::string::npos) {
        errno = 0;
        out = readDmcFilter(f);
        const int readErrno = std::ferror(f) ? (errno != 0 ? errno : EIO) : 0;
        std::fclose(f);
        return readErrno != 0 ? notRead(readErrno) : out;
    }
    errno = 0;
    const int b0 = std::fgetc(f);
    const int b1 = std::fgetc(f);
    const int b2 = std::fgetc(f);
    if (!acceptScriptHeader(b0, b1, b2)) {
        std::fclose(f);
        out.result = FilterFileResult::BadHeader;
        return out;
    }
    ScriptDecoder decoder(out.lists);
    for (int c; (c = std::fgetc(f)) != EOF;) decoder.feed(static_cast<uint8_t>(c));
    const int readErrno = std::ferror(f) ? (errno != 0 ? errno : EIO) : 0;
    std::fclose(f);
    if (readErrno != 0) return notRead(readErrno);
    finishScript(out, decoder, b2 == EOF);
    return out;
}

std::string filterFileMessage(FilterFileResult result) {
    switch (result) {
        case FilterFileResult::Read:
            return {};
        case FilterFileResult::NotOpened:
            return "Could not decode the input file!";
        case FilterFileResult::BadHeader:
            return "This tool is incompatable with the selected filter version.";
        case FilterFileResult::NotQxdm:
            return "The Qualcomm filter you have selected cannot be interpreted.\r\nPlease "
                   "re-save the filter with a newer version of QXDM (v03.11.01 or above), and "
                   "reload.";
    }
    return {};
}

std::vector<std::string> filterFileWarnings(const FilterFileRead& read) {
    std::vector<std::string> lines;
    if (read.result == FilterFileResult::NotQxdm && read.end == FilterFileEnd::UnclosedTag)
        lines.push_back(read.unclosedTag + " has no closing tag: the file may be cut short.");
    if (read.result != FilterFileResult::Read) return lines;
    const FilterLists& l = read.lists;
    const auto n = [](uint64_t count) { return std::to_string(count); };
    if (l.dropped != 0)
        lines.push_back(n(l.dropped) + (l.dropped == 1 ? " entry was" : " entries were") +
                        " left out: a list holds at most " + n(kMaxFilterValues) + " values.");
    if (l.unreadable == 1)
        lines.push_back("1 entry could not be read: '" + l.firstUnreadable + "'");
    else if (l.unreadable > 1)
        lines.push_back(n(l.unreadable) + " entries could not be read, the first: '" +
                        l.firstUnreadable + "'");
    if (l.skippedFrames != 0)
        lines.push_back(n(l.skippedFrames) + " request(s) longer than " + n(kMaxScriptFrame) +
                        " bytes were skipped.");
    switch (read.end) {
        case FilterFileEnd::Whole:
            break;
        case FilterFileEnd::ShortHeader:
            lines.push_back("The file ends inside its 3-byte header: it holds no request.");
            break;
        case FilterFileEnd::CutRequest:
            lines.push_back("The file ends inside a request: its last " + n(read.cutBytes) +
                            " bytes were not read.");
            break;
        case FilterFileEnd::UnclosedTag:
            lines.push_back(read.unclosedTag + " has no closing tag: nothing of it was read.");
            break;
        case FilterFileEnd::TooLong:
            lines.push_back("Only the first " + n(kMaxDmcBytes) + " bytes of the file were read.");
            break;
    }
    return lines;
}

bool filterFileCut(const FilterFileRead& read) {
    return read.result == FilterFileResult::Read &&
           (read.lists.dropped != 0 || read.lists.skippedFrames != 0 ||
            read.end != FilterFileEnd::Whole);
}

}  // namespace kvx::filters
