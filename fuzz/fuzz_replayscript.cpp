// Arbitrary file content as a request script: replayscript must accept or refuse it without
// reading or writing outside its frame buffer, and every frame it sends ends with 0x7E.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "dm/KvxLog.h"
#include "serial/Port.h"

namespace {

class SinkPort final : public kvx::serial::Port {
  public:
    size_t read(std::span<uint8_t>) override { return 0; }
    bool write(std::span<const uint8_t> bytes) override {
        if (bytes.empty() || bytes.size() > 4096 || bytes.back() != 0x7E) std::abort();
        return true;
    }
    void wake() override {}
    bool dead() const override { return false; }
    const std::string& path() const override { return path_; }

  private:
    std::string path_ = "sink";
};

const std::string& scriptPath() {
    static const std::string path = (std::filesystem::temp_directory_path() /
                                     ("kvx-fuzz-script-" + std::to_string(::getpid()) + ".sqf"))
                                        .string();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(scriptPath().c_str(), "wb");
    if (f == nullptr) return 0;
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);

    kvx::dm::KvxLog engine;
    engine.setportopener(
        [](const std::string&, kvx::serial::OpenStatus*) { return std::make_unique<SinkPort>(); });
    // No modem answers: connect fails but leaves the port open for the replay.
    engine.connect(0, "COM1");
    const int result = engine.replayscript(scriptPath());
    if (result != 0 && result != 2) std::abort();
    engine.close();
    std::remove(scriptPath().c_str());
    return 0;
}
