// The first-run step: a new settings file names the catalogue of the data folder by absolute
// paths and loads it; an existing file (or anything at that path) is never touched; a missing
// catalogue or an unwritable place leaves nothing behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>

#include "app/Settings.h"
#include "app/SettingsSetup.h"
#include "app/TempDir.h"

namespace kvx::app {
namespace {

namespace fs = std::filesystem;

const fs::path kData = fs::path(KVX_SOURCE_DIR) / "data";

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(SettingsSetup, NewFileNamesTheInstalledCatalogueAndLoadsIt) {
    testing::TempDir dir;
    const std::string path = (dir.path() / "conf" / "kvxlogplus" / "kvxlogplus.ini").string();
    const SetupOutcome made = createSettings(path, kData.string());
    ASSERT_EQ(made.result, SetupResult::Created) << describe(made, path);
    EXPECT_EQ(describe(made, path), "Created the settings file " + path);

    auto file = SettingsFile::open(path);
    ASSERT_TRUE(file);
    const LoadedSettings loaded = readSettings(*file);
    const auto sample = readSettings(*SettingsFile::open((kData / "kvxlogplus.ini").string()));
    for (size_t i = 0; i < loaded.catalogue.size(); ++i) {
        ASSERT_TRUE(loaded.catalogue[i]) << catalogueSources()[i].value;
        const fs::path value = *loaded.catalogue[i];
        EXPECT_TRUE(value.is_absolute()) << value;
        EXPECT_TRUE(fs::equivalent(
            value, fs::path(resolveCataloguePath(sample.folder, *sample.catalogue[i]))))
            << value;
    }
    EXPECT_EQ(loaded.device, sample.device);
    EXPECT_EQ(loaded.port, sample.port);

    // The window's start-up finds items in every table.
    filters::FilterSet set;
    std::vector<std::string> boxes;
    filters::FilterReporter reporter;
    reporter.messageBox = [&](const std::string& m) { boxes.push_back(m); };
    loadCatalogue(loaded, set, reporter);
    EXPECT_TRUE(boxes.empty()) << ::testing::PrintToString(boxes);
    EXPECT_TRUE(set.logTable().listsItem(0x5065, 0));
}

TEST(SettingsSetup, WhateverIsAtThePathStaysAsItIs) {
    testing::TempDir dir;
    struct Case {
        const char* what;
        std::error_code (*make)(const fs::path&);
    };
    const Case cases[] = {
        {"a settings file of the user",
         [](const fs::path& p) {
             std::ofstream(p) << "[KvxLogPlus]\nLogPath=/data/\n";
             return std::error_code{};
         }},
        {"an empty file",
         [](const fs::path& p) {
             std::ofstream{p};
             return std::error_code{};
         }},
        {"a link to nowhere",
         [](const fs::path& p) {
             std::error_code ec;
             fs::create_symlink(p.string() + ".gone", p, ec);
             return ec;
         }},
    };
    int n = 0;
    for (const Case& c : cases) {
        const fs::path p = dir.path() / ("s" + std::to_string(n++) + ".ini");
        if (const std::error_code ec = c.make(p)) {
            // Windows makes links only with a privilege (Wine not at all): the case cannot be
            // set up there. Any other failure is one.
            const bool noLinks = ec == std::errc::function_not_supported ||
                                 ec == std::errc::operation_not_permitted ||
                                 ec == std::errc::not_supported;
            EXPECT_TRUE(noLinks) << c.what << ": " << ec.message();
            if (noLinks) std::cout << "[ SKIPPED  ] " << c.what << ": " << ec.message() << "\n";
            continue;
        }
        const std::string before = fs::is_symlink(p) ? fs::read_symlink(p).string() : slurp(p);
        const SetupOutcome out = createSettings(p.string(), kData.string());
        EXPECT_EQ(out.result, SetupResult::Exists) << c.what;
        EXPECT_NE(describe(out, p.string()).find("exists; left unchanged"), std::string::npos);
        EXPECT_EQ(fs::is_symlink(p) ? fs::read_symlink(p).string() : slurp(p), before) << c.what;
        EXPECT_FALSE(fs::exists(p.string() + ".gone")) << c.what;
    }
}

TEST(SettingsSetup, NothingIsLeftBehindWhenItCannotBeDone) {
    testing::TempDir dir;
    // A data folder whose sample names a catalogue file that is not there.
    const fs::path partial = dir.path() / "partial";
    fs::create_directories(partial / "catalogue");
    fs::copy_file(kData / "kvxlogplus.ini", partial / "kvxlogplus.ini");
    for (const auto& e : fs::directory_iterator(kData / "catalogue"))
        if (e.path().filename() != "nv_items.txt")
            fs::copy_file(e.path(), partial / "catalogue" / e.path().filename());
    std::ofstream(dir.path() / "blocker") << "a file where a folder should be";

    struct Case {
        const char* what;
        fs::path settings;
        fs::path data;
        SetupResult result;
        const char* named;  // in the message
    };
    const Case cases[] = {
        {"no sample settings", dir.path() / "a.ini", dir.path() / "nowhere",
         SetupResult::NoCatalogue, "kvxlogplus.ini"},
        {"a catalogue file missing", dir.path() / "b.ini", partial, SetupResult::NoCatalogue,
         "nv_items.txt"},
        {"folder is a file", dir.path() / "blocker" / "c.ini", kData, SetupResult::CannotWrite,
         "blocker"},
        {"no path at all", "", kData, SetupResult::CannotWrite, "--settings"},
    };
    for (const Case& c : cases) {
        const SetupOutcome out = createSettings(c.settings.string(), c.data.string());
        EXPECT_EQ(out.result, c.result) << c.what;
        EXPECT_NE(describe(out, c.settings.string()).find(c.named), std::string::npos)
            << c.what << ": " << describe(out, c.settings.string());
        if (!c.settings.empty()) {
            EXPECT_FALSE(fs::exists(c.settings)) << c.what;
        }
    }
}

TEST(SettingsSetup, MissingSettingsSayHowToCreateThem) {
    EXPECT_EQ(
        missingSettingsText("/home/u/.config/kvxlogplus/kvxlogplus.ini"),
        "No settings file /home/u/.config/kvxlogplus/kvxlogplus.ini: kvxlog setup creates it");
    EXPECT_NE(missingSettingsText("").find("kvxlog setup --settings"), std::string::npos);
}

}  // namespace
}  // namespace kvx::app
