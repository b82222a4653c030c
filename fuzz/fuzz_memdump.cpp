// Arbitrary bytes as a download-mode modem's side of a memory dump. First the receive path and
// both parsers on their own: every frame cut from the bytes must stay within its bound, and
// every announced file name, made safe, must be a plain name. Then a whole dump over a
// scripted port: the client must write nothing outside its output folder, never more region
// bytes than were announced, and end when the bytes run out.
//
// Input: byte 0 sets the size of each port read (1..256 bytes); the rest is what the modem
// sends, in order.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "memdump/MemDebugClient.h"
#include "memdump/MemFrames.h"
#include "serial/Port.h"

namespace {

namespace fs = std::filesystem;
using namespace kvx::memdump;

class FuzzPort final : public kvx::serial::Port {
  public:
    FuzzPort(std::span<const uint8_t> bytes, size_t piece, MemDebugClient& client)
        : bytes_(bytes), piece_(piece), client_(client) {}
    size_t read(std::span<uint8_t> buffer) override {
        if (pos_ >= bytes_.size()) {
            client_.abort();  // the modem has said all it will: end the run
            return 0;
        }
        const size_t n = std::min({buffer.size(), piece_, bytes_.size() - pos_});
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_), n, buffer.begin());
        pos_ += n;
        return n;
    }
    bool write(std::span<const uint8_t> bytes) override {
        if (bytes.size() < 5 || bytes.size() > 20 || bytes.front() != 0x7E || bytes.back() != 0x7E)
            std::abort();
        return true;
    }
    void wake() override {}
    bool dead() const override { return pos_ >= bytes_.size(); }
    const std::string& path() const override { return path_; }

  private:
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
    size_t piece_;
    MemDebugClient& client_;
    std::string path_ = "fuzz";
};

class QuietTarget final : public DumpTarget {
  public:
    void progress(const DumpProgress& p) override {
        if (p.state < kStateSearching || p.state > kStateFinished) std::abort();
    }
    void regions(const RegionTable& t) override {
        if (t.count > kMaxRegions) std::abort();
    }
    void messageBox(const std::string&) override {}
    void diagnostic(const std::string&) override {}
};

const fs::path& outputFolder() {
    static const fs::path folder = [] {
        std::string pattern = (fs::temp_directory_path() / "kvx-fuzz-memdump-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        // Kept in plain storage: the handler runs after static objects are gone.
        static char made[512];
        pattern.copy(made, sizeof made - 1);
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(made, ec);
        });
        return fs::path(pattern) / "out";
    }();
    return folder;
}

void checkName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\\') != std::string::npos)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = 1 + data[0] % 256;
    const std::span<const uint8_t> stream(data + 1, size - 1);

    FrameReceiver rx;
    for (size_t i = 0; i < stream.size(); i += piece) {
        rx.feed(stream.subspan(i, std::min(piece, stream.size() - i)));
        ReceivedFrame f;
        while (rx.next(f)) {
            if (f.content.size() > kMaxFrameContent) std::abort();
            auto p = f.payload();
            if (!p) continue;
            if (auto table = parseRegionTable(*p)) {
                if (table->size() > kMaxRegions) std::abort();
                for (size_t k = 0; k < table->size(); ++k) {
                    const auto& r = (*table)[k];
                    if (r.description.size() > kDescriptionMax || r.fileName.size() > kFileNameMax)
                        std::abort();
                    checkName(safeFileName(r.fileName, k + 1));
                }
            }
            if (auto resp = parseReadResponse(*p))
                if (resp->data.size() + 7 > p->size()) std::abort();
        }
        if (rx.partialLength() > kMaxFrameContent) std::abort();
    }

    const fs::path& out = outputFolder();
    std::error_code ec;
    fs::remove_all(out, ec);
    fs::create_directories(out, ec);
    MemDebugClient client;
    QuietTarget target;
    client.setTarget(&target);
    client.setOutputFolder(out);
    MemDebugClient::Timing t;
    t.search = t.silence = t.pass = std::chrono::hours(1);  // the run ends when the bytes do
    client.setTiming(t);
    client.runWith(std::make_unique<FuzzPort>(stream, piece, client));
    const auto& s = client.summary();
    if (s.bytesRead > s.bytesAnnounced) std::abort();
    for (const auto& f : s.files) {
        checkName(f.name);
        if (fs::path(f.path).parent_path() != out) std::abort();
    }
    // Nothing but the region files, and nothing beside the output folder.
    for (const auto& e : fs::directory_iterator(out.parent_path(), ec))
        if (e.path() != out) std::abort();
    return 0;
}
