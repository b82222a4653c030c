// Copies of a few dozen bytes whose length is known only at run time: the runs between escapes
// of a frame and the pieces of a record. A memcpy call of such a length goes through the C
// runtime; with the Windows runtime that is a call through the import table, and Wine's one
// spends more on a short copy than the rest of the receive path does. Up to 64 bytes are moved
// here in at most four fixed-size pieces, which the compiler turns into plain loads and stores;
// longer copies still go to memcpy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kvx::dm {

// Copies n <= 8 bytes (the pieces of a record around an 8-byte block).
inline void copyUpTo8(uint8_t* dst, const uint8_t* src, size_t n) {
    // A head and a tail piece of the same size, which overlap when n is not twice that size:
    // every byte is written, none outside [dst, dst + n).
    if (n >= 4) {
        std::memcpy(dst, src, 4);
        std::memcpy(dst + n - 4, src + n - 4, 4);
    } else if (n >= 2) {
        std::memcpy(dst, src, 2);
        std::memcpy(dst + n - 2, src + n - 2, 2);
    } else if (n == 1) {
        *dst = *src;
    }
}

// Copies n bytes from src to dst; the two must not overlap.
inline void copyShort(uint8_t* dst, const uint8_t* src, size_t n) {
    if (n > 64) {
        std::memcpy(dst, src, n);
    } else if (n >= 32) {
        std::memcpy(dst, src, 32);
        std::memcpy(dst + n - 32, src + n - 32, 32);
    } else if (n >= 16) {
        std::memcpy(dst, src, 16);
        std::memcpy(dst + n - 16, src + n - 16, 16);
    } else if (n > 8) {
        std::memcpy(dst, src, 8);
        std::memcpy(dst + n - 8, src + n - 8, 8);
    } else {
        copyUpTo8(dst, src, n);
    }
}

}  // namespace kvx::dm
