// A new, empty, private folder under the system's temporary folder, for one test; empty path
// when none could be made. mkdtemp where there is one; elsewhere (Windows) a random name
// created exclusively (create_directory fails on a name that exists).
#pragma once

#include <filesystem>
#include <random>
#include <string>
#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace kvx::testing {

inline std::filesystem::path makeTempFolder(const std::string& prefix) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path root = fs::temp_directory_path(ec);
    if (ec) return {};
#if !defined(_WIN32)
    std::string pattern = (root / (prefix + "-XXXXXX")).string();
    return mkdtemp(pattern.data()) != nullptr ? fs::path(pattern) : fs::path();
#else
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = root / (prefix + "-" + std::to_string(random() % 1000000000));
        if (fs::create_directory(candidate, ec)) return candidate;
    }
    return {};
#endif
}

}  // namespace kvx::testing
