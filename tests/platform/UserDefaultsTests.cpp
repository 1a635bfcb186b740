// User defaults: the in-memory store, the JSON file store (round trip, missing and unreadable files read as
// absent, failed writes keep the value), and where the standard store lives.
#include <sys/stat.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "kit/Kit.h"
#include "platform/UserDefaults.h"

using ovn::FileUserDefaults;
using ovn::LogChannel;
using ovn::MemoryUserDefaults;
using ovn::UserDefaults;
using ovn::Value;

namespace {
const char kOlder[] = "installOlderFirmwareVersion";
const char kUnreadable[] = "are unreadable; using none";
const char kWriteFailed[] = "could not write user defaults to";

// Checks that a store made over the path reads nothing and says so in the log (once, or not for a missing file).
void expectAbsent(const std::string& path, size_t logged = 1) {
    kit::Log::Capture log;
    FileUserDefaults defaults(path);
    EXPECT_FALSE(defaults.objectForKey(kOlder));
    EXPECT_FALSE(defaults.boolForKey(kOlder));
    EXPECT_FALSE(defaults.stringForKey("prefDisplayVersionString"));
    EXPECT_EQ(kit::Log::count(kUnreadable), logged) << path;
}

nlohmann::json readJson(const std::string& path) {
    return nlohmann::json::parse(kit::readFile(path), nullptr, false);
}

std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> names;
    for (auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
class UserDefaultsFile : public ::testing::Test {
protected:
    kit::TempDir dir;
    std::string path = dir.file("defaults.json");
};
}  // namespace


TEST(UserDefaults, MissingFileIsAbsentAndReadingCreatesNothing) {
    kit::TempDir dir;
    expectAbsent(dir.file("sub/defaults.json"), 0);  // a missing file is normal, not an error
    EXPECT_FALSE(std::filesystem::exists(dir.file("sub/defaults.json")));
}

TEST(UserDefaults, FileRoundTripKeepsEveryKindOfValue) {
    kit::TempDir dir;
    std::string path = dir.file("config/ovn-utility/defaults.json");
    {
        FileUserDefaults defaults(path);
        defaults.setObject(kOlder, true);
        defaults.setObject("prefDisplayVersionString", std::string("1.0.0 (ünïcødé)"));
        defaults.setObject("count", int64_t(-42));
        defaults.setObject("list", std::vector<std::string>{"a", "b"});
        defaults.setObject("gone", std::string("soon"));
        defaults.removeObjectForKey("gone");
    }
    auto json = readJson(path);
    EXPECT_EQ(json[kOlder], true);
    EXPECT_FALSE(json.contains("gone"));
    EXPECT_EQ(entriesOf(std::filesystem::path(path).parent_path().string()),
              (std::vector<std::string>{"defaults.json"}))
        << "no temporary file is left behind";

    FileUserDefaults reread(path);
    EXPECT_TRUE(reread.boolForKey(kOlder));
    EXPECT_EQ(reread.stringForKey("prefDisplayVersionString"), "1.0.0 (ünïcødé)");
    EXPECT_EQ(reread.objectForKey("count"), Value{int64_t(-42)});
    EXPECT_EQ(reread.objectForKey("list"), Value{(std::vector<std::string>{"a", "b"})});
    EXPECT_FALSE(reread.objectForKey("gone"));
}

TEST(UserDefaults, UnreadableFilesReadAsAbsent) {
    kit::TempDir dir;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"garbage", "\x01\x02 this is not json {"},
        {"truncated", "{\"installOlderFirmwareVersion\": tr"},
        {"array", "[true, 1]"},
        {"text", "\"installOlderFirmwareVersion\""},
        {"null", "null"},
        {"empty", ""},
    };
    for (auto& [name, contents] : cases) {
        std::string path = dir.file(name + ".json");
        kit::writeFile(path, contents);
        expectAbsent(path);
    }
    // A directory where the file should be.
    std::filesystem::create_directories(dir.file("isdir.json"));
    expectAbsent(dir.file("isdir.json"));
    // A FIFO with no writer: reading it would block for ever.
    ASSERT_EQ(mkfifo(dir.file("fifo.json").c_str(), 0600), 0);
    expectAbsent(dir.file("fifo.json"));
    // A file whose reading fails part-way (works as root too).
    std::filesystem::create_symlink("/proc/self/mem", dir.file("ioerror.json"));
    expectAbsent(dir.file("ioerror.json"));
}


