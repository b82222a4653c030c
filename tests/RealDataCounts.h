// What converting each real capture of the shared folder must give (the table of its README):
// bytes read, records written, CRC and size errors, and the record-stream length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvx::testdata {

struct RealCapture {
    const char* file;
    uint32_t bytes, records, crcErrors, sizeErrors;
    size_t streamLength;
};

inline constexpr RealCapture kRealCaptures[] = {
    {"DrexxLaggui_1761147671_MNL-20251022.qmdl", 12167, 220, 0, 0, 10715},
    {"rayhunter-traces_1741896393-deadsim.qmdl", 7493, 101, 0, 0, 6863},
    {"rayhunter-traces_1749211282-goodsim.qmdl", 1798, 31, 0, 0, 1681},
    {"rayhunter-traces_1749222138-goodsim.qmdl", 132665, 1893, 0, 0, 119133},
    {"mi_examples_attach_sample.mi2log", 412525, 5060, 0, 0, 376435},
    {"mi_examples_volte_sample.mi2log", 248179, 3599, 0, 0, 222156},
    {"mi_unit-test_att.mi2log", 524026, 1810, 0, 0, 511081},
    {"mi_unit-test_cmcc.mi2log", 317107, 5502, 1, 0, 278076},
    {"mi_unit-test_tmobile.mi2log", 523925, 2169, 0, 0, 508563},
    // Modern devices: compressed debug messages (0x92) and multi-SIM packets (0x98).
    {"mi_unit-test_att-iphone.mi2log", 1040390, 16489, 1, 0, 1170265},
    {"scat-test_hwcombos.qmdl", 96684, 45, 0, 0, 96248},
    {"mi_fork_overlink_500KB.mi2log", 493620, 1278, 0, 0, 474659},
};

}  // namespace kvx::testdata
