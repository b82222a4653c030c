#include "filters/FilterFile.h"

#include <sys/stat.h>

#include <cerrno>

#include "dm/ByteReader.h"
#include "filters/FilterEntry.h"

namespace kvx::filters {

namespace {

constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEscape = 0x7D;
// A .dmc file is read as one text; beyond this many bytes the rest is not looked at.
constexpr size_t kMaxDmcBytes = size_t{64} << 20;

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
    }

    FilterLists& lists_;
    std::vector<uint8_t> frame_;
    bool escape_ = false;
    bool overlong_ = false;
};

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
    out.result = FilterFileResult::Read;
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
        return out;
    }
    out.result = FilterFileResult::Read;
    constexpr std::string_view open = "<LoggingView>", close = "</LoggingView>";
    const size_t lv = text.find(open), lve = text.find(close);
    if (lv == npos || lve == npos || lve < lv + open.size()) return out;
    const std::string_view view =
        text.substr(lv + open.size(), lve + close.size() - lv - open.size());

    FilterLists& lists = out.lists;
    auto section = [&](std::string_view openTag, std::string_view closeTag, auto&& handle) {
        const size_t o = view.find(openTag);
        if (o == npos) return;
        size_t start = o + openTag.size();
        const size_t end = view.find(closeTag);
        for (;;) {
            const size_t comma = view.find(',', start);
            if (comma == npos || end == npos || comma > end) return;
            handle(view.substr(start, comma - start));
            start = comma + 1;
        }
    };
    section("<MessageLevels>", "</MessageLevels>", [&](std::string_view entry) {
        const size_t slash = entry.find('/');
        if (slash == npos)
            append(lists.messages, std::pair<int32_t, int32_t>{0, parseNumber(entry)}, lists);
        else
            append(lists.messages,
                   std::pair<int32_t, int32_t>{parseNumber(entry.substr(0, slash)),
                                               parseNumber(entry.substr(slash + 1))},
                   lists);
    });
    section("<EventIDs>", "</EventIDs>",
            [&](std::string_view entry) { append(lists.events, parseNumber(entry), lists); });
    section("<LogCodes>", "</LogCodes>",
            [&](std::string_view entry) { append(lists.logs, parseNumber(entry), lists); });
    section("<OTATypes>", "</OTATypes>", [&](std::string_view entry) {
        const size_t slash = entry.find('/');
        append(lists.logs, slash == npos ? 0 : parseNumber(entry.substr(0, slash)), lists);
    });
    return out;
}

FilterFileRead readDmcFilter(std::FILE* file) {
    std::string text;
    for (int c; text.size() < kMaxDmcBytes && (c = std::fgetc(file)) != EOF && c != 0xFF;) {
        text.push_back(static_cast<char>(c));
    }
    return decodeDmcText(text);
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
        out = readDmcFilter(f);
        std::fclose(f);
        return out;
    }
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
    std::fclose(f);
    out.result = FilterFileResult::Read;
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

}  // namespace kvx::filters
