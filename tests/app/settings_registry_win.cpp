// The settings in the registry: every value round trip with its registry type, the 500-byte
// limit, a missing key, the user's key beside the machine's (its values win, saves follow it),
// a machine key the user may not write, and `kvxlog setup` creating the key. Each test works
// in two scratch keys of its own under HKEY_CURRENT_USER standing for the machine's and the
// user's hive.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it builds on.
#include <sddl.h>

#include <string>

#include "app/RegistrySettings.h"
#include "app/Settings.h"
#include "app/SettingsSetup.h"

namespace kvx::app {
namespace {

constexpr const char* kPath = "KvxLogPlus";

bool underWine() {
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The machine hive as a user without administrative rights meets it: every open or creation
// for writing under it is refused with ERROR_ACCESS_DENIED, as Windows refuses it.
HKEY lockedRoot = nullptr;
LONG WINAPI openDenied(HKEY root, LPCSTR path, DWORD options, REGSAM access, PHKEY key) {
    if (root == lockedRoot && (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0)
        return ERROR_ACCESS_DENIED;
    return ::RegOpenKeyExA(root, path, options, access, key);
}
LONG WINAPI createDenied(HKEY root, LPCSTR path, DWORD reserved, LPSTR cls, DWORD options,
                         REGSAM access, LPSECURITY_ATTRIBUTES sa, PHKEY key,
                         LPDWORD disposition) {
    if (root == lockedRoot) return ERROR_ACCESS_DENIED;
    return ::RegCreateKeyExA(root, path, reserved, cls, options, access, sa, key, disposition);
}

class RegistrySettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        scratch = std::string("Software\\KvxLogPlusTests\\") + std::to_string(::GetCurrentProcessId()) +
                  "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ::RegDeleteTreeA(HKEY_CURRENT_USER, scratch.c_str());
        machineRoot = createKey(HKEY_CURRENT_USER, scratch + "\\machine");
        userRoot = createKey(HKEY_CURRENT_USER, scratch + "\\user");
        place.machineRoot = machineRoot;
        place.userRoot = userRoot;
        place.path = kPath;
        place.machineName = "MACHINE";
        place.userName = "USER";
    }
    void TearDown() override {
        ::RegCloseKey(machineRoot);
        ::RegCloseKey(userRoot);
        ::RegDeleteTreeA(HKEY_CURRENT_USER, scratch.c_str());
    }

    static HKEY createKey(HKEY root, const std::string& path, SECURITY_ATTRIBUTES* sa = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(::RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_ALL_ACCESS, sa, &key, nullptr),
                  ERROR_SUCCESS)
            << path;
        return key;
    }
    static void setString(HKEY root, const std::string& name, const std::string& bytes) {
        HKEY key = createKey(root, kPath);
        ::RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                         static_cast<DWORD>(bytes.size()));
        ::RegCloseKey(key);
    }
    static void setNumber(HKEY root, const std::string& name, DWORD value) {
        HKEY key = createKey(root, kPath);
        ::RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                         sizeof value);
        ::RegCloseKey(key);
    }
    static DWORD typeOf(HKEY root, const std::string& name) {
        DWORD type = REG_NONE;
        ::RegGetValueA(root, kPath, name.c_str(), RRF_RT_ANY, &type, nullptr, nullptr);
        return type;
    }
    static bool keyExists(HKEY root) {
        HKEY key = nullptr;
        if (::RegOpenKeyExA(root, kPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        ::RegCloseKey(key);
        return true;
    }

    std::string scratch;
    HKEY machineRoot = nullptr;
    HKEY userRoot = nullptr;
    RegistryPlace place;
};

TEST_F(RegistrySettingsTest, EveryValueRoundTripsWithItsRegistryType) {
    ::RegCloseKey(createKey(machineRoot, kPath));
    auto store = RegistrySettings::open(place);
    ASSERT_TRUE(store);
    const struct {
        const char* name;
        const char* text;  // null: a number
        int32_t number;
    } values[] = {
        {"Filter", "C:\\filters\\lte.sqf", 0},
        {"LogPath", "D:\\logs\\", 0},
        {"Device", nullptr, 1},
        {"Port", nullptr, -1},
        {"PortPath", "", 0},
        {"KeepAll", nullptr, 0x7FFFFFFF},
    };
    for (const auto& v : values) {
        if (v.text)
            store->writeString(v.name, v.text);
        else
            store->writeNumber(v.name, v.number);
    }
    const auto sources = catalogueSources();
    for (const auto& s : sources)
        store->writeString(s.value, "C:\\KvxLogPlus\\catalogue\\" + std::string(s.value) + ".txt");
    ASSERT_TRUE(store->save());
    EXPECT_EQ(store->savedTo(), "MACHINE\\KvxLogPlus\\");

    auto again = RegistrySettings::open(place);
    ASSERT_TRUE(again);
    for (const auto& v : values) {
        SCOPED_TRACE(v.name);
        if (v.text) {
            EXPECT_EQ(again->readString(v.name), v.text);
            EXPECT_EQ(typeOf(machineRoot, v.name), static_cast<DWORD>(REG_SZ));
        } else {
            EXPECT_EQ(again->readNumber(v.name), v.number);
            EXPECT_EQ(typeOf(machineRoot, v.name), static_cast<DWORD>(REG_DWORD));
        }
    }
    const LoadedSettings loaded = readSettings(*again);
    EXPECT_EQ(loaded.filter, "C:\\filters\\lte.sqf");
    EXPECT_EQ(loaded.device, 1);
    EXPECT_EQ(loaded.port, -1);
    EXPECT_EQ(loaded.keepAll, 0x7FFFFFFF);
    EXPECT_EQ(portEditText(loaded), "-1");
    for (size_t i = 0; i < sources.size(); ++i)
        EXPECT_EQ(loaded.catalogue[i],
                  "C:\\KvxLogPlus\\catalogue\\" + std::string(sources[i].value) + ".txt");
    EXPECT_EQ(loaded.folder, "");
    EXPECT_FALSE(keyExists(userRoot)) << "an administrator's save leaves the user's hive alone";
}

TEST_F(RegistrySettingsTest, StringsOfFiveHundredBytesAndWrongTypesCountAsMissing) {
    const std::string fits(499, 'a');
    const std::string tooLong(500, 'b');
    setString(machineRoot, "Fits", fits + '\0');
    setString(machineRoot, "TooLong", tooLong + '\0');
    setString(machineRoot, "Unterminated", tooLong);
    setString(machineRoot, "UnterminatedFits", fits);
    setString(machineRoot, "PortAsText", std::string("12") + '\0');
    setNumber(machineRoot, "FilterAsNumber", 7);
    auto store = RegistrySettings::open(place);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->readString("Fits"), fits);
    EXPECT_EQ(store->readString("UnterminatedFits"), fits);
    EXPECT_EQ(store->readString("TooLong"), std::nullopt);
    EXPECT_EQ(store->readString("Unterminated"), std::nullopt);
    EXPECT_EQ(store->readNumber("PortAsText"), std::nullopt);
    EXPECT_EQ(store->readString("FilterAsNumber"), std::nullopt);
    EXPECT_EQ(store->readString("Absent"), std::nullopt);
    EXPECT_EQ(store->readNumber("Absent"), std::nullopt);
}

