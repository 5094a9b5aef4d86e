// Start-up configuration: the configuration store, the well-known folders, the language
// file and the settings objects; and start-up of the real program with odd stores.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "cli/cdsettings.h"
#include "cli/configstore.h"
#include "cli/folders.h"
#include "cli/language.h"
#include "tests/helpers.h"

using namespace tw;
namespace fs = std::filesystem;

namespace {

// Sets environment variables for one test and puts the old values back afterwards.
class TEnvOverride {
  public:
    TEnvOverride(std::initializer_list<std::pair<const char*, std::optional<std::string>>> vars) {
        for (const auto& [name, value] : vars) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            Set(name, value);
        }
    }
    ~TEnvOverride() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
            Set(it->first.c_str(), it->second);
    }
    TEnvOverride(const TEnvOverride&) = delete;
    TEnvOverride& operator=(const TEnvOverride&) = delete;

  private:
    static void Set(const char* name, const std::optional<std::string>& value) {
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

std::string ReadText(const std::string& path) {
    const auto bytes = twtest::ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// Every location the configuration code looks at, inside one temporary folder.
class ConfigTest : public ::testing::Test {
  protected:
    ConfigTest()
        : env_({{"HOME", dir_.file("home")},
                {"XDG_CONFIG_HOME", dir_.file("config")},
                {"XDG_CONFIG_DIRS", dir_.file("system")},
                {"XDG_DOCUMENTS_DIR", dir_.file("docs")}}) {}

    std::string StoreFile() const { return dir_.file("config") + "/Velquist/Morvatch.reg"; }
    void WriteStore(const std::string& text) const {
        fs::create_directories(dir_.path() / "config" / "Velquist");
        twtest::WriteFile(StoreFile(), text);
    }

    twtest::TempDir dir_;
    TEnvOverride env_;
};

} // namespace

// ---- folders --------------------------------------------------------------------------

TEST(Folders, FromTheEnvironment) {
    struct Row {
        const char* name;
        std::optional<std::string> configDirs, documents, configHome;
        std::string appData, docs, store;
    } rows[] = {
        {"all set", "/sys/a:/sys/b", "/d/docs", "/c/conf", "/sys/a", "/d/docs",
         "/c/conf/Velquist/Morvatch.reg"},
        {"none set", std::nullopt, std::nullopt, std::nullopt, "/etc/xdg", "/h/Documents",
         "/h/.config/Velquist/Morvatch.reg"},
        {"empty", "", "", "", "/etc/xdg", "/h/Documents", "/h/.config/Velquist/Morvatch.reg"},
        {"relative entries skipped, trailing slash dropped", "rel:/abs/dir/", "docs", "conf", "/abs/dir",
         "/h/Documents", "/h/.config/Velquist/Morvatch.reg"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        TEnvOverride env({{"HOME", "/h"},
                          {"XDG_CONFIG_DIRS", r.configDirs},
                          {"XDG_DOCUMENTS_DIR", r.documents},
                          {"XDG_CONFIG_HOME", r.configHome}});
        EXPECT_EQ(CommonAppDataFolder(), r.appData);
        EXPECT_EQ(UserParamsPath(), r.appData + "/Morvatch/UserParams");
        EXPECT_EQ(DocumentsFolder(), r.docs);
        EXPECT_EQ(TConfigStore::DefaultFileName(), r.store);
    }
}

TEST(Folders, ProgramFolderHoldsTheRunningExecutable) {
    const std::string exe = ProgramFileName();
    ASSERT_FALSE(exe.empty());
    EXPECT_TRUE(fs::equivalent(exe, "/proc/self/exe"));
    EXPECT_EQ(ProgramFolder(), fs::path(exe).parent_path().string());
}

// ---- configuration store ----------------------------------------------------------------

TEST_F(ConfigTest, StoreRoundTripKeepsEveryKind) {
    const std::string key = "Software\\Velquist\\Morvatch\\Setting";
    const std::string odd =
        "quote \" backslash \\ cr\r lf\n tab\t nul" + std::string(1, '\0') + " \x7f end \xC3\xA9";
    {
        TConfigStore s(StoreFile());
        EXPECT_FALSE(s.Damaged());
        EXPECT_FALSE(s.KeyExists(key));
        s.WriteInteger(key, "Neg", -1);
        s.WriteInteger(key, "Big", 0x7fffffff);
        s.WriteString(key, "Odd", odd);
        s.WriteString(key, "Empty", "");
        s.WriteBinary(key, "Bytes", {0x00, 0xff, 0x0d, 0x0a});
        s.WriteBinary(key, "NoBytes", {});
        s.WriteString(key, "name \"with\" = signs", "v");
        s.WriteString("Software\\Velquist\\Morvatch", "Language", "Deutsch");
        ASSERT_TRUE(s.Commit());
    }
    TConfigStore s(StoreFile());
    EXPECT_FALSE(s.Damaged());
    EXPECT_TRUE(s.KeyExists("Software\\Velquist"));
    EXPECT_TRUE(s.KeyExists("software\\VELQUIST\\morvatch\\setting\\"));
    EXPECT_FALSE(s.KeyExists("Software\\Velq"));
    EXPECT_EQ(s.ReadInteger(key, "neg"), -1);
    EXPECT_EQ(s.ReadInteger(key, "Big"), 0x7fffffff);
    EXPECT_EQ(s.ReadString(key, "Odd"), odd);
    EXPECT_TRUE(s.ValueExists(key, "Empty"));
    EXPECT_EQ(s.ReadString(key, "Empty"), "");
    EXPECT_EQ(s.ReadBinary(key, "Bytes"), (std::vector<uint8_t>{0x00, 0xff, 0x0d, 0x0a}));
    EXPECT_EQ(s.ReadBinary(key, "NoBytes"), std::vector<uint8_t>{});
    EXPECT_EQ(s.ReadString(key, "name \"with\" = signs"), "v");
    EXPECT_EQ(s.ReadString("Software\\Velquist\\Morvatch", "Language"), "Deutsch");
    // No temporary files are left beside the store.
    EXPECT_EQ(
        std::distance(fs::directory_iterator(fs::path(StoreFile()).parent_path()), fs::directory_iterator()),
        1);
}

TEST_F(ConfigTest, StoreReadsTheDocumentedFormat) {
    WriteStore("; comment\r\n"
               "[Software\\Velquist\\Morvatch]\r\n"
               "\"Language\"=\"French.LNG\"\r\n"
               "\r\n"
               "# another comment\n"
               "[Software\\Velquist\\Morvatch\\Setting]\n"
               "\"sWidth\"=dword:00000320\n"
               "\"sHeight\"=dword:FFFFFFFF\n"
               "\"Items\"=hex:61,0D,0a\n"
               "\"Path\"=\"C:\\\\out\\\\\"\n");
    TConfigStore s(StoreFile());
    EXPECT_FALSE(s.Damaged());
    const std::string key = "Software\\Velquist\\Morvatch\\Setting";
    EXPECT_EQ(s.ReadString("Software\\Velquist\\Morvatch", "Language"), "French.LNG");
    EXPECT_EQ(s.ReadInteger(key, "sWidth"), 800);
    EXPECT_EQ(s.ReadInteger(key, "sHeight"), -1);
    EXPECT_EQ(s.ReadBinary(key, "Items"), (std::vector<uint8_t>{'a', '\r', '\n'}));
    EXPECT_EQ(s.ReadString(key, "Path"), "C:\\out\\");
}

TEST_F(ConfigTest, StoreReadsOfTheWrongKindFail) {
    TConfigStore s(StoreFile());
    s.WriteString("K", "Text", "12");
    s.WriteInteger("K", "Int", 12);
    EXPECT_THROW(s.ReadInteger("K", "Text"), ERegistryException);
    EXPECT_THROW(s.ReadString("K", "Int"), ERegistryException);
    EXPECT_THROW(s.ReadBinary("K", "Int"), ERegistryException);
    EXPECT_THROW(s.ReadInteger("K", "Missing"), ERegistryException);
    EXPECT_EQ(s.ReadString("K", "Missing"), "");
    EXPECT_EQ(s.ReadString("Missing", "Missing"), "");
    // A write replaces the value whatever its kind was.
    s.WriteInteger("K", "text", 5);
    EXPECT_EQ(s.ReadInteger("K", "Text"), 5);
}

TEST_F(ConfigTest, DamagedStoreIsReadAsFarAsPossibleAndNeverReplaced) {
    struct Row {
        const char* name;
        std::string text;
    } rows[] = {
        {"binary garbage", std::string("\x00\x01\xff\xfe[garbage\x00", 10)},
        {"nine digits", "[K]\n\"Good\"=dword:1\n\"a\"=dword:123456789\n"},
        {"odd hex", "[K]\n\"Good\"=dword:1\n\"a\"=hex:1\n"},
        {"trailing comma", "[K]\n\"Good\"=dword:1\n\"a\"=hex:01,\n"},
        {"unquoted name", "[K]\n\"Good\"=dword:1\na=\"x\"\n"},
        {"open quote", "[K]\n\"Good\"=dword:1\n\"a\"=\"x\n"},
        {"unknown escape", "[K]\n\"Good\"=dword:1\n\"a\"=\"\\q\"\n"},
        {"value before any key", "\"a\"=dword:1\n[K]\n\"Good\"=dword:1\n"},
        {"unknown kind", "[K]\n\"Good\"=dword:1\n\"a\"=qword:1\n"},
        {"empty key", "[K]\n\"Good\"=dword:1\n[]\n\"a\"=dword:1\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        WriteStore(r.text);
        TConfigStore s(StoreFile());
        EXPECT_TRUE(s.Damaged());
        if (r.text.find("Good") != std::string::npos) {
            EXPECT_EQ(s.ReadInteger("K", "Good"), 1);
        }
        s.WriteInteger("K", "New", 1);
        EXPECT_FALSE(s.Commit());
        EXPECT_EQ(ReadText(StoreFile()), r.text);
    }
}

TEST_F(ConfigTest, StoreThatCannotBeWritten) {
    // The configuration folder would have to be created inside a plain file.
    twtest::WriteFile(dir_.file("plain"), "x");
    TConfigStore s(dir_.file("plain") + "/Velquist/Morvatch.reg");
    EXPECT_FALSE(s.Damaged());
    s.CreateKey("A\\B");
    EXPECT_FALSE(s.Commit());
}

// ---- language file ----------------------------------------------------------------------

TEST_F(ConfigTest, LanguageFilePath) {
    const std::string exeFolder = dir_.file("bin");
    fs::create_directories(exeFolder);
    twtest::WriteFile(exeFolder + "/Deutsch.lng", "[Strings]\n");
    twtest::WriteFile(exeFolder + "/French.LNG", "[Strings]\n");
    const std::string keyPath = "Software\\Velquist\\Morvatch\\Language";
    struct Row {
        const char* name;
        std::optional<std::string> store; // store file text; nothing means no file
        std::string expected;             // file name inside exeFolder
    } rows[] = {
        {"no store", std::nullopt, "English.lng"},
        {"Deutsch", "[Software\\Velquist\\Morvatch]\n\"Language\"=\"Deutsch\"\n", "Deutsch.lng"},
        {"Deutsch.lng not doubled", "[Software\\Velquist\\Morvatch]\n\"Language\"=\"Deutsch.lng\"\n",
         "Deutsch.lng"},
        {"French.LNG unchanged", "[Software\\Velquist\\Morvatch]\n\"Language\"=\"French.LNG\"\n",
         "French.LNG"},
        {"missing file falls back", "[Software\\Velquist\\Morvatch]\n\"Language\"=\"Italiano\"\n",
         "English.lng"},
        {"key without value", "[Software\\Velquist\\Morvatch]\n", "English.lng"},
        {"value of the wrong kind", "[Software\\Velquist\\Morvatch]\n\"Language\"=dword:00000001\n",
         "English.lng"},
        {"garbage store", "\x01\x02 garbage", "English.lng"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        fs::remove(StoreFile());
        if (r.store) WriteStore(*r.store);
        EXPECT_EQ(LanguageFilePath(keyPath, exeFolder), exeFolder + "/" + r.expected);
        EXPECT_EQ(LanguageFilePath(keyPath, exeFolder + "/"), exeFolder + "/" + r.expected);
    }
}

TEST_F(ConfigTest, LoadLanguageStrings) {
    const std::string file = dir_.file("English.lng");
    twtest::WriteFile(file, "\xEF\xBB\xBF; texts\r\n"
                            "[Other]\r\n"
                            "1=from another section\r\n"
                            "[Strings]\r\n"
                            "0=Zero\r\n"
                            "12=First||Second\r\n"
                            "13 =  padded  \r\n"
                            "14=a|||b\r\n"
                            "15=\r\n"
                            "16=\"quoted\"\r\n"
                            "012=not twelve\r\n"
                            "12=second twelve\r\n"
                            "450=Last\r\n"
                            "451=Never read\r\n");
    std::vector<std::string> table(452, "keep");
    EXPECT_TRUE(LoadLanguageStrings(table, 450, file, "strings"));
    EXPECT_EQ(table[0], "Zero");
    EXPECT_EQ(table[1], "keep");
    EXPECT_EQ(table[12], "First\r\nSecond");
    EXPECT_EQ(table[13], "padded");
    EXPECT_EQ(table[14], "a\r\n|b");
    EXPECT_EQ(table[15], "keep");
    EXPECT_EQ(table[16], "quoted");
    EXPECT_EQ(table[450], "Last");
    EXPECT_EQ(table[451], "keep");

    std::vector<std::string> untouched(451);
    EXPECT_TRUE(LoadLanguageStrings(untouched, 450, dir_.file("missing.lng"), "Strings"));
    EXPECT_EQ(untouched, std::vector<std::string>(451));

    // A last index beyond the table reads no further than the table.
    std::vector<std::string> small(13);
    EXPECT_TRUE(LoadLanguageStrings(small, 450, file, "Strings"));
    EXPECT_EQ(small[12], "First\r\nSecond");
}

// ---- settings ----------------------------------------------------------------------------

TEST_F(ConfigTest, SettingsAfterConstruction) {
    TcdSettings s;
    EXPECT_TRUE(s.AutoLoad);
    EXPECT_EQ(s.RegistryKey, "");
    EXPECT_TRUE(s.cropselect);
    EXPECT_TRUE(s.DegClockWise);
    EXPECT_TRUE(s.MOriginalTitle);
    EXPECT_FALSE(s.SubDir || s.CheckResize || s.Shrinkimg || s.Fitimg || s.CheckFlip || s.CounterClockWise ||
                 s.Degrees || s.Horizontally || s.Vertically || s.MOriginal || s.MGenerate);
    EXPECT_EQ(s.sWidth, 800);
    EXPECT_EQ(s.sHeight, 600);
    EXPECT_EQ(s.ComboxIdx, 0);
    EXPECT_EQ(s.OutFormat, 3);
    EXPECT_EQ(s.MStep, 1);
    EXPECT_EQ(s.MEveryStep, 1);
    EXPECT_EQ(s.MPrefix, "NewImage");
    EXPECT_EQ(s.SavePath, dir_.file("docs") + "/Morvatch Images/");
    EXPECT_EQ(s.Applocation, ProgramFileName());

    std::vector<std::string> persisted;
    for (const auto& p : s.Properties())
        if (TBaseSettings::IsPersisted(p)) persisted.push_back(p.Name);
    const std::vector<std::string> expected = {
        "LogDir",    "Indir",        "OutDir",           "SubDir",    "CheckResize",  "cropselect",
        "Shrinkimg", "Fitimg",       "ResampleFilter",   "sWidth",    "sHeight",      "ComboxIdx",
        "CheckFlip", "DegClockWise", "CounterClockWise", "Degrees",   "Horizontally", "Vertically",
        "SavePath",  "OutFormat",    "MOriginalTitle",   "MOriginal", "MGenerate",    "MPrefix",
        "MStep",     "MEveryStep",   "Applocation"};
    EXPECT_EQ(persisted, expected);
}

TEST_F(ConfigTest, SettingsSaveAndLoadRoundTrip) {
    TcdSettings a;
    a.RegistryKey = kSettingsKey;
    a.Name = "a";
    a.Tag = 5;
    a.LogDir = "/var/log/x";
    a.ResampleFilter = "3";
    a.cropselect = false;
    a.Vertically = true;
    a.sWidth = -1;
    a.sHeight = 1234;
    a.MPrefix = "Pic \"1\"";
    ASSERT_TRUE(a.Save());

    const std::string text = ReadText(StoreFile());
    EXPECT_NE(text.find("[Software\\Velquist\\Morvatch\\Setting]\n"), std::string::npos);
    EXPECT_NE(text.find("\"sWidth\"=dword:ffffffff\n"), std::string::npos);
    EXPECT_NE(text.find("\"cropselect\"=dword:00000000\n"), std::string::npos);
    EXPECT_NE(text.find("\"Vertically\"=dword:00000001\n"), std::string::npos);
    EXPECT_NE(text.find("\"MPrefix\"=\"Pic \\\"1\\\"\"\n"), std::string::npos);
    for (const char* hidden : {"\"RegistryKey\"", "\"AutoLoad\"", "\"Name\"", "\"Tag\""})
        EXPECT_EQ(text.find(hidden), std::string::npos) << hidden;

    TcdSettings b;
    b.RegistryKey = kSettingsKey;
    b.Load();
    EXPECT_EQ(b.Name, "");
    EXPECT_EQ(b.Tag, 0);
    EXPECT_EQ(b.LogDir, "/var/log/x");
    EXPECT_EQ(b.ResampleFilter, "3");
    EXPECT_FALSE(b.cropselect);
    EXPECT_TRUE(b.Vertically);
    EXPECT_EQ(b.sWidth, -1);
    EXPECT_EQ(b.sHeight, 1234);
    EXPECT_EQ(b.MPrefix, "Pic \"1\"");
    EXPECT_EQ(b.OutFormat, 3);

    // A save keeps what else the store holds.
    WriteStore(text + "\n[Software\\Velquist\\Morvatch]\n\"Language\"=\"Deutsch\"\n");
    ASSERT_TRUE(a.Save());
    EXPECT_EQ(TConfigStore(StoreFile()).ReadString("Software\\Velquist\\Morvatch", "Language"), "Deutsch");
}

TEST_F(ConfigTest, SettingsLoadCreatesAMissingKey) {
    TcdSettings s;
    s.RegistryKey = kSettingsKey;
    s.Load();
    TConfigStore store(StoreFile());
    EXPECT_TRUE(store.KeyExists(kSettingsKey));
    EXPECT_FALSE(store.ValueExists(kSettingsKey, "sWidth"));
    EXPECT_EQ(s.sWidth, 800);
    EXPECT_TRUE(s.cropselect);
}

TEST_F(ConfigTest, SettingsLoadSkipsValuesOfTheWrongKind) {
    WriteStore("[Software\\Velquist\\Morvatch\\Setting]\n"
               "\"sWidth\"=\"1024\"\n"            // text where an integer belongs
               "\"MPrefix\"=dword:00000001\n"     // integer where a text belongs
               "\"cropselect\"=hex:01\n"          // binary where a boolean belongs
               "\"sHeight\"=dword:00000100\n"     // good
               "\"smoothing\"=dword:00000001\n"); // no such property
    TcdSettings s;
    s.RegistryKey = kSettingsKey;
    s.Load();
    EXPECT_EQ(s.sWidth, 800);
    EXPECT_EQ(s.MPrefix, "NewImage");
    EXPECT_TRUE(s.cropselect);
    EXPECT_EQ(s.sHeight, 256);
}

TEST_F(ConfigTest, SettingsWithoutRegistryKeyTouchNothing) {
    TcdSettings s;
    s.sWidth = 1;
    s.Load();
    EXPECT_TRUE(s.Save());
    EXPECT_EQ(s.sWidth, 1);
    EXPECT_FALSE(fs::exists(StoreFile()));
}

TEST_F(ConfigTest, SettingsSaveToAnUnwritableStoreFails) {
    twtest::WriteFile(dir_.file("plain"), "x");
    TcdSettings s;
    s.RegistryKey = kSettingsKey;
    s.StoreFileName = dir_.file("plain") + "/Morvatch.reg";
    EXPECT_FALSE(s.Save());
    s.Load(); // and loading from it is harmless
    EXPECT_EQ(s.sWidth, 800);
    // Failures on the way out are swallowed.
    s.BeforeDestruction();
}

namespace {

// A settings class with the remaining property kinds, and an "sWidth" of another kind.
class TOtherSettings : public TBaseSettings {
  public:
    double Ratio = 0.5;
    int64_t Big = 0;
    std::vector<std::string> Recent;
    std::string sWidth = "wide";
    int32_t Extra = 0;

    const TPropTable& Properties() const override {
        static const TPropTable table = [] {
            using S = TOtherSettings;
            TPropTable t = BaseProperties();
            t.push_back({"Ratio", TPropKind::Float,
                         [](const TBaseSettings& s) -> TPropValue { return static_cast<const S&>(s).Ratio; },
                         [](TBaseSettings& s, const TPropValue& v) {
                             static_cast<S&>(s).Ratio = std::get<double>(v);
                         }});
            t.push_back({"Big", TPropKind::Int64,
                         [](const TBaseSettings& s) -> TPropValue { return static_cast<const S&>(s).Big; },
                         [](TBaseSettings& s, const TPropValue& v) {
                             static_cast<S&>(s).Big = std::get<int64_t>(v);
                         }});
            t.push_back({"Recent", TPropKind::StringList,
                         [](const TBaseSettings& s) -> TPropValue { return static_cast<const S&>(s).Recent; },
                         [](TBaseSettings& s, const TPropValue& v) {
                             static_cast<S&>(s).Recent = std::get<std::vector<std::string>>(v);
                         }});
            t.push_back(TextProp("sWidth", &S::sWidth));
            t.push_back(IntProp("Extra", &S::Extra));
            return t;
        }();
        return table;
    }
};

} // namespace

TEST_F(ConfigTest, SettingsFloatInt64AndStringListKinds) {
    TOtherSettings a;
    a.RegistryKey = "Software\\Test";
    a.Ratio = 0.1;
    a.Big = -9007199254740993;
    a.Recent = {"one", "", "three"};
    ASSERT_TRUE(a.Save());
    TConfigStore store(StoreFile());
    EXPECT_EQ(store.ReadString("Software\\Test", "Ratio"), "0.1");
    EXPECT_EQ(store.ReadString("Software\\Test", "Big"), "-9007199254740993");
    const std::string list = "one\r\n\r\nthree\r\n";
    EXPECT_EQ(store.ReadBinary("Software\\Test", "Recent"), std::vector<uint8_t>(list.begin(), list.end()));

    TOtherSettings b;
    b.RegistryKey = "Software\\Test";
    b.Load();
    EXPECT_EQ(b.Ratio, 0.1);
    EXPECT_EQ(b.Big, -9007199254740993);
    EXPECT_EQ(b.Recent, a.Recent);

    // Texts that do not convert leave the properties alone.
    WriteStore("[Software\\Test]\n\"Ratio\"=\"0,5\"\n\"Big\"=\"12x\"\n\"Recent\"=hex:61,0a,62\n");
    TOtherSettings c;
    c.RegistryKey = "Software\\Test";
    c.Load();
    EXPECT_EQ(c.Ratio, 0.5);
    EXPECT_EQ(c.Big, 0);
    EXPECT_EQ(c.Recent, (std::vector<std::string>{"a", "b"}));
}

TEST_F(ConfigTest, SettingsAssign) {
    TcdSettings src;
    src.Name = "source";
    src.Tag = 7;
    src.RegistryKey = "Software\\Elsewhere";
    src.sWidth = 1;
    src.MPrefix = "P";
    src.DegClockWise = false;

    TcdSettings dst;
    dst.Name = "target";
    dst.Assign(src);
    EXPECT_EQ(dst.Name, "target");
    EXPECT_EQ(dst.Tag, 7);
    EXPECT_EQ(dst.RegistryKey, "Software\\Elsewhere");
    EXPECT_EQ(dst.sWidth, 1);
    EXPECT_EQ(dst.MPrefix, "P");
    EXPECT_FALSE(dst.DegClockWise);

    // Only properties of the same name and kind are copied.
    TOtherSettings other;
    other.Tag = 9;
    other.Extra = 3;
    dst.Assign(other);
    EXPECT_EQ(dst.sWidth, 1); // text "wide" is not an integer
    EXPECT_EQ(dst.Tag, 9);
    other.Assign(src);
    EXPECT_EQ(other.sWidth, "wide");
    EXPECT_EQ(other.Extra, 3);
}

TEST_F(ConfigTest, SettingsLifecycleHooks) {
    WriteStore("[Software\\Velquist\\Morvatch\\Setting]\n\"sWidth\"=dword:00000010\n");
    TcdSettings s;
    s.RegistryKey = kSettingsKey;
    s.AutoLoad = false;
    s.Loaded();
    EXPECT_EQ(s.sWidth, 800);
    s.AutoLoad = true;
    s.Loaded();
    EXPECT_EQ(s.sWidth, 16);
    s.sWidth = 17;
    s.BeforeDestruction();
    EXPECT_EQ(TConfigStore(StoreFile()).ReadInteger(kSettingsKey, "sWidth"), 17);
}

// ---- start-up of the real program -----------------------------------------------------

TEST_F(ConfigTest, ProgramStartsWhateverTheStoreHolds) {
    const fs::path work = dir_.path() / "work";
    fs::create_directories(work);
    twtest::WriteFile((work / "in.dat").string(), "x");
    const std::string expected = "Command: " + std::string(TW_EXE_PATH) +
                                 " in.dat\r\n"
                                 "Using Nearest methor to Resample Filter.\r\n"
                                 "Unexpected error: Cannot load \"in.dat\": the file's content is not a known "
                                 "image format. Please run Tarnwik to get help\r\n";
    struct Row {
        const char* name;
        std::optional<std::string> store;
        std::string configHome;
    } rows[] = {
        {"no store", std::nullopt, dir_.file("config")},
        {"garbage", std::string("\x89PNG\r\n\x1a\n\x00\x00garbage", 17), dir_.file("config")},
        {"wrong kinds",
         "[Software\\Velquist\\Morvatch]\n\"Language\"=dword:00000001\n"
         "[Software\\Velquist\\Morvatch\\Setting]\n\"sWidth\"=\"wide\"\n\"MPrefix\"=hex:00\n",
         dir_.file("config")},
        {"store cannot be written", std::nullopt, dir_.file("plain") + "/config"},
    };
    twtest::WriteFile(dir_.file("plain"), "x");
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        fs::remove(StoreFile());
        if (r.store) WriteStore(*r.store);
        const auto res = twtest::RunTarnwick({"in.dat"},
                                             {"HOME=" + dir_.file("home"), "XDG_CONFIG_HOME=" + r.configHome,
                                              "XDG_CONFIG_DIRS=" + dir_.file("system"),
                                              "XDG_DOCUMENTS_DIR=" + dir_.file("docs")},
                                             work.string());
        EXPECT_EQ(res.out, expected);
        EXPECT_EQ(res.exitCode, 99);
        EXPECT_EQ(res.err, "");
        if (r.store) {
            EXPECT_EQ(ReadText(StoreFile()), *r.store); // never rewritten
        } else if (r.configHome == dir_.file("config")) {
            // Start-up created the settings key, and nothing else was written.
            TConfigStore store(StoreFile());
            EXPECT_TRUE(store.KeyExists(kSettingsKey));
            EXPECT_FALSE(store.ValueExists(kSettingsKey, "sWidth"));
        }
    }
    EXPECT_FALSE(fs::exists(dir_.path() / "home"));
}
