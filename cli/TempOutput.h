// The output file of an export command (pcap, export): written under a temporary name beside
// the target and renamed when whole, so a failed run never leaves a file that looks finished
// (nor destroys an older one). An interrupt (Ctrl-C, SIGTERM, SIGHUP; on Windows Ctrl-C,
// Ctrl-Break or the console's close) mid-run removes the temporary file.
// One open TempOutput at a time per process (the interrupt handler knows one name).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Platform.h"

namespace kvx::cli {

class TempOutput {
  public:
    explicit TempOutput(std::string target) : target_(std::move(target)) {}
    ~TempOutput() { discard(); }
    TempOutput(const TempOutput&) = delete;
    TempOutput& operator=(const TempOutput&) = delete;

    // Creates the temporary file (mode as umask allows); false with error() set.
    bool open();
    // Appends all of `bytes`; false with error() set.
    bool write(const std::vector<uint8_t>& bytes);
    // Closes and renames onto the target; false with error() set.
    bool commit();
    // Removes the temporary file (also done by the destructor).
    void discard();
    int error() const { return error_; }

  private:
    std::string target_;
    std::string temp_;
    int fd_ = -1;
    int error_ = 0;
    std::optional<RemoveOnInterrupt> cleanup_;
};

// Whether the two paths name the same existing file.
bool sameFile(const std::string& a, const std::string& b);

}  // namespace kvx::cli