TEST_F(RegistrySettingsTest, MissingKeyLoadsNothingAndCreatesNothing) {
    EXPECT_EQ(RegistrySettings::open(place), nullptr);
    EXPECT_FALSE(keyExists(machineRoot));
    EXPECT_FALSE(keyExists(userRoot));
    // The program's own key, by name: missing in a fresh prefix or on a machine without setup.
    const std::string missing = "HKEY_LOCAL_MACHINE\\SOFTWARE\\KvxLogPlusTests\\none\\";
    EXPECT_EQ(openSettings(missing), nullptr);
    EXPECT_FALSE(saveSettings(missing, {"f", std::nullopt, 0, 3, ""}));
    EXPECT_EQ(openSettings("HKEY_LOCAL_MACHINE\\"), nullptr);
}

TEST_F(RegistrySettingsTest, UserValuesWinAndLaterSavesGoToTheUsersKey) {
    setString(machineRoot, "Filter", std::string("A.sqf") + '\0');
    setNumber(machineRoot, "Port", 1);
    setString(machineRoot, "MSGS", std::string("C:\\cat\\MSGS.txt") + '\0');
    setString(userRoot, "Filter", std::string("B.sqf") + '\0');
    auto store = RegistrySettings::open(place);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->readString("Filter"), "B.sqf");
    EXPECT_EQ(store->readNumber("Port"), 1) << "values the user key lacks come from the machine";
    EXPECT_EQ(store->readString("MSGS"), "C:\\cat\\MSGS.txt");

    store->writeString("Filter", "C.sqf");
    store->writeNumber("Port", 9);
    ASSERT_TRUE(store->save());
    EXPECT_EQ(store->savedTo(), "USER\\KvxLogPlus\\");
    auto again = RegistrySettings::open(place);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->readString("Filter"), "C.sqf");
    EXPECT_EQ(again->readNumber("Port"), 9);
    HKEY machine = nullptr;
    ASSERT_EQ(::RegOpenKeyExA(machineRoot, kPath, 0, KEY_READ, &machine), ERROR_SUCCESS);
    char text[16] = {};
    DWORD size = sizeof text;
    ::RegGetValueA(machine, nullptr, "Filter", RRF_RT_REG_SZ, nullptr, text, &size);
    ::RegCloseKey(machine);
    EXPECT_STREQ(text, "A.sqf") << "the machine key keeps what the administrator left";
}

