// kvxlog-modemsim: a simulated DM modem on a pseudo-terminal for demos and scripts. Prints
// the terminal's path on one line and serves until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "modemsim/FakeSysfs.h"
#include "modemsim/SimModem.h"

namespace {

const char kUsage[] =
    "usage: kvxlog-modemsim [--profile maker|generic|multisim] [--rate N] [--replay FILE]\n"
    "                       [--gps-leap] [--link PATH] [--sysfs ROOT --dev DEV [--tty NAME]]\n"
    "                       [--silent] [--silent-after S] [--answer-after N] [--corrupt P]\n"
    "                       [--drop-after S [--back-after S]]\n"
    "                       [--download [--corrupt-read N] [--late-read N] [--split N]]\n"
    "  --profile P       maker (default): streams after the maker's logging start request;\n"
    "                    generic: a plain chipset, streams as soon as a mask enables something;\n"
    "                    multisim: a dual-SIM phone, as generic with log packets wrapped (0x98)\n"
    "                    for subscriptions 1 and 2 and compressed messages (0x92)\n"
    "  --multi-sim       the same as --profile multisim\n"
    "  --rate N          streamed packets per second while logging (0: as fast as possible)\n"
    "  --replay FILE     stream the log, event and message packets of a raw DM capture\n"
    "                    (.qmdl, .mi2log), re-timed to now and filtered by the masks\n"
    "  --gps-leap        time stamps in GPS time (18 s ahead of the default, UTC)\n"
    "  --link PATH       keep a symbolic link PATH to the terminal while plugged in\n"
    "  --sysfs ROOT      show the modem as a USB port in the fake sysfs tree ROOT\n"
    "  --dev DEV         the folder standing for /dev in that tree\n"
    "  --tty NAME        the port's name in that tree (default ttyUSB0)\n"
    "  --silent          answer nothing, stream nothing\n"
    "  --silent-after S  fall silent S seconds after start\n"
    "  --answer-after N  answer each request only from its Nth identical try on\n"
    "  --corrupt P       damage each outgoing byte with probability P (0..1)\n"
    "  --drop-after S    unplug S seconds after start\n"
    "  --back-after S    plug back in S seconds after each unplug\n"
    "  --download        download mode: answer the memory-dump protocol over three regions\n"
    "                    (5000, 0 and 70000 bytes); in the sysfs tree a device 05c6:9008\n"
    "                    named \"MGX QDLoader 9008\"\n"
    "  --corrupt-read N  damage the Nth read response\n"
    "  --late-read N     send the Nth read response again after the next one\n"
    "  --split N         write every reply in N pieces, 20 ms apart\n";

std::optional<double> number(const char* text, double lo, double hi) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= lo && v <= hi)) return std::nullopt;
    return v;
}

kvx::modemsim::Millis seconds(double s) {
    return kvx::modemsim::Millis(static_cast<int64_t>(s * 1000.0 + 0.5));
}

