#include "filters/FilterEntry.h"

#include <limits>

namespace kvx::filters {

namespace {

constexpr size_t npos = std::string_view::npos;

bool isSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Text from `from` up to (not including) `to`, or to the end when `to` is npos; empty when
// the positions are out of order.
std::string_view between(std::string_view s, size_t from, size_t to) {
    if (from > s.size()) return {};
    if (to == npos) return s.substr(from);
    if (to <= from) return {};
    return s.substr(from, to - from);
}

std::string_view beforeFirstCaret(std::string_view line) {
    return line.substr(0, line.find('^'));
}

// First quoted text: from the first '"' to the next one. `closing` gets the position of the
// closing quote (npos when there is none, and then the name is empty).
std::string firstQuoted(std::string_view line, size_t& closing) {
    closing = npos;
    const size_t open = line.find('"');
    if (open == npos) return {};
    closing = line.find('"', open + 1);
    if (closing == npos) return {};
    return std::string(line.substr(open + 1, closing - open - 1));
}

// Reference of log, event and NV lines: in the tail (from `tail`), past the first caret and the
// character after it, up to but not including the character before the next caret.
int32_t itemReference(std::string_view line, size_t tail) {
    if (tail == npos) return 0;
    const size_t caret = line.find('^', tail);
    if (caret == npos) return 0;
    const size_t from = caret + 2;
    if (from > line.size()) return 0;
    const size_t next = line.find('^', from);
    if (next == npos || next == 0 || next - 1 <= from) return 0;
    return parseDecimal(line.substr(from, next - 1 - from));
}

FilterEntry withOneRef(int32_t id, std::string name, int32_t ref) {
    FilterEntry e;
    e.id = id;
    e.name = std::move(name);
    e.categoryRefs[0] = ref;
    e.categoryRefCount = 1;
    return e;
}

FilterEntry simpleItem(std::string_view line, bool hexId) {
    const std::string_view first = beforeFirstCaret(line);
    size_t closing = npos;
    std::string name = firstQuoted(line, closing);
    return withOneRef(hexId ? parseHexId(first) : parseDecimal(first), std::move(name),
                      itemReference(line, closing));
}

}  // namespace

int32_t parseDecimal(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    constexpr int64_t limit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > limit) value = limit;  // saturate; clamped below
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max()) value = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

int32_t parseHexId(std::string_view text) {
    const size_t at = text.find("0x");
    if (at == npos) return 0;
    uint32_t value = 0;
    for (char c : text.substr(at + 2)) {
        uint32_t digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<uint32_t>(c - '0');
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<uint32_t>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<uint32_t>(c - 'a' + 10);
        value = value * 16u + digit;
    }
    return static_cast<int32_t>(value);
}

int32_t parseNumber(std::string_view text) {
    return text.find("0x") != npos ? parseHexId(text) : parseDecimal(text);
}

FilterEntry parseCategoryLine(std::string_view line) {
    const int32_t id = parseDecimal(beforeFirstCaret(line));
    size_t closing = npos;
    std::string name = firstQuoted(line, closing);
    int32_t ref = 0;
    if (closing != npos) {
        // First caret of the tail, skip it and the one character of the field behind it,
        // then the next caret introduces the parent number.
        const size_t caret = line.find('^', closing);
        if (caret != npos && caret + 2 <= line.size()) {
            const size_t next = line.find('^', caret + 2);
            if (next != npos) ref = parseDecimal(line.substr(next + 1));
        }
    }
    return withOneRef(id, std::move(name), ref);
}

FilterEntry parseLogLine(std::string_view line) {
    return simpleItem(line, true);
}
FilterEntry parseEventLine(std::string_view line) {
    return simpleItem(line, false);
}
FilterEntry parseNvLine(std::string_view line) {
    return simpleItem(line, false);
}

