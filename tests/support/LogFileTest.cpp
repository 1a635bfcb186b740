#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "SupportTestUtil.h"
#include "support/QELMOR_Log.h"

namespace {

using support_test::fileMode;
using support_test::readFile;
using support_test::record;
using support_test::ScratchDir;
using support_test::writeFile;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

class LogFileTest : public support_test::LogFixture {
protected:
    std::string file(const std::string& name) const { return dir_.file(name); }
    // Writes the file and rolls it at the given threshold.
    void roll(const std::string& name, const std::string& contents, size_t threshold = 1,
              std::optional<std::string> old = std::nullopt) {
        writeFile(file(name), contents);
        QELMOR_Log::rollLogFile(file(name), old, threshold);
    }
    ScratchDir dir_;
};

// --- Opening ------------------------------------------------------------------------------------------

TEST_F(LogFileTest, OpeningMovesBufferedRecordsIntoTheFileAndDropsTheBuffer) {
    QELMOR_Log::err("before");
    const std::string path = file("sub/deeper/app.log");
    ASSERT_TRUE(QELMOR_Log::setLogFile(path));
    EXPECT_TRUE(QELMOR_Log::hasOpenLogFile());
    EXPECT_EQ(QELMOR_Log::logFilePath(), path);
    EXPECT_FALSE(QELMOR_Log::bufferForTesting().has_value());
    EXPECT_EQ(readFile(path), record("E", "before"));
    EXPECT_EQ(fileMode(path), 0664u);

    QELMOR_Log::logLevel(4, "after");
    EXPECT_EQ(readFile(path), record("E", "before") + record("W", "after"));
    EXPECT_EQ(stderrText(), "ERROR: before\nWARN: after\n");  // mirroring goes on
    EXPECT_FALSE(QELMOR_Log::bufferForTesting().has_value());  // never recreated
}

TEST_F(LogFileTest, OpeningAppendsToAnExistingFile) {
    writeFile(file("app.log"), "earlier run\n");
    QELMOR_Log::err("now");
    ASSERT_TRUE(QELMOR_Log::setLogFile(file("app.log")));
    EXPECT_EQ(readFile(file("app.log")), "earlier run\n" + record("E", "now"));
}

TEST_F(LogFileTest, OpeningRollsAFullFileFirst) {
    const std::string full(QELMOR_Log::kDefaultRollSize, 'z');
    writeFile(file("app.log"), full);
    QELMOR_Log::err("fresh");
    ASSERT_TRUE(QELMOR_Log::setLogFile(file("app.log")));
    EXPECT_EQ(readFile(file("app_old.log")), full);
    EXPECT_EQ(readFile(file("app.log")), record("E", "fresh"));
}

TEST_F(LogFileTest, ASecondLogFileOnlyRecordsItsPath) {
    ASSERT_TRUE(QELMOR_Log::setLogFile(file("first.log")));
    EXPECT_FALSE(QELMOR_Log::setLogFile(file("second.log")));
    EXPECT_EQ(QELMOR_Log::logFilePath(), file("second.log"));
    QELMOR_Log::err("still first");
    EXPECT_EQ(readFile(file("first.log")), record("E", "still first"));
    EXPECT_FALSE(fs::exists(file("second.log")));
}

TEST_F(LogFileTest, PathIsStandardisedAndAnEmptyOneOpensNothing) {
    QELMOR_Log::err("kept");
    EXPECT_FALSE(QELMOR_Log::setLogFile(""));
    EXPECT_FALSE(QELMOR_Log::hasOpenLogFile());
    EXPECT_FALSE(QELMOR_Log::logFilePath().has_value());
    EXPECT_EQ(buffer(), record("E", "kept"));

    ASSERT_TRUE(QELMOR_Log::setLogFile(dir_.path().string() + "/a/../b//./x.log/"));
    EXPECT_EQ(QELMOR_Log::logFilePath(), file("b/x.log"));
    EXPECT_TRUE(fs::is_regular_file(file("b/x.log")));
}

TEST_F(LogFileTest, DirectoryThatCannotBeCreatedIsReportedAndTheBufferStaysInUse) {
    writeFile(file("blocker"), "a plain file where a directory should be");
    const std::string path = file("blocker/sub/app.log");
    QELMOR_Log::err("early");
    EXPECT_FALSE(QELMOR_Log::setLogFile(path));
    EXPECT_FALSE(QELMOR_Log::hasOpenLogFile());
    EXPECT_EQ(systemLines(), Lines{"error with createDirectoryAtPath for [" + path + "]:\nERROR = Not a directory"});
    const std::string failure = "Failed to open log file at " + path + "; error 20 \"Not a directory\"";
    EXPECT_EQ(stderrText(), "ERROR: early\nDEBUG: testapp: " + failure + "\n");
    QELMOR_Log::err("later");
    EXPECT_EQ(buffer(), record("E", "early") + record("D", failure) + record("E", "later"));
}

TEST_F(LogFileTest, FileThatCannotBeOpenedIsReportedAndALaterFileGetsEverything) {
    fs::create_directory(file("isdir"));
    QELMOR_Log::err("early");
    EXPECT_FALSE(QELMOR_Log::setLogFile(file("isdir")));
    const std::string failure = "Failed to open log file at " + file("isdir") + "; error 21 \"Is a directory\"";
    EXPECT_EQ(buffer(), record("E", "early") + record("D", failure));
    EXPECT_TRUE(systemLines().empty());
    ASSERT_TRUE(QELMOR_Log::setLogFile(file("good.log")));
    EXPECT_EQ(readFile(file("good.log")), record("E", "early") + record("D", failure));
}

// These children are forked without re-running the test, so that they write into the parent's scratch
// directory; no other thread runs at this point.
TEST(LogFileStdErr, WithMirroringOffStandardErrorIsReopenedOntoTheLogFile) {
    GTEST_FLAG_SET(death_test_style, "fast");
    ScratchDir dir;
    const std::string path = dir.file("all.log");
    EXPECT_EXIT(
        {
            QELMOR_Log::resetForTesting();
            QELMOR_Log::setShouldLogToStdErr(false);
            if (!QELMOR_Log::setLogFile(path)) _exit(2);
            fputs("output of other code\n", stderr);
            fflush(stderr);
            QELMOR_Log::err("a record");
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    std::string text = readFile(path);
    EXPECT_NE(text.find("output of other code\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" a record\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("ERROR: a record"), std::string::npos) << "mirrored although mirroring was off";
}

TEST(LogFileWriteFailure, BufferedRecordsSurviveAFileThatCannotTakeThem) {
    GTEST_FLAG_SET(death_test_style, "fast");
    ScratchDir dir;
    const std::string path = dir.file("small.log");
    // A file-size limit of 64 bytes makes writing the buffer fail; the child reports what it found.
    EXPECT_EXIT(
        {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit {};
            limit.rlim_cur = limit.rlim_max = 64;
            setrlimit(RLIMIT_FSIZE, &limit);
            QELMOR_Log::resetForTesting();
            QELMOR_Log::setStdErrSinkForTesting([](const std::string&) {});
            std::string big(500, 'r');
            QELMOR_Log::err(big);
            if (QELMOR_Log::setLogFile(path)) _exit(2);
            if (QELMOR_Log::hasOpenLogFile()) _exit(3);
            auto buffer = QELMOR_Log::bufferForTesting();
            if (!buffer || buffer->find(big) == std::string::npos) _exit(4);
            if (buffer->find("Failed to open log file at " + path) == std::string::npos) _exit(5);
            if (fs::file_size(path) != 0) _exit(6);  // no half copy left behind
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// --- Rolling ------------------------------------------------------------------------------------------

TEST_F(LogFileTest, DefaultRollSizeIsTheInclusiveThreshold) {
    writeFile(file("x.log"), std::string(QELMOR_Log::kDefaultRollSize - 1, 'a'));
    QELMOR_Log::rollLogFileIfNecessary(file("x.log"));
    EXPECT_EQ(fs::file_size(file("x.log")), QELMOR_Log::kDefaultRollSize - 1);
    EXPECT_FALSE(fs::exists(file("x_old.log")));
    EXPECT_TRUE(systemLines().empty());

    const std::string contents = std::string(QELMOR_Log::kDefaultRollSize - 1, 'a') + "\n";
    writeFile(file("x.log"), contents);
    QELMOR_Log::rollLogFileIfNecessary(file("x.log"));
    EXPECT_EQ(readFile(file("x_old.log")), contents);
    EXPECT_EQ(fs::file_size(file("x.log")), 0u);
    EXPECT_EQ(fileMode(file("x_old.log")), 0664u);
    EXPECT_EQ(systemLines(), (Lines{"Rolling log file.", "Rolled previous log file into " + file("x_old.log"),
                                    "Starting new log file at " + file("x.log")}));
}

TEST_F(LogFileTest, ExplicitThresholdIsInclusiveAndAMissingFileIsNotRolled) {
    roll("t.log", "123456789", 10);
    EXPECT_EQ(readFile(file("t.log")), "123456789");
    QELMOR_Log::rollLogFile(file("t.log"), std::nullopt, 9);
    EXPECT_EQ(readFile(file("t.log")), "");
    EXPECT_EQ(readFile(file("t_old.log")), "123456789");

    const size_t linesBefore = systemLines().size();
    QELMOR_Log::rollLogFile(file("absent.log"), std::nullopt, 0);
    EXPECT_EQ(systemLines().size(), linesBefore);
    EXPECT_FALSE(fs::exists(file("absent_old.log")));
}

TEST_F(LogFileTest, RolledRecordsAreAppendedToTheOldFileNamedFromTheExtension) {
    roll("plain", "p\n");
    EXPECT_EQ(readFile(file("plain_old.log")), "p\n");
    roll("a.b.txt", "t\n");
    EXPECT_EQ(readFile(file("a.b_old.txt")), "t\n");

    writeFile(file("x_old.log"), "older\n");
    roll("x.log", "newer\n");
    EXPECT_EQ(readFile(file("x_old.log")), "older\nnewer\n");
    roll("x.log", "newest\n", 1, file("elsewhere.log"));
    EXPECT_EQ(readFile(file("elsewhere.log")), "newest\n");
}

TEST_F(LogFileTest, OldFileOfExactlyTheCapIsKeptWhole) {
    const size_t cap = QELMOR_Log::kRolledFileCap;
    std::string old(cap - 100, 'o');
    old[0] = 'F';
    old.back() = '\n';
    writeFile(file("x_old.log"), old);
    const std::string log = std::string(99, 'n') + "\n";
    roll("x.log", log);
    EXPECT_EQ(readFile(file("x_old.log")), old + log);
    EXPECT_EQ(fs::file_size(file("x_old.log")), cap);
}

TEST_F(LogFileTest, OldFileOverTheCapKeepsTheTailFromALineStart) {
    const size_t cap = QELMOR_Log::kRolledFileCap;
    // 100 bytes over the cap: the cut search starts at index 99, where a newline ends an empty line;
    // one byte earlier (index 98) another newline would keep one byte too many.
    std::string old = std::string(98, 'h') + "\n\nKEEP" + std::string(cap - 4 - 1 - 200, 'k') + "\n";
    const std::string log = std::string(199, 'l') + "\n";
    ASSERT_EQ(old.size() + log.size(), cap + 100);
    writeFile(file("x_old.log"), old);
    roll("x.log", log);
    std::string result = readFile(file("x_old.log"));
    EXPECT_EQ(result.size(), cap);
    EXPECT_EQ(result.substr(0, 4), "KEEP");
    EXPECT_EQ(result.substr(result.size() - 200), log);

    writeFile(file("y_old.log"), std::string(cap, 'o'));
    roll("y.log", "no newline at all");
    EXPECT_EQ(fs::file_size(file("y_old.log")), 0u) << "over the cap without a newline nothing is kept";
}

TEST_F(LogFileTest, OldFileThatCannotBeReadOrWrittenLeavesTheLogFileAlone) {
    fs::create_directory(file("x_old.log"));
    roll("x.log", "precious\n");
    EXPECT_EQ(readFile(file("x.log")), "precious\n");
    EXPECT_EQ(systemLines(), (Lines{"Rolling log file.", "Error reading old log file " + file("x_old.log")}));

    const std::string old = file("missing-dir/y_old.log");
    roll("y.log", "precious\n", 1, old);
    EXPECT_EQ(readFile(file("y.log")), "precious\n");
    EXPECT_EQ(systemLines(), (Lines{"Rolling log file.", "Error reading old log file " + file("x_old.log"),
                                    "Rolling log file.", "Error writing old log file to " + old}));
}

TEST_F(LogFileTest, RollingAFileIntoItselfLosesNothing) {
    roll("x.log", "precious\n", 1, file("x.log"));
    EXPECT_EQ(readFile(file("x.log")), "precious\n");
    fs::create_hard_link(file("x.log"), file("link.log"));
    QELMOR_Log::rollLogFile(file("x.log"), file("link.log"), 1);
    EXPECT_EQ(readFile(file("x.log")), "precious\n");
}

TEST_F(LogFileTest, RollingTheOpenFileKeepsLoggingIntoItAndAFailedRollLosesNoRecord) {
    const std::string path = file("open.log");
    ASSERT_TRUE(QELMOR_Log::setLogFile(path));
    QELMOR_Log::err("one");
    QELMOR_Log::err("two");
    QELMOR_Log::rollLogFile(path, std::nullopt, 1);
    EXPECT_EQ(readFile(file("open_old.log")), record("E", "one") + record("E", "two"));
    QELMOR_Log::err("three");
    EXPECT_EQ(readFile(path), record("E", "three"));  // appended at the new start, no hole

    QELMOR_Log::rollLogFile(path, file("nowhere/old.log"), 1);
    QELMOR_Log::err("four");
    EXPECT_EQ(readFile(path), record("E", "three") + record("E", "four"));
}

TEST_F(LogFileTest, RecordsFromAnotherThreadAreNotLostWhileRolling) {
    const std::string path = file("busy.log");
    ASSERT_TRUE(QELMOR_Log::setLogFile(path));
    QELMOR_Log::setStdErrSinkForTesting([](const std::string&) {});
    constexpr int kRecords = 2000;
    std::thread writer([] {
        for (int i = 0; i < kRecords; ++i) QELMOR_Log::err("r" + std::to_string(i));
    });
    for (int i = 0; i < 50; ++i) QELMOR_Log::rollLogFile(path, std::nullopt, 1);
    writer.join();
    std::string all = readFile(file("busy_old.log")) + readFile(path);
    for (int i = 0; i < kRecords; ++i)
        EXPECT_NE(all.find(" r" + std::to_string(i) + "\n"), std::string::npos) << "record " << i << " lost";
}

}  // namespace