int usageError(const std::string& what) {
    std::fprintf(stderr, "kvxlog-modemsim: %s\n%s", what.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    kvx::modemsim::SimModem::Config config;
    std::string sysfsRoot, devDir, tty = "ttyUSB0", replayPath;
    auto kind = kvx::modemsim::ProfileKind::Maker;
    bool gpsLeap = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        auto numeric = [&](double lo, double hi) -> std::optional<double> {
            const char* v = value();
            return v ? number(v, lo, hi) : std::nullopt;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--silent") {
            config.silent = true;
        } else if (a == "--download") {
            config.download.on = true;
            config.download.regions = kvx::modemsim::demoRegions();
        } else if (a == "--corrupt-read" || a == "--late-read" || a == "--split") {
            auto v = numeric(1, 1e9);
            if (!v) return usageError(std::string(a) + " needs a count of at least 1");
            (a == "--corrupt-read" ? config.download.corruptRead
             : a == "--late-read"  ? config.download.lateDuplicateRead
                                   : config.download.splitWrites) = static_cast<uint32_t>(*v);
        } else if (a == "--multi-sim") {
            kind = kvx::modemsim::ProfileKind::MultiSim;
        } else if (a == "--profile") {
            const char* v = value();
            const std::string_view name = v ? v : "";
            if (name == "maker")
                kind = kvx::modemsim::ProfileKind::Maker;
            else if (name == "generic")
                kind = kvx::modemsim::ProfileKind::Generic;
            else if (name == "multisim")
                kind = kvx::modemsim::ProfileKind::MultiSim;
            else
                return usageError("--profile needs maker, generic or multisim");
        } else if (a == "--gps-leap") {
            gpsLeap = true;
        } else if (a == "--replay") {
            const char* v = value();
            if (!v || !*v) return usageError("--replay needs a capture file");
            replayPath = v;
        } else if (a == "--link" || a == "--sysfs" || a == "--dev" || a == "--tty") {
            const char* v = value();
            if (!v || !*v) return usageError(std::string(a) + " needs a value");
            (a == "--link" ? config.linkPath : a == "--sysfs" ? sysfsRoot : a == "--dev" ? devDir : tty) = v;
        } else if (a == "--rate") {
            auto v = numeric(0, 1e6);
            if (!v) return usageError("--rate needs a number of packets per second");
            config.packetsPerSecond = static_cast<uint32_t>(*v);
        } else if (a == "--answer-after") {
            auto v = numeric(1, 1e6);
            if (!v) return usageError("--answer-after needs a count of at least 1");
            config.answerAfter = static_cast<uint32_t>(*v);
        } else if (a == "--corrupt") {
            auto v = numeric(0, 1);
            if (!v) return usageError("--corrupt needs a probability between 0 and 1");
            config.corruptShare = *v;
        } else if (a == "--silent-after" || a == "--drop-after" || a == "--back-after") {
            auto v = numeric(0, 1e7);
            if (!v) return usageError(std::string(a) + " needs a number of seconds");
            (a == "--silent-after" ? config.silentAfter
             : a == "--drop-after" ? config.dropAfter
                                   : config.comeBackAfter) = seconds(*v);
        } else {
            return usageError("unknown option " + std::string(a));
        }
    }
    if (sysfsRoot.empty() != devDir.empty()) return usageError("--sysfs and --dev go together");
    {
        // The named profile, with the time base chosen.
        auto profile = kvx::modemsim::profileFor(kind);
        profile.gpsLeapSeconds = gpsLeap;
        config.profile = std::move(profile);
    }
    if (!replayPath.empty()) {
        std::string error;
        auto source = std::make_shared<kvx::modemsim::ReplaySource>(
            kvx::modemsim::ReplaySource::fromFile(replayPath, error));
        if (source->empty()) {
            std::fprintf(stderr, "kvxlog-modemsim: %s\n", error.c_str());
            return 1;
        }
        config.replay = std::move(source);
    }

    std::unique_ptr<kvx::modemsim::FakeSysfs> sysfs;
    if (!sysfsRoot.empty()) {
        sysfs = std::make_unique<kvx::modemsim::FakeSysfs>(sysfsRoot, devDir);
        config.sysfs.tree = sysfs.get();
        config.sysfs.port.tty = tty;
        config.sysfs.port.manufacturer = "Orvanta Wireless";
        config.sysfs.port.product = "KVX-210 LTE Modem";
        if (config.download.on) {
            // The chipset's download-mode device, as the maker's driver names it.
            config.sysfs.port.product = "MGX QDLoader 9008";
            config.sysfs.port.vendorId = kvx::modemsim::kDownloadVendorId;
            config.sysfs.port.productId = kvx::modemsim::kDownloadProductId;
            config.sysfs.port.interfaceProtocol = 0xff;
        }
    }

    // The serving thread inherits the blocked signals; only sigwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    kvx::modemsim::SimModem modem(std::move(config));
    const auto st = modem.start();
    if (st.error != kvx::modemsim::StartError::None) {
        const char* what = st.error == kvx::modemsim::StartError::Terminal ? "no pseudo-terminal"
                           : st.error == kvx::modemsim::StartError::Link  ? "cannot make the link"
                           : st.error == kvx::modemsim::StartError::Sysfs ? "cannot write the sysfs tree"
                                                                          : "cannot start";
        std::fprintf(stderr, "kvxlog-modemsim: %s: %s\n", what, std::strerror(st.sysErrno));
        return 1;
    }
    std::printf("%s\n", modem.path().c_str());
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    modem.stop();
    const auto c = modem.counters();
    std::fprintf(stderr,
                 "kvxlog-modemsim: %llu requests, %llu packets (last counter %u), %llu bytes sent\n",
                 static_cast<unsigned long long>(c.requestsReceived),
                 static_cast<unsigned long long>(c.packetsSent), c.lastSequence,
                 static_cast<unsigned long long>(c.bytesSent));
    return 0;
}
