// Test helpers: a fresh temporary folder removed afterwards, and a scope that makes a folder
// the process's current directory (the error log is written there).
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "TempFolder.h"

namespace kvx::testing {

class TempDir {
  public:
    TempDir() {
        path_ = makeTempFolder("kvxapp");
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

  private:
    std::filesystem::path path_;
};

class ScopedChdir {
  public:
    explicit ScopedChdir(const std::filesystem::path& to) : from_(std::filesystem::current_path()) {
        std::filesystem::current_path(to);
    }
    ~ScopedChdir() {
        std::error_code ec;
        std::filesystem::current_path(from_, ec);
    }
    ScopedChdir(const ScopedChdir&) = delete;
    ScopedChdir& operator=(const ScopedChdir&) = delete;

  private:
    std::filesystem::path from_;
};

inline std::string readText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace kvx::testing
