// A rig of simulated modems, each logged by its own `kvxlog capture` process at the same time:
// by default eight modems at about 1 MB/s each for 60 s with --size 1 --ring 3. Per capture it
// reports the processor time (user and system, from wait4), the share of a core per MB/s, the
// peak memory (maximum resident set), the files kept and removed, and the packets lost inside
// the kept files; then the medians. A capture passes when it ended normally, kept exactly its
// newest --ring files, each whole with its closing note, with the counter packets' sequence
// unbroken within and across them, and wrote one error-log row per removed file.
//
// --small-disk adds the second run: one capture onto a 64 MB tmpfs (mounted here; root only,
// skipped with a message otherwise) with --max-total 1G, so only --min-free can end it; it
// must end with status 10 and its closing note, before the disk is full.
//
// Usage: bench_rig [--modems N] [--seconds S] [--rate PACKETS_PER_S] [--ring N] [--size MB]
//                  [--small-disk] [--keep]
// Exit status 1 when a check fails.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dm/KvxLog.h"
#include "dm/LogReader.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Options {
    int modems = 8;
    int seconds = 60;
    int rate = 2600;  // counter packets a second: some 1 MB/s
    int ring = 3;
    int size = 1;
    bool smallDisk = false;
    bool keep = false;
};

pid_t spawn(const std::vector<std::string>& args, const fs::path& dir, const fs::path& out,
            const fs::path& err) {
    std::vector<std::string> all = args;
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

std::string readText(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// The first line of a file once it has one.
std::string firstLine(const fs::path& p, std::chrono::seconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < until) {
        const auto all = lines(readText(p));
        if (!all.empty() && !all[0].empty()) return all[0];
        std::this_thread::sleep_for(20ms);
    }
    return {};
}

struct Ended {
    int status = -1;
    double user = 0, system = 0;  // seconds
    double peakMb = 0;
};

Ended reap(pid_t pid) {
    Ended e;
    int status = 0;
    rusage use{};
    if (wait4(pid, &status, 0, &use) != pid) return e;
    e.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    e.user = static_cast<double>(use.ru_utime.tv_sec) + use.ru_utime.tv_usec / 1e6;
    e.system = static_cast<double>(use.ru_stime.tv_sec) + use.ru_stime.tv_usec / 1e6;
    e.peakMb = static_cast<double>(use.ru_maxrss) / 1024.0;  // kB -> MiB
    return e;
}

struct FileCheck {
    bool whole = false;
    std::string lastNote;
    std::vector<uint32_t> sequence;  // of the counter packets (log code 0x1234)
};

FileCheck checkFile(const fs::path& p) {
    FileCheck c;
    const auto log = kvx::dm::readLogFile(p.string());
    c.whole = log.status == kvx::dm::LogReadStatus::Ok;
    for (const auto& r : log.records) {
        const auto body = log.body(r);
        if (r.code == kvx::dm::kCodeNote) {
            c.lastNote.assign(body.begin(), body.end());
        } else if (r.code == 0x1234 && body.size() >= 4) {
            c.sequence.push_back(body[0] | (body[1] << 8) | (body[2] << 16) |
                                 (static_cast<uint32_t>(body[3]) << 24));
            c.lastNote.clear();
        } else {
            c.lastNote.clear();
        }
    }
    return c;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The bytes the capture read, from its summary ("...; N bytes read, ...").
double bytesRead(const std::string& err) {
    const size_t at = err.find(" bytes read, ");
    if (at == std::string::npos) return 0;
    size_t from = err.rfind(' ', at - 1);
    return std::atof(err.substr(from + 1, at - from - 1).c_str());
}

struct Modem {
    pid_t pid = -1;
    std::string port;
};

Modem startModem(const fs::path& dir, int rate) {
    Modem m;
    m.pid = spawn({KVX_MODEMSIM, "--rate", std::to_string(rate)}, dir, dir / "modem.out",
                  dir / "modem.err");
    if (m.pid > 0) m.port = firstLine(dir / "modem.out", 10s);
    return m;
}

void stopModem(const Modem& m) {
    if (m.pid <= 0) return;
    kill(m.pid, SIGTERM);
    waitpid(m.pid, nullptr, 0);
}

bool rig(const Options& o, const fs::path& root) {
    std::printf("rig: %d simulated modems, %d captures at once for %d s, --rate %d, --size %d "
                "--ring %d\n",
                o.modems, o.modems, o.seconds, o.rate, o.size, o.ring);
    std::vector<Modem> modems;
    std::vector<fs::path> dirs;
    for (int i = 0; i < o.modems; ++i) {
        dirs.push_back(root / ("modem" + std::to_string(i)));
        fs::create_directories(dirs.back());
        modems.push_back(startModem(dirs.back(), o.rate));
        if (modems.back().port.empty()) {
            std::printf("rig: simulated modem %d did not start\n", i);
            for (const auto& m : modems) stopModem(m);
            return false;
        }
    }
    std::vector<pid_t> captures;
    for (int i = 0; i < o.modems; ++i) {
        captures.push_back(spawn({KVX_KVXLOG, "capture", "--port", modems[i].port, "--log",
                                  "0x1234", "--size", std::to_string(o.size), "--ring",
                                  std::to_string(o.ring), "--duration", std::to_string(o.seconds),
                                  "-o", (dirs[i] / "cap-").string()},
                                 dirs[i], dirs[i] / "names.txt", dirs[i] / "capture.err"));
    }
    std::vector<Ended> ended;
    for (pid_t pid : captures) ended.push_back(reap(pid));
    for (const auto& m : modems) stopModem(m);

    bool ok = true;
    std::vector<double> cpuPerMb, peak, cpuShare, rates;
    std::printf("%-8s %6s %7s %7s %8s %9s %8s %5s %7s %5s %6s %s\n", "capture", "status", "user",
                "system", "MB/s", "%core", "%core/", "kept", "removed", "rows", "lost", "");
    std::printf("%-8s %6s %7s %7s %8s %9s %8s\n", "", "", "s", "s", "", "", "MB/s");
    for (int i = 0; i < o.modems; ++i) {
        const auto& e = ended[i];
        const std::string err = readText(dirs[i] / "capture.err");
        const double mbs = bytesRead(err) / 1e6 / o.seconds;
        const double share = 100.0 * (e.user + e.system) / o.seconds;
        std::vector<fs::path> kept;
        for (const auto& f : fs::directory_iterator(dirs[i]))
            if (f.path().extension() == ".kvx") kept.push_back(f.path());
        std::sort(kept.begin(), kept.end());
        const auto opened = lines(readText(dirs[i] / "names.txt"));
        const size_t removed = opened.size() > kept.size() ? opened.size() - kept.size() : 0;
        size_t rows = 0;
        for (const auto& line : lines(readText(dirs[i] / "kvxlogplus.errorlog")))
            if (line.find("-- Error 11 occured") != std::string::npos) ++rows;
        size_t lost = 0;
        bool whole = true;
        uint32_t next = 0;
        for (size_t k = 0; k < kept.size(); ++k) {
            const FileCheck c = checkFile(kept[k]);
            const bool noted = k + 1 < kept.size()
                                   ? c.lastNote.rfind("Log capacity reached: ", 0) == 0
                                   : c.lastNote == "Log manually stopped from UI";
            whole = whole && c.whole && noted;
            for (size_t j = 0; j < c.sequence.size(); ++j) {
                const bool first = k == 0 && j == 0;
                if (!first && c.sequence[j] != next)
                    lost += c.sequence[j] > next ? c.sequence[j] - next : 1;
                next = c.sequence[j] + 1;
            }
        }
        const bool pass = e.status == 0 && kept.size() == static_cast<size_t>(o.ring) &&
                          whole && lost == 0 && rows == removed && removed > 0;
        ok = ok && pass;
        std::printf("%-8d %6d %7.2f %7.2f %8.2f %9.2f %8.2f %5zu %7zu %5zu %6zu %s\n", i, e.status,
                    e.user, e.system, mbs, share, mbs > 0 ? share / mbs : 0.0, kept.size(),
                    removed, rows, lost, pass ? "ok" : "FAIL");
        std::printf("%8s peak memory %.1f MiB\n", "", e.peakMb);
        cpuPerMb.push_back(mbs > 0 ? share / mbs : 0);
        peak.push_back(e.peakMb);
        cpuShare.push_back(share);
        rates.push_back(mbs);
    }
    std::printf("rig medians: %.2f MB/s, %.2f%% of a core, %.2f%% of a core per MB/s, peak memory "
                "%.1f MiB; %s\n",
                median(rates), median(cpuShare), median(cpuPerMb), median(peak),
                ok ? "every capture passed" : "A CAPTURE FAILED");
    return ok;
}

bool smallDisk(const fs::path& root) {
    const fs::path disk = root / "disk";
    fs::create_directories(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64m") != 0) {
        std::printf("small disk: skipped, cannot mount a tmpfs here (%s)\n", std::strerror(errno));
        return true;
    }
    const fs::path dir = root / "small";
    fs::create_directories(dir);
    const Modem m = startModem(dir, 20000);
    const auto began = std::chrono::steady_clock::now();
    const pid_t pid = spawn({KVX_KVXLOG, "capture", "--port", m.port, "--log", "0x1234",
                             "--max-total", "1G", "--duration", "300", "-o",
                             (disk / "cap-").string()},
                            dir, dir / "names.txt", dir / "capture.err");
    const Ended e = reap(pid);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    stopModem(m);
    struct statvfs fsinfo {};
    ::statvfs(disk.c_str(), &fsinfo);
    const double freeKb = static_cast<double>(fsinfo.f_bavail) * fsinfo.f_frsize / 1000.0;
    std::vector<fs::path> files;
    for (const auto& f : fs::directory_iterator(disk))
        if (f.path().extension() == ".kvx") files.push_back(f.path());
    std::sort(files.begin(), files.end());
    const FileCheck last = files.empty() ? FileCheck{} : checkFile(files.back());
    const std::string err = readText(dir / "capture.err");
    const size_t said = err.find("Free space on ");
    const std::string message = said == std::string::npos ? "" : lines(err.substr(said))[0];
    ::umount2(disk.c_str(), MNT_DETACH);
    const bool ok = e.status == 10 && last.whole &&
                    last.lastNote.rfind("Log stopped: free space low", 0) == 0 && !message.empty() &&
                    err.find("Could not write") == std::string::npos;
    std::printf("small disk: 64 MB tmpfs, --max-total 1G: exit status %d after %.1f s, %zu files, "
                "%.0f kB left free; last note \"%s\"\n  message: %s\n  %s\n",
                e.status, took, files.size(), freeKb, last.lastNote.c_str(), message.c_str(),
                ok ? "ended cleanly" : "FAILED");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](int& out) {
            if (i + 1 >= argc) return false;
            out = std::atoi(argv[++i]);
            return out > 0;
        };
        bool good = true;
        if (a == "--modems") good = number(o.modems);
        else if (a == "--seconds") good = number(o.seconds);
        else if (a == "--rate") good = number(o.rate);
        else if (a == "--ring") good = number(o.ring);
        else if (a == "--size") good = number(o.size);
        else if (a == "--small-disk") o.smallDisk = true;
        else if (a == "--keep") o.keep = true;
        else good = false;
        if (!good) {
            std::fprintf(stderr,
                         "usage: bench_rig [--modems N] [--seconds S] [--rate PACKETS_PER_S] "
                         "[--ring N] [--size MB] [--small-disk] [--keep]\n");
            return 64;
        }
    }
    std::string pattern = (fs::temp_directory_path() / "kvxrig-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return 1;
    const fs::path root = pattern;
    // The captures read no settings file of the user's.
    setenv("KVXLOGPLUS_SETTINGS", (root / "none.ini").c_str(), 1);
    bool ok = rig(o, root);
    if (o.smallDisk) ok = smallDisk(root) && ok;
    if (o.keep) {
        std::printf("kept: %s\n", root.c_str());
    } else {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    return ok ? 0 : 1;
}
