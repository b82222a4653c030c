// The settings file: where it is, reading values with the 500-byte and 32-bit rules, loading
// the catalogue it names, and the values SaveSettings writes (only into an existing file).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "FileSizeLimit.h"
#include "app/Settings.h"

namespace kvx::app {
namespace {

namespace fs = std::filesystem;

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "kvxsettings-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string write(const std::string& name, const std::string& content) {
        const fs::path p = dir / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }
    static std::string readAll(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    fs::path dir;
};

// Sets an environment variable for one scope.
class EnvVar {
  public:
    EnvVar(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old, had_ = true;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~EnvVar() {
        if (had_)
            ::setenv(name_, old_.c_str(), 1);
        else
            ::unsetenv(name_);
    }

  private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

TEST_F(SettingsTest, Location) {
    EnvVar home("HOME", "/home/u");
    {
        EnvVar a("KVXLOGPLUS_SETTINGS", "/etc/k.ini");
        EnvVar b("XDG_CONFIG_HOME", "/cfg");
        EXPECT_EQ(settingsPath(), "/etc/k.ini");
    }
    EnvVar a("KVXLOGPLUS_SETTINGS", nullptr);
    {
        EnvVar b("XDG_CONFIG_HOME", "/cfg");
        EXPECT_EQ(settingsPath(), "/cfg/kvxlogplus/kvxlogplus.ini");
    }
    EnvVar b("XDG_CONFIG_HOME", "relative");  // not absolute: ignored
    EXPECT_EQ(settingsPath(), "/home/u/.config/kvxlogplus/kvxlogplus.ini");
}

TEST_F(SettingsTest, ReadingValues) {
    EXPECT_FALSE(SettingsFile::open((dir / "none.ini").string()));
    EXPECT_FALSE(SettingsFile::open(dir.string()));
    const std::string fits(499, 'a'), tooLong(500, 'b');
    const std::string path =
        write("k.ini",
              "Filter=outside the section\r\n"
              "[KvxLogPlus]\r\n"
              "; comment=1\r\n"
              "  filter = /data/f.sqf  \r\n"
              "Filter=second one\n"
              "Device=1\nPort=0x10\nA=-5\nB=4294967295\nC=4294967296\nD=12x\nE=\n"
              "Fits=" +
                  fits + "\nLong=" + tooLong +
                  "\n"
                  "[Other]\nLogPath=/elsewhere\n");
    auto f = SettingsFile::open(path);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->readString("Filter"), "/data/f.sqf");
    EXPECT_FALSE(f->readString("LogPath"));
    EXPECT_FALSE(f->readString("comment"));
    EXPECT_EQ(f->readNumber("Device"), 1);
    EXPECT_EQ(f->readNumber("Port"), 16);
    EXPECT_EQ(f->readNumber("A"), -5);
    EXPECT_EQ(f->readNumber("B"), -1);
    EXPECT_FALSE(f->readNumber("C"));
    EXPECT_FALSE(f->readNumber("D"));
    EXPECT_FALSE(f->readNumber("E"));
    EXPECT_EQ(f->readString("E"), "");
    EXPECT_EQ(f->readString("Fits"), fits);
    EXPECT_FALSE(f->readString("Long"));
    EXPECT_EQ(f->folder(), dir.string());
}

TEST_F(SettingsTest, PortEditText) {
    LoadedSettings s;
    EXPECT_FALSE(portEditText(s));
    s.port = 0;
    EXPECT_EQ(portEditText(s), "0");
    s.portPath = "";
    EXPECT_EQ(portEditText(s), "0");
    s.portPath = "/dev/ttyACM0";
    EXPECT_EQ(portEditText(s), "/dev/ttyACM0");
}

TEST_F(SettingsTest, CatalogueLoadOrderRelativePathsAndPruning) {
    write("cat/msgcat.txt", "1^\"Call manager\"^x^0\n2^\"Empty group\"^x^0\n");
    write("cat/msgs.txt", "5^2^\"CM high level\"^{1}\n");
    write("cat/logcat.txt", "10^\"LTE group\"^x^0\n");
    write("cat/logs.txt", "0xB0C0^\"LTE RRC OTA Packet\"^\"10\"^\n");
    const std::string longPath = "/" + std::string(510, 'x');
    const std::string ini =
        write("conf/k.ini",
              "[KvxLogPlus]\nMSGCAT=../cat/msgcat.txt\nMSGS=" + (dir / "cat/msgs.txt").string() +
                  "\nLOGCAT=../cat/logcat.txt\nLOGS=../cat/logs.txt\n"
                  "EVENTCAT=" +
                  longPath + "\nNVITEMS=../cat/none.txt\n");
    auto f = SettingsFile::open(ini);
    ASSERT_TRUE(f);
    const LoadedSettings s = readSettings(*f);
    EXPECT_FALSE(s.catalogue[4]);  // EVENTCAT too long: missing
    filters::FilterSet set;
    loadCatalogue(s, set, {});
    EXPECT_EQ(set.messageTable().entryCount(), 1);
    EXPECT_EQ(set.logTable().entryCount(), 1);
    // "Empty group" had no items and is gone; the others hold their items.
    const filters::TreeModel& tree = set.messageTree();
    const auto top = tree.firstChild(filters::kNoNode);
    EXPECT_EQ(tree.text(top), "Call manager");
    EXPECT_EQ(tree.nextSibling(top), filters::kNoNode);
    EXPECT_EQ(tree.text(tree.firstChild(top)), "[00005/02] - CM high level");
    const filters::TreeModel& logs = set.logTree();
    EXPECT_EQ(logs.text(logs.firstChild(logs.firstChild(filters::kNoNode))),
              "[0xB0C0] - LTE RRC OTA Packet");

    std::set<std::string_view> names;
    for (const auto& src : catalogueSources()) names.insert(src.value);
    EXPECT_EQ(names.size(), 16u);
    EXPECT_EQ(catalogueSources().front().value, "KVXMSGCAT");
    EXPECT_EQ(catalogueSources().back().value, "KVXNVITEMS");
}

TEST_F(SettingsTest, LogPathRule) {
    const std::set<std::string> existing = {"/d/logs", "/d/logs/", "/"};
    auto exists = [&](const std::string& p) { return existing.count(p) > 0; };
    struct Case {
        std::string text;
        std::optional<std::string> saved;
    } cases[] = {
        {"/d/logs/", "/d/logs/"},
        {"/d/logs", "/d/logs/"},
        {"/d/logs/run", "/d/logs/"},
        {"/d/logs/run/", "/d/logs/"},
        {"/d/missing/run", std::nullopt},
        {"run", std::nullopt},
        {"", std::nullopt},
        {"/run", "/"},
    };
    for (const auto& c : cases) EXPECT_EQ(logPathToSave(c.text, exists), c.saved) << c.text;
}

// The whole cycle on real folders: the edits at Exit, the save, and what the next start
// loads into the edits. "LogPath" follows the folder rule; a path whose folder is missing
// keeps the stored value.
TEST_F(SettingsTest, SavedValuesReachTheNextStart) {
    const std::string logs = (dir / "logs").string();
    fs::create_directories(logs);
    struct Case {
        std::string logEdit, portEdit;
        std::string logShown, portShown;  // edits 1006 and 1050 after the next start
        int32_t port;
    } cases[] = {
        {logs + "/", "12", logs + "/", "12", 12},
        {logs, "", logs + "/", "0", 0},
        {logs + "/run", "7x", logs + "/", "7", 7},
        {logs + "/run/", "abc", logs + "/", "0", 0},
        {(dir / "missing" / "run").string(), "/dev/ttyACM0", "/old/", "/dev/ttyACM0", 0},
        {"no-such-run", "3", "/old/", "3", 3},
        {"", "3", "/old/", "3", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logEdit + " | " + c.portEdit);
        const std::string path =
            write("k.ini", "[KvxLogPlus]\nLogPath=/old/\nLOGS=/cat/logs.txt\n");
        ASSERT_TRUE(saveSettings(path, settingsToSave({"/f.sqf", c.logEdit, 0, c.portEdit})));
        const auto file = SettingsFile::open(path);
        ASSERT_TRUE(file);
        const LoadedSettings next = readSettings(*file);
        EXPECT_EQ(next.logPath, c.logShown);
        EXPECT_EQ(next.port, c.port);
        EXPECT_EQ(portEditText(next), c.portShown);
        EXPECT_EQ(next.filter, "/f.sqf");
        EXPECT_EQ(next.device, 0);
        EXPECT_EQ(next.catalogue[9], "/cat/logs.txt");
    }
    // The folder of the root: "/run" is saved as "/".
    EXPECT_EQ(logPathToSave("/kvx-no-such-entry-" + std::to_string(::getpid())), "/");
}

TEST_F(SettingsTest, SaveOnlyIntoAnExistingFile) {
    const std::string missing = (dir / "missing.ini").string();
    EXPECT_FALSE(saveSettings(missing, {"f", "/x/", 1, 2, ""}));
    EXPECT_FALSE(fs::exists(missing));

    const std::string path =
        write("k.ini", "# mine\n[KvxLogPlus]\nLOGS=/cat/logs.txt\nlogpath=/old/\n\n[Other]\nX=1\n");
    ASSERT_TRUE(saveSettings(path, {"/f.sqf", std::nullopt, 1, 0, "/dev/ttyACM0"}));
    EXPECT_EQ(
        readAll(path),
        "# mine\n[KvxLogPlus]\nLOGS=/cat/logs.txt\nlogpath=/old/\nFilter=/f.sqf\nDevice=1\nPort=0\n"
        "PortPath=/dev/ttyACM0\n\n[Other]\nX=1\n");
    ASSERT_TRUE(saveSettings(path, {"/g.sqf", "/new/", 0, 12, ""}));
    auto f = SettingsFile::open(path);
    ASSERT_TRUE(f);
    const LoadedSettings s = readSettings(*f);
    EXPECT_EQ(s.filter, "/g.sqf");
    EXPECT_EQ(s.logPath, "/new/");
    EXPECT_EQ(s.device, 0);
    EXPECT_EQ(s.port, 12);
    EXPECT_EQ(portEditText(s), "12");
    EXPECT_EQ(s.catalogue[9], "/cat/logs.txt");
    EXPECT_FALSE(s.keepAll);
    for (const auto& [text, want] : std::vector<std::pair<std::string, std::optional<int32_t>>>{
             {"KeepAll=1", 1}, {"KeepAll=0", 0}, {"KeepAll=yes", std::nullopt}}) {
        auto keep = SettingsFile::open(write("keep.ini", "[KvxLogPlus]\n" + text + "\n"));
        ASSERT_TRUE(keep);
        EXPECT_EQ(readSettings(*keep).keepAll, want) << text;
    }

    const std::string bare = write("bare.ini", "");
    ASSERT_TRUE(saveSettings(bare, {"f", std::nullopt, 0, 3, ""}));
    EXPECT_EQ(readAll(bare), "[KvxLogPlus]\nFilter=f\nDevice=0\nPort=3\nPortPath=\n");
}

TEST_F(SettingsTest, SaveReplacesTheFileWhole) {
    std::string content = "[KvxLogPlus]\n";
    for (const auto& src : catalogueSources())
        content +=
            std::string(src.value) + "=/opt/kvx/catalogue/" + std::string(src.value) + ".txt\n";
    const std::string path = write("k.ini", content);
    ::chmod(path.c_str(), 0640);
    const SettingsToSave values{"/f.sqf", "/logs/", 1, 7, ""};
    auto leftovers = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().filename() != "k.ini") names.push_back(e.path().filename().string());
        return names;
    };