FilterEntry parseOtaLine(std::string_view line) {
    const std::string_view first = beforeFirstCaret(line);
    const int32_t id = parseNumber(first);
    std::string name;
    int32_t ref = 0;
    const size_t firstCaret = line.find('^');
    if (firstCaret != npos) {
        const size_t nameCaret = line.find("^\"", firstCaret + 1);
        if (nameCaret != npos) {
            const size_t open = nameCaret + 1;
            const size_t close = line.find('"', open + 1);
            if (close != npos) {
                name = std::string(line.substr(open + 1, close - open - 1));
                const size_t refCaret = line.find("^\"", close);
                if (refCaret != npos) {
                    const size_t from = refCaret + 2;
                    const size_t to = line.find('"', from);
                    ref = parseDecimal(between(line, from, to));
                }
            }
        }
    }
    return withOneRef(id, std::move(name), ref);
}

FilterEntry parseMessageLine(std::string_view line) {
    FilterEntry e;
    e.id = parseDecimal(beforeFirstCaret(line));
    const size_t c1 = line.find('^');
    if (c1 != npos) e.sub = parseDecimal(between(line, c1 + 1, line.find('^', c1 + 1)));
    size_t closing = npos;
    e.name = firstQuoted(line, closing);
    int32_t ref0 = 0, ref1 = 0;
    if (closing != npos) {
        const size_t caret = line.find('^', closing);
        // The list runs from behind its opening character to the line less its last two
        // characters (the closing character and the newline or end mark).
        if (caret != npos && line.size() >= 2) {
            const size_t from = caret + 2;
            const size_t to = line.size() - 2;
            if (from < to) {
                const std::string_view list = line.substr(from, to - from);
                const size_t comma1 = list.find(',');
                ref0 = parseDecimal(list.substr(0, comma1));
                if (comma1 != npos) {
                    ref1 = parseDecimal(between(list, comma1 + 1, list.find(',', comma1 + 1)));
                }
            }
        }
    }
    e.categoryRefs[0] = ref0;
    e.categoryRefs[1] = ref1;
    e.categoryRefCount = 2;
    return e;
}

FilterEntry parseCatalogueLine(LineKind kind, std::string_view line) {
    switch (kind) {
        case LineKind::Category:
            return parseCategoryLine(line);
        case LineKind::Log:
            return parseLogLine(line);
        case LineKind::Ota:
            return parseOtaLine(line);
        case LineKind::Event:
            return parseEventLine(line);
        case LineKind::Message:
            return parseMessageLine(line);
        case LineKind::Nv:
            return parseNvLine(line);
    }
    return {};
}

std::string nodeText(const FilterEntry& entry, LineKind kind, bool underCategory) {
    char prefix[64] = "";
    const auto id = entry.id;
    const auto hex = static_cast<unsigned>(entry.id);
    switch (kind) {
        case LineKind::Category:
            return entry.name;
        case LineKind::Message:
            if (underCategory)
                std::snprintf(prefix, sizeof prefix, "[%05d/%02d] - ", id, entry.sub);
            else
                std::snprintf(prefix, sizeof prefix, "[0x%04X/%02d] - ", hex, entry.sub);
            break;
        case LineKind::Nv:
            if (underCategory)
                std::snprintf(prefix, sizeof prefix, "[%05d] - ", id);
            else
                std::snprintf(prefix, sizeof prefix, "[0x%04X] - ", hex);
            break;
        case LineKind::Log:
        case LineKind::Ota:
        case LineKind::Event:
            std::snprintf(prefix, sizeof prefix, "[0x%04X] - ", hex);
            break;
    }
    return prefix + entry.name;
}

std::string readCatalogueLine(std::FILE* file, bool& last) {
    std::string line;
    last = false;
    bool full = false;
    for (;;) {
        int c = std::fgetc(file);
        if (c == '\r') {
            const int n = std::fgetc(file);
            if (n == '\n')
                c = '\n';
            else if (n != EOF)
                std::ungetc(n, file);
        }
        if (c == EOF || c == 0xFF) {
            last = true;
            if (!full) line.push_back(kEndMark);
            return line;
        }
        if (!full) line.push_back(static_cast<char>(c));
        if (c == '\n') return line;
        if (line.size() >= kMaxCatalogueLine) full = true;
    }
}

}  // namespace kvx::filters
