// The simulated modem's download mode without any transport: the memory-debug side of the
// chipset's download protocol (no-operation, parameters, region table, memory reads, reset)
// over a configurable set of memory regions. Not thread-safe: one owner calls it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "modemsim/DmModel.h"

namespace kvx::modemsim {

// One memory region the modem holds: announced in its table, read by address.
struct SimRegion {
    uint8_t type = 1;
    uint32_t base = 0;
    std::string description;  // sent as it is (the host cuts what is too long)
    std::string fileName;     // sent as it is: may be hostile ("../evil.bin")
    std::vector<uint8_t> bytes;
};

// `size` bytes of which about half are 0x7E or 0x7D (the rest varied), the worst case for
// framing; the same seed gives the same bytes.
std::vector<uint8_t> escapeHeavyBytes(size_t size, uint32_t seed);

// A table of three regions of 5000, 0 and 70000 escape-heavy bytes, the demo's default.
std::vector<SimRegion> demoRegions();

class DloadModel {
  public:
    explicit DloadModel(std::vector<SimRegion> regions);

    // Handles one request payload (CRC checked and removed) and appends the replies. With
    // `answer` false nothing is appended. Reads outside every region get a NAK (0x03).
    RequestEffect handle(std::span<const uint8_t> request, bool answer,
                         std::vector<std::vector<uint8_t>>& replies);

    // The payload of the memory-debug information (0x11) for the table.
    std::vector<uint8_t> regionTablePayload() const;

    const std::vector<SimRegion>& regions() const { return regions_; }
    uint32_t resets() const { return resets_; }
    uint64_t readsAnswered() const { return readsAnswered_; }

  private:
    std::vector<SimRegion> regions_;
    uint32_t resets_ = 0;
    uint64_t readsAnswered_ = 0;
};

}  // namespace kvx::modemsim