// What a save does when the machine key cannot be written; `lock` makes it so.
void expectSaveGoesToTheUsersKey(RegistryPlace& place, HKEY userRoot) {
    auto store = RegistrySettings::open(place);
    ASSERT_TRUE(store);
    HKEY probe = nullptr;
    ASSERT_NE(::RegOpenKeyExA(userRoot, kPath, 0, KEY_READ, &probe), ERROR_SUCCESS);
    store->writeString("Filter", "C:\\f.sqf");
    store->writeString("LogPath", "D:\\logs\\");
    store->writeNumber("Device", 0);
    store->writeNumber("Port", 12);
    ASSERT_TRUE(store->save()) << "a user without rights to the machine key keeps his choices";
    EXPECT_EQ(store->savedTo(), "USER\\KvxLogPlus\\");

    auto again = RegistrySettings::open(place);
    ASSERT_TRUE(again);
    const LoadedSettings loaded = readSettings(*again);
    EXPECT_EQ(loaded.filter, "C:\\f.sqf");
    EXPECT_EQ(loaded.logPath, "D:\\logs\\");
    EXPECT_EQ(loaded.device, 0);
    EXPECT_EQ(loaded.port, 12);
    EXPECT_EQ(loaded.catalogue[3], "C:\\cat\\MSGS.txt") << "the machine's catalogue stays in use";
}

TEST_F(RegistrySettingsTest, MachineKeyNotWritableSavesIntoTheUsersKey) {
    setString(machineRoot, "MSGS", std::string("C:\\cat\\MSGS.txt") + '\0');
    lockedRoot = machineRoot;
    place.access = {openDenied, createDenied};
    expectSaveGoesToTheUsersKey(place, userRoot);
    lockedRoot = nullptr;
}

// Sets the access list of the key `path` under `root` (its owner may always change it).
bool setDacl(HKEY root, const char* path, const char* sddl) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(root, path, 0, WRITE_DAC, &key) != ERROR_SUCCESS) return false;
    PSECURITY_DESCRIPTOR sd = nullptr;
    bool ok = ::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd,
                                                                     nullptr) &&
              ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd) == ERROR_SUCCESS;
    ::LocalFree(sd);
    ::RegCloseKey(key);
    return ok;
}

TEST_F(RegistrySettingsTest, MachineKeyWithReadOnlyDaclSavesIntoTheUsersKey_RealWindowsOnly) {
    if (underWine()) GTEST_SKIP() << "Wine does not enforce the access lists of registry keys";
    setString(machineRoot, "MSGS", std::string("C:\\cat\\MSGS.txt") + '\0');
    ASSERT_TRUE(setDacl(machineRoot, kPath, "D:P(A;;KR;;;WD)"));
    expectSaveGoesToTheUsersKey(place, userRoot);
    EXPECT_TRUE(setDacl(machineRoot, kPath, "D:P(A;;KA;;;WD)"));  // so that it can be removed
}

