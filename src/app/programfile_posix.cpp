#include <sys/auxv.h>

#include <system_error>

#include "app/ProgramFile.h"

namespace kvx::app {

std::vector<std::filesystem::path> programFiles() {
    namespace fs = std::filesystem;
    std::vector<fs::path> programs;
    std::error_code ec;
    if (fs::path self = fs::read_symlink("/proc/self/exe", ec); !ec) programs.push_back(self);
    // Without /proc (a fresh chroot): the path the program was started by.
    if (const auto* started = reinterpret_cast<const char*>(::getauxval(AT_EXECFN));
        started != nullptr && *started != '\0') {
        const fs::path program = fs::weakly_canonical(fs::absolute(started, ec), ec);
        if (!ec && program.is_absolute()) programs.push_back(program);
    }
    return programs;
}

}  // namespace kvx::app