TEST_F(UserDefaultsFile, EntriesOfUnknownKindsAreAbsentButSurviveASave) {
    kit::writeFile(path,
                             R"({"installOlderFirmwareVersion": true, "window": {"x": 1, "y": 2}, "ratio": 1.5,
                                 "mixed": ["a", {"b": 1}]})");
    {
        FileUserDefaults defaults(path);
        EXPECT_TRUE(defaults.boolForKey(kOlder));
        EXPECT_FALSE(defaults.objectForKey("window"));
        EXPECT_FALSE(defaults.objectForKey("ratio"));
        EXPECT_EQ(defaults.objectForKey("mixed"), Value{std::vector<std::string>{"a"}});
        defaults.setObject("prefDisplayVersionString", std::string("1.0.0"));
    }
    EXPECT_EQ(readJson(path), nlohmann::json::parse(R"({"installOlderFirmwareVersion": true, "ratio": 1.5,
        "window": {"x": 1, "y": 2}, "mixed": ["a", {"b": 1}], "prefDisplayVersionString": "1.0.0"})"))
        << "saving one setting must not drop another";

    // Setting a key of unknown kind replaces it.
    {
        FileUserDefaults defaults(path);
        defaults.setObject("ratio", int64_t(2));
        defaults.removeObjectForKey("window");
    }
    EXPECT_EQ(FileUserDefaults(path).objectForKey("ratio"), Value{int64_t(2)});
    EXPECT_FALSE(readJson(path).contains("window"));
}

TEST(UserDefaults, FailedWriteKeepsTheValueInMemoryAndLogs) {
    kit::TempDir dir;
    // The parent of the file is a regular file: neither the directory nor the file can be made (even as root).
    kit::writeFile(dir.file("blocker"), "x");
    std::string path = dir.file("blocker/defaults.json");
    kit::Log::Capture log;
    FileUserDefaults defaults(path);
    defaults.setObject(kOlder, true);
    EXPECT_TRUE(defaults.boolForKey(kOlder));
    EXPECT_EQ(kit::Log::count(std::string(kWriteFailed) + " " + path), 1u);

    // The target is a directory: the write fails, the value stays, no temporary file is left behind.
    std::filesystem::create_directories(dir.file("target.json/inner"));
    FileUserDefaults overDir(dir.file("target.json"));
    overDir.setObject("prefDisplayVersionString", std::string("1.0.0"));
    EXPECT_EQ(overDir.stringForKey("prefDisplayVersionString"), "1.0.0");
    EXPECT_EQ(entriesOf(dir.path().string()), (std::vector<std::string>{"blocker", "target.json"}))
        << "no temporary file is left behind";
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("target.json/inner")));
    EXPECT_EQ(kit::Log::count(kWriteFailed), 2u);
}



TEST(UserDefaults, DefaultPathHonoursXdgConfigHome) {
    kit::ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt), home("HOME", std::nullopt);
    setenv("HOME", "/home/someone", 1);
    setenv("XDG_CONFIG_HOME", "/tmp/xdg-test", 1);
    EXPECT_EQ(UserDefaults::defaultPath(), "/tmp/xdg-test/ovn-utility/defaults.json");
    // Unset, empty or relative values are ignored, as the base directory rules say.
    for (const char* ignored : {static_cast<const char*>(nullptr), "", "relative/dir"}) {
        ignored ? setenv("XDG_CONFIG_HOME", ignored, 1) : unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(UserDefaults::defaultPath(), "/home/someone/.config/ovn-utility/defaults.json") << ignored;
    }
}

TEST(UserDefaults, StandardStoreIsTheFileUnderTheConfigDirectoryUnlessReplaced) {
    kit::TempDir dir;
    kit::ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    UserDefaults::setStandard(nullptr);  // made afresh on next use
    auto* file = dynamic_cast<FileUserDefaults*>(&UserDefaults::standard());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->path(), dir.file("ovn-utility/defaults.json"));
    UserDefaults::standard().setObject("CFBundleShortVersionString", std::string("1.0.0"));
    EXPECT_TRUE(std::filesystem::exists(dir.file("ovn-utility/defaults.json")));

    auto memory = std::make_shared<MemoryUserDefaults>();
    UserDefaults::setStandard(memory);
    EXPECT_EQ(&UserDefaults::standard(), memory.get());
    UserDefaults::setStandard(std::make_shared<MemoryUserDefaults>());  // leave no file store behind
}
