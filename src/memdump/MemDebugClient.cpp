#include "memdump/MemDebugClient.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "serial/Discovery.h"

namespace kvx::memdump {

namespace {

using Clock = std::chrono::steady_clock;

// Largest single read: the size of one read of the original receive path. Reads of read
// responses are sized to the frame still missing, so they return as soon as it is there.
constexpr size_t kReadChunk = 3096;
// Progress messages in state 3: one per this many read requests.
constexpr int32_t kProgressEvery = 128;
constexpr const char* kSearchText = "MGX";
constexpr uint16_t kDownloadVendor = 0x05c6;
constexpr uint16_t kDownloadProduct = 0x9008;

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

}  // namespace

namespace {
void printLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
}  // namespace

void DumpTarget::diagnostic(const std::string& line) { printLine(line); }

MemDebugClient::MemDebugClient() = default;

MemDebugClient::~MemDebugClient() {
    if (file_ != nullptr) std::fclose(file_);
}

void MemDebugClient::setDiscoveryRoots(std::string sysfsRoot, std::string devRoot) {
    sysfsRoot_ = std::move(sysfsRoot);
    devRoot_ = std::move(devRoot);
}

std::string MemDebugClient::findDumpPort() const {
    for (const auto& p : serial::presentPorts(sysfsRoot_, devRoot_)) {
        const bool named = p.name.find(kSearchText) != std::string::npos;
        const bool downloadMode = p.vendorId == kDownloadVendor && p.productId == kDownloadProduct;
        if (!named && !downloadMode) continue;
        // A port without a device node cannot be opened by name: try the next one.
        if (!serial::portReachable(p)) continue;
        return p.path;
    }
    return {};
}

void MemDebugClient::abort() {
    abort_ = true;
    port_.wake();
}

void MemDebugClient::diagnostic(const std::string& line) {
    if (target_ != nullptr)
        target_->diagnostic(line);
    else
        printLine(line);
}

bool MemDebugClient::openPort(const std::string& portName) {
    std::string name = portName;
    if (name.empty()) {
        name = findDumpPort();
        if (name.empty()) {
            summary_.message =
                "No port of a modem in download mode found (a port named like \"MGX\" or a USB "
                "device 05c6:9008)";
            return false;
        }
    }
    if (!port_.open(name)) {
        summary_.message = serial::describe(port_.status());
        return false;
    }
    return true;
}

void MemDebugClient::closePort() { port_.close(); }

bool MemDebugClient::send(std::span<const uint8_t> frame) {
    return port_.write(frame.data(), frame.size());
}

bool MemDebugClient::reset(int portNumber) {
    return resetOn(portNumber > 0 ? "COM" + std::to_string(portNumber) : std::string());
}

bool MemDebugClient::resetOn(const std::string& portName) {
    summary_ = DumpSummary{};
    if (!openPort(portName)) return false;
    const bool sent = send(kResetFrame);
    closePort();
    return sent;
}

int MemDebugClient::run(int portNumber) {
    return runOn(portNumber > 0 ? "COM" + std::to_string(portNumber) : std::string());
}

void MemDebugClient::sendProgress() {
    if (target_ != nullptr) target_->progress(progress_);
}

void MemDebugClient::resendReadRequest() {
    if (haveLastRead_) send(lastRead_.frame());
}

size_t MemDebugClient::readSize() const {
    if (progress_.state != kStateReading || !haveLastRead_) return kReadChunk;
    // The response's content (code, address, length, data, CRC) and its closing flag; every
    // escape only makes the frame longer, so this never reads past its end.
    const size_t whole = static_cast<size_t>(requested_) + 9 + 1;
    const size_t have = receiver_.partialLength();
    return have + 1 >= whole ? 1 : std::min(whole - have, kReadChunk);
}

MemDebugClient::Rx MemDebugClient::receive(std::span<const uint8_t>& payload) {
    const auto deadline = Clock::now() + timing_.pass;
    bool readOnce = false;
    for (;;) {
        ReceivedFrame frame;
        if (receiver_.next(frame)) {
            if (frame.content.size() < 3 && !frame.overflow) {
                diagnostic("Invalid Packet Length " + std::to_string(frame.content.size()) +
                           " for CRC check");
                return Rx::Bad;
            }
            auto p = frame.payload();
            if (!p) {
                diagnostic("Checksum Error, Type " + std::to_string(frame.content[0]) +
                           ", Length " + std::to_string(frame.content.size()));
                return Rx::Bad;
            }
            payload = *p;
            return Rx::Good;
        }
        const auto now = Clock::now();
        // Every pass reads at least once, however short it is.
        if (abort_.load() || (readOnce && now >= deadline)) return Rx::Nothing;
        readOnce = true;
        // A read waits 1 ms per byte asked for plus 50 ms: keep it within the pass.
        const auto leftMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        const size_t fits = leftMs > 51 ? static_cast<size_t>(leftMs - 50) : 1;
        const size_t want = std::min(readSize(), fits);
        if (readBuffer_.size() < want) readBuffer_.resize(kReadChunk);
        const size_t n = port_.read(readBuffer_.data(), want);
        if (n > 0) receiver_.feed(std::span<const uint8_t>(readBuffer_.data(), n));
    }
}

bool MemDebugClient::takeRegionTable(std::span<const uint8_t> payload) {
    auto regions = parseRegionTable(payload);
    if (!regions) return false;
    table_ = RegionTable{};
    summary_.bytesAnnounced = 0;
    for (const auto& r : *regions) {
        MemRegion& m = table_.regions[table_.count++];
        m.type = r.type;
        m.description = r.description;
        m.fileName = r.fileName;
        m.base = r.base;
        m.length = r.length;
        m.nextAddress = r.base;
        summary_.bytesAnnounced += r.length;
    }
    table_.current = 0;
    summary_.regions = table_.count;
    return true;
}

bool MemDebugClient::sendReadRequest() {
    const MemRegion& r = table_.regions[table_.current];
    const uint32_t remaining = r.length - (r.nextAddress - r.base);
    requested_ = std::min(kMaxChunk, remaining);
    lastRead_ = buildReadRequest(r.nextAddress, static_cast<uint16_t>(requested_));
    haveLastRead_ = true;
    return send(lastRead_.frame());
}

bool MemDebugClient::openRegionFile(size_t index) {
    const MemRegion& r = table_.regions[index];
    std::string name = safeFileName(r.fileName, index + 1);
    // Two regions of the same name would leave only the second one's bytes.
    auto used = [&](const std::string& n) {
        return std::find(usedNames_.begin(), usedNames_.end(), n) != usedNames_.end();
    };
    if (used(name)) {
        const size_t dot = name.rfind('.');
        const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
        const std::string ext = stem.size() == name.size() ? std::string() : name.substr(dot);
        for (size_t k = index + 1; used(name); k += kMaxRegions)
            name = stem + "_" + std::to_string(k) + ext;
    }
    usedNames_.push_back(name);
    current_ = RegionFile{};
    current_.region = index + 1;
    current_.name = name;
    current_.path = (outputFolder_ / name).string();
    file_ = std::fopen(current_.path.c_str(), "wb");
    if (file_ == nullptr) {
        const int err = errno;
        diagnostic("Could not open output file " + name);
        summary_.message = "Could not create the region file " + current_.path + ": " +
                           std::strerror(err);
        return false;
    }
    return true;
}

void MemDebugClient::closeRegionFile(bool complete) {
    if (file_ == nullptr) return;
    if (std::fclose(file_) != 0) complete = false;
    file_ = nullptr;
    current_.complete = complete;
    if (!complete) {
        // An incomplete region must never pass for a whole one.
        const std::string partial = current_.path + ".partial";
        std::error_code ec;
        std::filesystem::rename(current_.path, partial, ec);
        if (!ec) current_.path = partial;
    }
    summary_.files.push_back(current_);
    if (target_ != nullptr) target_->fileClosed(current_);
}

MemDebugClient::Store MemDebugClient::storeChunk(std::span<const uint8_t> payload) {
    auto response = parseReadResponse(payload);
    if (!response) {
        diagnostic("Malformed read response, Length " + std::to_string(payload.size()));
        resendReadRequest();
        return Store::Dropped;
    }
    MemRegion& r = table_.regions[table_.current];
    if (response->address != r.nextAddress) {
        // A late answer to a request sent again: its bytes are already in the file.
        diagnostic("Read response for " + hex32(response->address) + " dropped, expected " +
                   hex32(r.nextAddress));
        return Store::Dropped;
    }
    const size_t length = response->data.size();
    if (length > requested_) {
        diagnostic("Read response of " + std::to_string(length) + " bytes dropped, asked for " +
                   std::to_string(requested_));
        resendReadRequest();
        return Store::Dropped;
    }
    if (file_ == nullptr && !openRegionFile(table_.current)) return Store::Failed;
    if (length > 0 && std::fwrite(response->data.data(), 1, length, file_) != length) {
        const int err = errno;
        summary_.message = "Could not write the region file " + current_.path + ": " +
                           std::strerror(err);
        return Store::Failed;
    }
    current_.bytes += length;
    summary_.bytesRead += length;
    if (target_ != nullptr) target_->bytesStored(summary_.bytesRead, summary_.bytesAnnounced);

    const uint64_t done = static_cast<uint64_t>(r.nextAddress - r.base) + length;
    if (done < r.length) {
        r.nextAddress += static_cast<uint32_t>(length);
        return Store::Stored;
    }
    r.nextAddress = r.base + r.length;
    if (std::fflush(file_) != 0) {
        const int err = errno;
        summary_.message = "Could not write the region file " + current_.path + ": " +
                           std::strerror(err);
        return Store::Failed;
    }
    closeRegionFile(true);
    ++table_.current;
    if (table_.current < table_.count)
        table_.regions[table_.current].nextAddress = table_.regions[table_.current].base;
    else
        progress_.state = kStateFinished;
    return Store::Stored;
}

int MemDebugClient::finish(int result) {
    closeRegionFile(false);
    closePort();
    summary_.result = result;
    haveLastRead_ = false;
    return result;
}

void MemDebugClient::clearRun() {
    summary_ = DumpSummary{};
    table_ = RegionTable{};
    progress_ = DumpProgress{};
    haveLastRead_ = false;
    requested_ = 0;
    receiver_.reset();
    usedNames_.clear();
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

int MemDebugClient::runOn(const std::string& portName) {
    clearRun();
    if (!openPort(portName)) {
        abort_ = false;  // nothing left to abort
        summary_.result = kPortFailed;
        return kPortFailed;
    }
    return runOpened();
}

int MemDebugClient::runWith(std::unique_ptr<serial::Port> port) {
    clearRun();
    if (!port) {
        summary_.result = kPortFailed;
        return kPortFailed;
    }
    port_.attach(std::move(port));
    return runOpened();
}

int MemDebugClient::runOpened() {
    // The abort flag is not cleared here: an Exit that came while the port was opening
    // must still end this run.
    send(kNoOperationFrame);
    progress_.state = kStateSearching;
    const auto start = Clock::now();
    auto lastFrame = start;

    for (;;) {
        if (abort_.load()) {
            abort_ = false;
            summary_.aborted = true;
            return finish(kDumpFinished);
        }
        std::span<const uint8_t> payload;
        const Rx rx = receive(payload);
        if (abort_.load()) continue;
        const auto now = Clock::now();
        if (rx != Rx::Nothing) lastFrame = now;
        if (rx == Rx::Bad) {
            resendReadRequest();
            continue;
        }
        if (rx == Rx::Good) {
            const int32_t state = progress_.state;
            switch (payload[0]) {
                case kAck:
                    if (state == kStateSearching) progress_.state = kStateParameters;
                    break;
                case kParameterResponse:
                    if (state == kStateParameters) {
                        progress_.state = kStateRegions;
                        table_.current = 0;
                        table_.count = 0;
                    }
                    break;
                case kMemDebugInfo:
                    if (state != kStateRegions) break;
                    if (!takeRegionTable(payload)) {
                        diagnostic("Malformed memory region table, Length " +
                                   std::to_string(payload.size()));
                        break;  // asked for again below
                    }
                    progress_.state = kStateReading;
                    if (target_ != nullptr) target_->regions(table_);
                    if (table_.count == 0) {
                        summary_.message =
                            "The modem announced no memory regions: there is nothing to read";
                        progress_.state = kStateFinished;
                    }
                    break;
                case kReadResponse:
                    if (state != kStateReading) break;
                    switch (storeChunk(payload)) {
                        case Store::Stored:
                            break;
                        case Store::Dropped:
                            continue;  // the answer to the request in flight is still to come
                        case Store::Failed:
                            return finish(kOutputFileFailed);
                    }
                    break;
                default:
                    resendReadRequest();
                    continue;
            }
        } else if (now - lastFrame > timing_.silence) {
            const std::string text = "No communication received for 30 seconds.  Aborting";
            summary_.message = text;
            if (target_ != nullptr) target_->messageBox(text);
            return finish(kNoCommunication);
        }

        switch (progress_.state) {
            case kStateSearching:
                if (now - start > timing_.search) {
                    summary_.message = "No answer from a modem in download mode on " +
                                       port_.status().path;
                    return finish(kNoCommunication);
                }
                send(kNoOperationFrame);
                progress_.counter = 0;
                sendProgress();
                break;
            case kStateParameters:
                send(kParameterRequestFrame);
                progress_.counter = 0;
                sendProgress();
                break;
            case kStateRegions:
                send(kMemDebugQueryFrame);
                progress_.counter = 0;
                sendProgress();
                break;
            case kStateReading: {
                sendReadRequest();
                const int32_t before = progress_.counter++;
                if (before % kProgressEvery == 0) sendProgress();
                break;
            }
            case kStateFinished:
                closePort();
                progress_.counter = 100;
                sendProgress();
                summary_.result = kDumpFinished;
                return kDumpFinished;
            default:
                progress_.counter = 100;
                sendProgress();
                return finish(kProtocolError);
        }
    }
}

}  // namespace kvx::memdump
