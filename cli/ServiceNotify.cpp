#include "ServiceNotify.h"

#include <string>

namespace kvx::cli {

void writeLines(std::FILE* out, Severity severity, std::string_view text) {
    if (out == nullptr) return;
    const bool mark = journalStream();
    std::string lines;
    size_t at = 0;
    while (at < text.size() || (at == 0 && text.empty())) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        if (mark) lines += "<" + std::to_string(static_cast<int>(severity)) + ">";
        lines.append(text.substr(at, end - at));
        lines += '\n';
        at = end + 1;
        if (text.empty()) break;
    }
    std::fputs(lines.c_str(), out);
    std::fflush(out);
}

}  // namespace kvx::cli
