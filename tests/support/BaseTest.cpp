#include <sys/utsname.h>
#include <unistd.h>

#include <optional>
#include <regex>

#include "SupportTestUtil.h"
#include "support/QELMOR_Base.h"
#include "support/QELMOR_NSObjectAdditions.h"

namespace {

using support_test::ScratchDir;

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(BaseDirectories, SearchFollowsTheDomainOrderAndMaskAndDomainZeroSearchesAll) {
    struct Case { unsigned long type, mask; std::optional<std::string> found; };
    const Case cases[] = {
        {QELMOR_DocumentDirectory, QELMOR_UserDomainMask, "~/Documents"},
        {QELMOR_ApplicationSupportDirectory, QELMOR_AllDomainsMask, "~/.local/share"},
        {QELMOR_ApplicationSupportDirectory, QELMOR_LocalDomainMask | QELMOR_SystemDomainMask, "/usr/local/share"},
        {QELMOR_CachesDirectory, QELMOR_SystemDomainMask, "/var/cache"},
        {QELMOR_DocumentDirectory, QELMOR_SystemDomainMask, std::nullopt},
        {999, QELMOR_AllDomainsMask, std::nullopt},
        // The user directory only exists in the local domain: a user-only search misses it, domain 0 finds it.
        {QELMOR_UserDirectory, QELMOR_UserDomainMask, std::nullopt},
        {QELMOR_UserDirectory, 0, "/home"},
        {QELMOR_DocumentationDirectory, 0, "~/.local/share/doc"}};
    for (const auto& c : cases)
        EXPECT_EQ(QELMOR_Base::firstFoundDirectoryType(c.type, c.mask), c.found) << c.type << " in " << c.mask;
}

TEST(BaseMemory, FiguresFromMeminfo) {
    auto stats = QELMOR_Base::vmStatsFromMeminfo("MemTotal:  1000 kB\nMemFree:    8196 kB\nBuffers: 1 kB\n", 4096);
    ASSERT_TRUE(stats.has_value());
    EXPECT_EQ(stats->at("freePages"), 2049u);  // 8,392,704 bytes: 2049 whole pages
    EXPECT_EQ(stats->at("freeBytes"), 2049u * 4096u);
    EXPECT_EQ(stats->at("freeMB"), 8u);
    EXPECT_EQ(stats->size(), 3u);

    auto large = QELMOR_Base::vmStatsFromMeminfo("MemFree: 2097152 kB\n", 0);  // bad page size: 4096
    ASSERT_TRUE(large.has_value());
    EXPECT_EQ(large->at("freePages"), 524288u);
    EXPECT_EQ(large->at("freeMB"), 2048u);
}

TEST(BaseMemory, MeminfoWithoutFreeMemoryGivesNothing) {
    EXPECT_EQ(QELMOR_Base::vmStatsFromMeminfo("MemTotal: 100 kB\n", 4096), std::nullopt);
    EXPECT_EQ(QELMOR_Base::vmStatsFromMeminfo("MemFree: lots\n", 4096), std::nullopt);
    EXPECT_EQ(QELMOR_Base::vmStatsFromMeminfo("", 4096), std::nullopt);
    EXPECT_EQ(QELMOR_Base::vmStatsFromMeminfo("MemFree: 99999999999999999999999 kB\n", 4096), std::nullopt);
    EXPECT_EQ(QELMOR_Base::vmStatsFromMeminfo("MemFree: 18446744073709551 kB\n", 4096), std::nullopt);
}

TEST(BaseMemory, LiveFiguresAreConsistent) {
    auto stats = QELMOR_Base::vmStats();
    ASSERT_TRUE(stats.has_value());
    long page = sysconf(_SC_PAGESIZE);
    EXPECT_EQ(stats->at("freeBytes"), stats->at("freePages") * static_cast<uint64_t>(page));
    EXPECT_EQ(stats->at("freeMB"), stats->at("freeBytes") >> 20);
    EXPECT_GT(stats->at("freePages"), 0u);
}

TEST(BaseHost, ModelEndsWithTheArchitecture) {
    struct utsname names {};
    ASSERT_EQ(uname(&names), 0);
    auto model = QELMOR_Base::hostModelAndArch();
    ASSERT_TRUE(model.has_value());
    std::string suffix = std::string(" (") + names.machine + ")";
    ASSERT_GT(model->size(), suffix.size());
    EXPECT_EQ(model->substr(model->size() - suffix.size()), suffix);
}

TEST(BaseHost, SystemVersionInfoAndStartupBanner) {
    std::string info = QELMOR_Base::systemVersionInfo();
    EXPECT_TRUE(std::regex_match(info, std::regex(R"(\S+ \S+ foundation \(\d+\.\d{3}\);
\d+MB \(\d+MB free\); [1-9]\d* CPU; (LittleEndian|BigEndian|Unknown) \(64-bit\); .+ \(\S+\))")))
        << info;

    std::string banner = QELMOR_Base::startupInfo();
    const std::string head = std::string(80, '^') + "\n" + QELMOR_Base::processName() + " starting up\n";
    ASSERT_EQ(banner.substr(0, head.size()), head);
    EXPECT_EQ(banner[80], '\n');
    EXPECT_NE(banner[79], '\n');
    EXPECT_NE(banner.find(" foundation ("), std::string::npos);
    EXPECT_EQ(QELMOR_Base::processName(), "test_support");
    EXPECT_EQ(QELMOR_Log::startupInfo().substr(0, head.size()), head);  // inherited as is
}

class BaseTempFile : public support_test::LogFixture {};

TEST_F(BaseTempFile, CreatesAnEmptyUniqueFileInTmpdir) {
    ScratchDir dir;
    ScopedEnv env("TMPDIR", dir.path().string());
    auto first = QELMOR_Base::safeTempFile();
    auto second = QELMOR_Base::safeTempFile();
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(second.has_value());
    EXPECT_NE(*first, *second);
    EXPECT_EQ(std::filesystem::path(*first).parent_path(), dir.path());
    EXPECT_EQ(std::filesystem::path(*first).filename().string().size(), 16u);
    EXPECT_TRUE(std::filesystem::is_regular_file(*first));
    EXPECT_EQ(std::filesystem::file_size(*first), 0u);
    EXPECT_EQ(support_test::fileMode(*first), 0600u);  // private to this user
}

TEST_F(BaseTempFile, HandsOverTheOpenDescriptor) {
    ScratchDir dir;
    ScopedEnv env("TMPDIR", dir.path().string() + "/");
    int fd = -5;
    auto path = QELMOR_Log::safeTempFile(&fd);
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(std::filesystem::path(*path).parent_path(), dir.path());  // no doubled slash
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "hello", 5), 5);
    close(fd);
    EXPECT_EQ(support_test::readFile(*path), "hello");
}

TEST_F(BaseTempFile, FailureIsLoggedAndGivesNothing) {
    ScratchDir dir;
    const std::string missing = dir.file("does-not-exist");
    ScopedEnv env("TMPDIR", missing);
    int fd = 12345;
    EXPECT_EQ(QELMOR_Base::safeTempFile(&fd), std::nullopt);
    EXPECT_EQ(fd, -1);
    auto lines = systemLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "ERROR: failed to create temporary file " + missing +
                            "/XXXXXXXXXXXXXXXX (Error 2: No such file or directory)");
}