SetupValues sampleValues() {
    SetupValues v;
    v.sample.filter = "";
    v.sample.logPath = "C:\\logs\\";
    v.sample.device = 1;
    v.sample.port = 0;
    const auto sources = catalogueSources();
    for (size_t i = 0; i < sources.size(); ++i)
        v.catalogue[i] = "C:\\KvxLogPlus\\catalogue\\" + std::string(sources[i].value) + ".txt";
    return v;
}

TEST_F(RegistrySettingsTest, SetupCreatesTheMachineKeyOnceWithTheCatalogue) {
    const SetupOutcome made = createSettingsKey(place, sampleValues());
    ASSERT_EQ(made.result, SetupResult::Created) << made.detail;
    EXPECT_EQ(made.createdAt, "");
    auto store = RegistrySettings::open(place);
    ASSERT_TRUE(store);
    const LoadedSettings loaded = readSettings(*store);
    EXPECT_EQ(loaded.logPath, "C:\\logs\\");
    EXPECT_EQ(loaded.device, 1);
    EXPECT_EQ(loaded.port, 0);
    const auto sources = catalogueSources();
    for (size_t i = 0; i < sources.size(); ++i) EXPECT_EQ(loaded.catalogue[i], sampleValues().catalogue[i]);

    // Never touched again.
    setString(machineRoot, "Filter", std::string("mine.sqf") + '\0');
    EXPECT_EQ(createSettingsKey(place, sampleValues()).result, SetupResult::Exists);
    EXPECT_EQ(RegistrySettings::open(place)->readString("Filter"), "mine.sqf");
    EXPECT_FALSE(keyExists(userRoot));
    EXPECT_NE(describe(made, std::string(kSettingsKey)).find("Created the registry key"),
              std::string::npos);
}

TEST_F(RegistrySettingsTest, SetupWithoutRightsToTheMachineMakesTheUsersKey) {
    lockedRoot = machineRoot;
    place.access = {openDenied, createDenied};
    const SetupOutcome made = createSettingsKey(place, sampleValues());
    ASSERT_EQ(made.result, SetupResult::Created) << made.detail;
    EXPECT_EQ(made.createdAt, "USER\\KvxLogPlus\\");
    EXPECT_FALSE(keyExists(machineRoot));
    auto store = RegistrySettings::open(place);
    ASSERT_TRUE(store);
    EXPECT_EQ(readSettings(*store).catalogue[0], sampleValues().catalogue[0]);
    const std::string text = describe(made, std::string(kSettingsKey));
    EXPECT_NE(text.find("USER\\KvxLogPlus\\ for this user"), std::string::npos) << text;

    const SetupOutcome second = createSettingsKey(place, sampleValues());
    EXPECT_EQ(second.result, SetupResult::Exists);
    EXPECT_EQ(describe(second, std::string(kSettingsKey)),
              "The registry key USER\\KvxLogPlus\\ exists; left unchanged");
    lockedRoot = nullptr;
}

TEST(SettingsLocation, RegistryKeyUnlessAFileIsNamed) {
    _putenv("KVXLOGPLUS_SETTINGS=");
    EXPECT_EQ(settingsPath(), kSettingsKey);
    EXPECT_TRUE(isRegistryKeyName(settingsPath()));
    EXPECT_EQ(missingSettingsText(settingsPath()),
              "No registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvanta Wireless Inc\\KvxLogPlus\\: "
              "kvxlog setup creates it");
    _putenv("KVXLOGPLUS_SETTINGS=C:\\kvx\\kvxlogplus.ini");
    EXPECT_EQ(settingsPath(), "C:\\kvx\\kvxlogplus.ini");
    EXPECT_FALSE(isRegistryKeyName(settingsPath()));
    _putenv("KVXLOGPLUS_SETTINGS=");
}

}  // namespace
}  // namespace kvx::app
