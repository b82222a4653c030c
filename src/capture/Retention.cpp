#include "capture/Retention.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

namespace kvx::capture {

namespace {
constexpr uint64_t kMinProbeStep = 64 * 1000;
constexpr auto kMaxProbeInterval = std::chrono::milliseconds(250);

int unlinkFile(const std::string& name) {
    return ::unlink(name.c_str()) == 0 ? 0 : errno;
}

uint64_t sizeOf(const std::string& name, bool& exists) {
    struct stat st {};
    exists = ::stat(name.c_str(), &st) == 0;
    return exists ? static_cast<uint64_t>(st.st_size) : 0;
}
}  // namespace

std::optional<uint64_t> parseByteSize(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    size_t i = 0;
    long double value = 0;
    bool digits = false;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + (text[i] - '0');
        digits = true;
        ++i;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        long double scale = 0.1L;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            value += scale * (text[i] - '0');
            scale /= 10;
            digits = true;
            ++i;
        }
    }
    if (!digits) return std::nullopt;
    std::string_view unit = text.substr(i);
    if (!unit.empty() && (unit.back() == 'B' || unit.back() == 'b')) unit.remove_suffix(1);
    long double factor = 1;
    if (unit.size() == 1) {
        switch (unit[0]) {
            case 'k': case 'K': factor = 1e3L; break;
            case 'm': case 'M': factor = 1e6L; break;
            case 'g': case 'G': factor = 1e9L; break;
            case 't': case 'T': factor = 1e12L; break;
            default: return std::nullopt;
        }
    } else if (!unit.empty()) {
        return std::nullopt;
    }
    const long double bytes = std::floor(value * factor + 0.5L);
    if (bytes >= 18446744073709551615.0L) return std::nullopt;
    return static_cast<uint64_t>(bytes);
}

std::string formatBytes(uint64_t bytes) {
    char text[48];
    if (bytes < 1'000'000) {
        std::snprintf(text, sizeof text, "%llu kB", static_cast<unsigned long long>(bytes / 1000));
    } else if (bytes < 1'000'000'000) {
        std::snprintf(text, sizeof text, "%.2f MB", static_cast<double>(bytes) / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(bytes) / 1e9);
    }
    return text;
}

uint64_t minFreeFor(const RetentionPolicy& policy, uint64_t totalBytes) {
    if (policy.minFree) return *policy.minFree;
    return std::min(totalBytes / 100, kMinFreeCeiling);
}

Retention::Retention(RetentionPolicy policy, Probe probe, Remove remove, Clock clock)
    : policy_(policy),
      probe_(std::move(probe)),
      remove_(remove ? std::move(remove) : Remove(unlinkFile)),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })) {}

void Retention::reset(RetentionPolicy policy) {
    std::lock_guard lock(mutex_);
    policy_ = policy;
    files_.clear();
    lastBytes_ = 0;
    sinceProbe_ = 0;
    probeAfter_ = 0;
}

std::optional<DiskSpace> Retention::probe(const std::string& path) const {
    return probe_ ? probe_(path) : diskSpace(path);
}

void Retention::fileOpened(const std::string& name) {
    std::lock_guard lock(mutex_);
    files_.push_back({name, 0});
    // A new file on perhaps another disk: ask at once.
    lastBytes_ = 0;
    probeAfter_ = 0;
}

bool Retention::spaceLow(uint32_t bytesRead) {
    if (policy_.minFree && *policy_.minFree == 0) return false;
    // The counter restarts with each file.
    sinceProbe_ += bytesRead >= lastBytes_ ? bytesRead - lastBytes_ : bytesRead;
    lastBytes_ = bytesRead;
    const auto now = clock_();
    if (probeAfter_ != 0 && sinceProbe_ < probeAfter_ && now - probedAt_ < kMaxProbeInterval)
        return false;
    std::string newest;
    {
        std::lock_guard lock(mutex_);
        if (files_.empty()) return false;
        newest = files_.back().name;
    }
    sinceProbe_ = 0;
    probedAt_ = now;
    const auto disk = probe(newest);
    if (!disk) {
        probeAfter_ = kMinProbeStep;
        return false;
    }
    const uint64_t floor = minFreeFor(policy_, disk->totalBytes);
    if (disk->freeBytes < floor) {
        probeAfter_ = 0;
        return true;
    }
    // The log grows by about what is read: a quarter of the room left keeps the next look well
    // before the floor even when the file grows faster than the count suggests.
    probeAfter_ = std::max((disk->freeBytes - floor) / 4, kMinProbeStep);
    return false;
}

std::optional<Retention::Space> Retention::space() const {
    if (policy_.minFree && *policy_.minFree == 0) return std::nullopt;
    std::string newest;
    {
        std::lock_guard lock(mutex_);
        if (files_.empty()) return std::nullopt;
        newest = files_.back().name;
    }
    const auto disk = probe(newest);
    if (!disk) return std::nullopt;
    return Space{disk->freeBytes, minFreeFor(policy_, disk->totalBytes)};
}

void Retention::refreshSizes() {
    // Closed files keep their size; the newest two may have grown since the last look. A file
    // someone else removed is forgotten.
    for (size_t i = 0; i < files_.size();) {
        if (files_[i].bytes == 0 || i + 2 >= files_.size()) {
            bool exists = false;
            files_[i].bytes = sizeOf(files_[i].name, exists);
            if (!exists && i + 1 < files_.size()) {
                files_.erase(files_.begin() + static_cast<std::ptrdiff_t>(i));
                continue;
            }
        }
        ++i;
    }
}

std::vector<Removal> Retention::trim(bool newestWritten, bool lowSpace) {
    std::vector<Removal> removed;
    std::lock_guard lock(mutex_);
    if (files_.size() < 2) return removed;
    refreshSizes();
    auto removeOldest = [&](RemovalCause cause, uint64_t kept, uint64_t limit) {
        Removal r;
        r.name = files_.front().name;
        r.bytes = files_.front().bytes;
        r.cause = lowSpace ? RemovalCause::LowSpace : cause;
        r.error = remove_(r.name);
        r.kept = kept;
        r.limit = limit;
        files_.erase(files_.begin());
        removed.push_back(std::move(r));
    };
    const size_t ring = static_cast<size_t>(std::max(policy_.ring, 0));
    while (ring > 0 && files_.size() > ring && files_.size() > 1 && (newestWritten || lowSpace)) {
        removeOldest(RemovalCause::Ring, files_.size() - 1, ring);
    }
    if (policy_.maxTotal > 0) {
        uint64_t total = 0;
        for (const auto& f : files_) total += f.bytes;
        while (files_.size() > 1 && total > policy_.maxTotal) {
            const uint64_t size = files_.front().bytes;
            removeOldest(RemovalCause::Total, total - size, policy_.maxTotal);
            total -= size;
        }
    }
    return removed;
}

bool Retention::rotationFrees(uint64_t needed) {
    std::lock_guard lock(mutex_);
    if (policy_.ring <= 0 || files_.size() < static_cast<size_t>(policy_.ring)) return false;
    refreshSizes();
    return files_.front().bytes >= needed;
}

std::vector<std::string> Retention::files() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& f : files_) names.push_back(f.name);
    return names;
}

}  // namespace kvx::capture