    // A write that fails halfway: the old file, catalogue paths and all, is still there.
    {
        test::FileSizeLimit limit(content.size() / 2);
        EXPECT_FALSE(saveSettings(path, values));
    }
    EXPECT_EQ(readAll(path), content);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});

    ASSERT_TRUE(saveSettings(path, values));
    EXPECT_EQ(readAll(path),
              content + "Filter=/f.sqf\nLogPath=/logs/\nDevice=1\nPort=7\nPortPath=\n");
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});

    // Through a link: the linked file is replaced, the link stays a link.
    const std::string link = (dir / "sub" / "link.ini").string();
    fs::create_directories(dir / "sub");
    fs::create_symlink(path, link);
    ASSERT_TRUE(saveSettings(link, {"/g.sqf", std::nullopt, 0, 3, ""}));
    EXPECT_TRUE(fs::is_symlink(link));
    auto f = SettingsFile::open(path);
    ASSERT_TRUE(f);
    EXPECT_EQ(readSettings(*f).filter, "/g.sqf");
    EXPECT_EQ(readSettings(*f).catalogue[0], "/opt/kvx/catalogue/KVXMSGCAT.txt");
}

}  // namespace
}  // namespace kvx::app

namespace kvx::app {
namespace {

// The sample settings file and catalogue of the repository load cleanly: every item finds
// its category, the nesting survives re-parenting, and nothing is shown to the user.
TEST(SampleCatalogue, LoadsWithoutStrayItems) {
    auto file = SettingsFile::open(std::string(KVX_SOURCE_DIR) + "/data/kvxlogplus.ini");
    ASSERT_TRUE(file);
    const LoadedSettings s = readSettings(*file);
    for (const auto& value : s.catalogue) ASSERT_TRUE(value);
    filters::FilterSet set;
    std::vector<std::string> messages;
    loadCatalogue(s, set, {[&](const std::string& m) { messages.push_back(m); }, {}, {}});
    EXPECT_TRUE(messages.empty());
    for (filters::FilterTable* t :
         {&set.logTable(), &set.eventTable(), &set.messageTable(), &set.nvTable()}) {
        EXPECT_GT(t->entryCount(), 0);
        const filters::TreeModel& tree = *t->tree();
        for (auto n = tree.firstChild(filters::kNoNode); n != filters::kNoNode;
             n = tree.nextSibling(n)) {
            EXPECT_EQ(t->findEntryByNode(n), nullptr) << "item at the top level: " << tree.text(n);
            EXPECT_GE(t->findCategoryByNode(n), 0) << tree.text(n);
        }
        for (const auto& slot : t->categories()) EXPECT_NE(slot.node, filters::kNoNode);
    }
    EXPECT_GE(set.logTable().entryCount(), 150);
    // 87 is listed twice (diagnostics and the maker's own items); the LTE measurement
    // categories, filed before their parents, end up three deep.
    int nv87 = 0;
    for (const auto& slot : set.nvTable().entries()) nv87 += slot.entry.id == 87;
    EXPECT_EQ(nv87, 2);
    const filters::TreeModel& logs = set.logTree();
    bool found = false;
    for (const auto& slot : set.logTable().entries()) {
        if (slot.entry.id != 0xB193) continue;
        const auto meas = logs.parent(slot.node), phy = logs.parent(meas), lte = logs.parent(phy);
        EXPECT_EQ(logs.text(meas), "LTE ML1 Measurements");
        EXPECT_EQ(logs.text(phy), "LTE Physical Layer");
        EXPECT_EQ(logs.text(lte), "LTE");
        found = true;
    }
    EXPECT_TRUE(found);
}

}  // namespace
}  // namespace kvx::app

