// Retention of one capture's log files: a ring of the newest N files, a budget for their total
// size, and a floor of free space on their file system. It knows the files by the names the
// capture opened (oldest first, across rotations and restarts) and never removes anything else,
// nor the newest file, which is the one being written.
//
// Threads: fileOpened and spaceLow are called by the logging worker, everything else by the
// window's thread; the file list is guarded inside. spaceLow's pacing state is the worker's own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/DiskSpace.h"

namespace kvx::capture {

// "20G", "500M", "64k", "1.5G", "1000" (bytes): k, M, G, T are 10^3, 10^6, 10^9, 10^12 (case
// does not matter; a trailing "B" is allowed). nullopt when malformed or beyond 64 bits.
std::optional<uint64_t> parseByteSize(std::string_view text);
// "1.23 MB", "612 kB", "20.0 GB" (powers of 1000), for messages.
std::string formatBytes(uint64_t bytes);

struct RetentionPolicy {
    int ring = 0;                     // keep the newest N files; 0: keep all
    uint64_t maxTotal = 0;            // bytes the files may take together; 0: no budget
    std::optional<uint64_t> minFree;  // bytes to keep free; 0 turns the check off;
                                      // nullopt: 1% of the file system or 1 GB, the smaller
};
inline constexpr uint64_t kMinFreeCeiling = 1'000'000'000;

// The floor of free space for a file system of `totalBytes` under `policy`.
uint64_t minFreeFor(const RetentionPolicy& policy, uint64_t totalBytes);

enum class RemovalCause { Ring, Total, LowSpace };

struct Removal {
    std::string name;
    uint64_t bytes = 0;  // its size when removed
    RemovalCause cause = RemovalCause::Ring;
    int error = 0;       // errno when it could not be removed (it is forgotten all the same)
    // For the error log: files kept and the ring; total kept and the budget; free space and
    // the floor (bytes), as the cause has them.
    uint64_t kept = 0;
    uint64_t limit = 0;
};

class Retention {
public:
    using Probe = std::function<std::optional<DiskSpace>(const std::string&)>;
    using Remove = std::function<int(const std::string&)>;  // 0 or errno
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // `probe`, `remove` and `clock` default to the real disk, unlink and the steady clock.
    explicit Retention(RetentionPolicy policy = {}, Probe probe = {}, Remove remove = {},
                       Clock clock = {});

    // Window thread, between captures: the policy of the next one, and forgets the files.
    void reset(RetentionPolicy policy);
    const RetentionPolicy& policy() const { return policy_; }

    // Worker thread: the capture opened this file (it is now the newest).
    void fileOpened(const std::string& name);

    // Worker thread, after each chunk: true when free space under the newest file is below the
    // floor. `bytesRead` is the current file's byte counter (it restarts with each file). The
    // disk is asked once 1/4 of the room above the floor may have been written (at least every
    // 64 kB), and at least every 250 ms for other writers on the same disk.
    bool spaceLow(uint32_t bytesRead);

    // Window thread: the free space under the newest file and its floor now; nullopt when
    // there is no file yet, the check is off, or the disk cannot be asked.
    struct Space {
        uint64_t freeBytes = 0;
        uint64_t floor = 0;
    };
    std::optional<Space> space() const;

    // Window thread: removes, oldest first and never the newest, what the ring and the budget
    // let go. The ring removes while more than N files are kept and the newest has been written
    // to (`newestWritten`), or at once when `lowSpace`; the budget while the total exceeds it.
    // With `lowSpace` set, removals are counted as made for free space.
    std::vector<Removal> trim(bool newestWritten, bool lowSpace);

    // True when one more file would let the ring remove the oldest and that one holds at least
    // `needed` bytes: a rotation then frees what is missing.
    bool rotationFrees(uint64_t needed);

    std::vector<std::string> files() const;

private:
    struct Kept {
        std::string name;
        uint64_t bytes = 0;
    };
    std::optional<DiskSpace> probe(const std::string& path) const;
    void refreshSizes();  // under mutex_

    RetentionPolicy policy_;
    Probe probe_;
    Remove remove_;
    Clock clock_;
    mutable std::mutex mutex_;
    std::vector<Kept> files_;  // oldest first

    // spaceLow's pacing, the worker's own.
    uint32_t lastBytes_ = 0;
    uint64_t sinceProbe_ = 0;
    uint64_t probeAfter_ = 0;  // 0: ask at the next chunk
    std::chrono::steady_clock::time_point probedAt_{};
};

}  // namespace kvx::capture