TEST(ObjectAdditions, PathToSelfIsThisProgram) {
    auto path = QELMOR_NSObjectAdditions::pathToSelf();
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(*path, std::filesystem::canonical("/proc/self/exe").string());
    EXPECT_EQ(std::filesystem::path(*path).filename(), "test_support");
}

// --- E-mail addresses -----------------------------------------------------------------------------------

class EmailTest : public support_test::LogFixture {};

TEST_F(EmailTest, WellFormedAddresses) {
    for (const char* address : {"user@example.com", "First.Last@Sub.Example.COM", "a+tag@x-y.io",
                                "!#$%&'*+/=?^_`{|}~-@example.org", "\"quoted\\ name\"@example.com",
                                "\"a\\\"b\"@example.com", "\"\"@example.com", "x@[192.168.0.1]",
                                "x@[255.255.255.255]", "x@[1.2.3.ipv6:fe80::1]", "x@a.b"}) {
        EXPECT_TRUE(QELMOR_Log::validateEmailAddress(address)) << address;
    }
}

TEST_F(EmailTest, MalformedAddresses) {
    for (const char* address :
         {"", "plain", "@example.com", "user@", "user@localhost", ".user@example.com", "user.@example.com",
          "us..er@example.com", "user@-example.com", "user@example-.com", "user@exa_mple.com", "user@example..com",
          "us er@example.com", "user@@example.com", "\"unclosed@example.com", "x@[256.1.1.1]", "x@[1.2.3]",
          "x@[1.2.3.4", "\"quoted name\"@example.com", "x@[1.2.3.tag:]", "x@[1.2.3.-tag:abc]", "us\xC3\xA9r@example.com", "user@example.com "}) {
        EXPECT_FALSE(QELMOR_Log::validateEmailAddress(address)) << address;
    }
}

TEST_F(EmailTest, EveryCheckIsLoggedWithTheLength) {
    QELMOR_Log::validateEmailAddress("a@b.cd");
    QELMOR_Log::validateEmailAddress("\xC3\xA9@b.cd");
    auto lines = systemLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Passed emailAddress=[a@b.cd] with length=[6]...");
    EXPECT_EQ(lines[1], "Passed emailAddress=[\xC3\xA9@b.cd] with length=[6]...");
}

TEST_F(EmailTest, VeryLongInputIsHandled) {
    std::string local(200000, 'a');
    EXPECT_TRUE(QELMOR_Log::validateEmailAddress(local + "@example.com"));
    EXPECT_FALSE(QELMOR_Log::validateEmailAddress(local + "@"));
}

}  // namespace