namespace kvx::app {
namespace {

TEST(RetentionSettings, RingMaxTotalAndMinFreeAsTheCommandLineWritesThem) {
    const struct {
        std::optional<int32_t> ring;
        std::optional<std::string> maxTotal, minFree;
        int wantRing;
        uint64_t wantTotal;
        std::optional<uint64_t> wantFree;
        std::vector<std::string> problems;
    } cases[] = {
        {std::nullopt, std::nullopt, std::nullopt, 0, 0, std::nullopt, {}},
        {3, "20G", "500M", 3, 20'000'000'000, 500'000'000, {}},
        {0, "", "", 0, 0, std::nullopt, {}},  // empty: the defaults
        {5, "1.5g", "0", 5, 1'500'000'000, 0, {}},
        {-2, "lots", "1X", 0, 0, std::nullopt, {"Ring=-2", "MaxTotal=lots", "MinFree=1X"}},
    };
    for (const auto& c : cases) {
        LoadedSettings s;
        s.ring = c.ring;
        s.maxTotal = c.maxTotal;
        s.minFree = c.minFree;
        std::vector<std::string> problems;
        const capture::RetentionPolicy p = retentionPolicy(s, &problems);
        EXPECT_EQ(p.ring, c.wantRing);
        EXPECT_EQ(p.maxTotal, c.wantTotal);
        EXPECT_EQ(p.minFree, c.wantFree);
        EXPECT_EQ(problems, c.problems);
    }
}

}  // namespace
}  // namespace kvx::app
