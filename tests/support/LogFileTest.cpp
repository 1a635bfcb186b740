#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "SupportTestUtil.h"
#include "support/QELMOR_Log.h"

namespace {

using support_test::fileMode;
using support_test::kFixedStamp;
using support_test::readFile;
using support_test::ScratchDir;
using support_test::writeFile;

class LogFileTest : public support_test::LogFixture {
protected:
    std::string record(const char* letter, const std::string& message) {
        return std::string(letter) + " " + kFixedStamp + " " + message + "\n";
    }
    ScratchDir dir_;
};

// --- Opening ------------------------------------------------------------------------------------------

TEST_F(LogFileTest, OpeningMovesBufferedRecordsIntoTheFileAndDropsTheBuffer) {
    QELMOR_Log::err("before");
    const std::string path = dir_.file("sub/deeper/app.log");
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
    const std::string path = dir_.file("app.log");
    writeFile(path, "earlier run\n");
    QELMOR_Log::err("now");
    ASSERT_TRUE(QELMOR_Log::setLogFile(path));
    EXPECT_EQ(readFile(path), "earlier run\n" + record("E", "now"));
}

TEST_F(LogFileTest, ASecondLogFileOnlyRecordsItsPath) {
    const std::string first = dir_.file("first.log");
    const std::string second = dir_.file("second.log");
    ASSERT_TRUE(QELMOR_Log::setLogFile(first));
    EXPECT_FALSE(QELMOR_Log::setLogFile(second));
    EXPECT_EQ(QELMOR_Log::logFilePath(), second);
    QELMOR_Log::err("still first");
    EXPECT_EQ(readFile(first), record("E", "still first"));
    EXPECT_FALSE(std::filesystem::exists(second));
}

TEST_F(LogFileTest, PathIsStandardised) {
    ASSERT_TRUE(QELMOR_Log::setLogFile(dir_.path().string() + "/a/../b//./x.log/"));
    EXPECT_EQ(QELMOR_Log::logFilePath(), dir_.file("b/x.log"));
    EXPECT_TRUE(std::filesystem::is_regular_file(dir_.file("b/x.log")));
}

TEST_F(LogFileTest, EmptyPathOpensNothing) {
    QELMOR_Log::err("kept");
    EXPECT_FALSE(QELMOR_Log::setLogFile(""));
    EXPECT_FALSE(QELMOR_Log::hasOpenLogFile());
    EXPECT_FALSE(QELMOR_Log::logFilePath().has_value());
    EXPECT_EQ(buffer(), record("E", "kept"));
}

TEST_F(LogFileTest, DirectoryThatCannotBeCreatedIsReportedAndTheBufferStaysInUse) {
    writeFile(dir_.file("blocker"), "a plain file where a directory should be");
    const std::string path = dir_.file("blocker/sub/app.log");
    QELMOR_Log::err("early");
    EXPECT_FALSE(QELMOR_Log::setLogFile(path));
    EXPECT_FALSE(QELMOR_Log::hasOpenLogFile());

    std::vector<std::string> system = systemLines();
    ASSERT_EQ(system.size(), 1u);
    EXPECT_EQ(system[0], "error with createDirectoryAtPath for [" + path + "]:\nERROR = Not a directory");

    const std::string failure = "Failed to open log file at " + path + "; error 20 \"Not a directory\"";
    EXPECT_EQ(stderrText(), "ERROR: early\nDEBUG: testapp: " + failure + "\n");
    EXPECT_EQ(buffer(), record("E", "early") + record("D", failure));

    QELMOR_Log::err("later");
    EXPECT_EQ(buffer(), record("E", "early") + record("D", failure) + record("E", "later"));
}

TEST_F(LogFileTest, FileThatCannotBeOpenedIsReportedAndALaterFileGetsEverything) {
    std::filesystem::create_directory(dir_.file("isdir"));
    QELMOR_Log::err("early");
    EXPECT_FALSE(QELMOR_Log::setLogFile(dir_.file("isdir")));
    const std::string failure = "Failed to open log file at " + dir_.file("isdir") + "; error 21 \"Is a directory\"";
    EXPECT_EQ(buffer(), record("E", "early") + record("D", failure));
    EXPECT_TRUE(systemLines().empty());

    ASSERT_TRUE(QELMOR_Log::setLogFile(dir_.file("good.log")));
    EXPECT_EQ(readFile(dir_.file("good.log")), record("E", "early") + record("D", failure));
}

TEST_F(LogFileTest, OpeningRollsAFullFileFirst) {
    const std::string path = dir_.file("app.log");
    const std::string full(QELMOR_Log::kDefaultRollSize, 'z');
    writeFile(path, full);
    QELMOR_Log::err("fresh");
    ASSERT_TRUE(QELMOR_Log::setLogFile(path));
    EXPECT_EQ(readFile(dir_.file("app_old.log")), full);
    EXPECT_EQ(readFile(path), record("E", "fresh"));
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
            limit.rlim_cur = 64;
            limit.rlim_max = 64;
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
            if (std::filesystem::file_size(path) != 0) _exit(6);  // no half copy left behind
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// --- Rolling ------------------------------------------------------------------------------------------

TEST_F(LogFileTest, FileOneByteBelowTheRollSizeIsLeftAlone) {
    const std::string path = dir_.file("x.log");
    writeFile(path, std::string(QELMOR_Log::kDefaultRollSize - 1, 'a'));
    QELMOR_Log::rollLogFileIfNecessary(path);
    EXPECT_EQ(std::filesystem::file_size(path), QELMOR_Log::kDefaultRollSize - 1);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("x_old.log")));
    EXPECT_TRUE(systemLines().empty());
}

TEST_F(LogFileTest, FileOfExactlyTheRollSizeIsRolled) {
    const std::string path = dir_.file("x.log");
    std::string contents(QELMOR_Log::kDefaultRollSize - 1, 'a');
    contents += '\n';
    writeFile(path, contents);
    QELMOR_Log::rollLogFileIfNecessary(path);
    const std::string old = dir_.file("x_old.log");
    EXPECT_EQ(readFile(old), contents);
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    EXPECT_EQ(fileMode(old), 0664u);
    EXPECT_EQ(systemLines(), (std::vector<std::string>{"Rolling log file.", "Rolled previous log file into " + old,
                                                       "Starting new log file at " + path}));
}

TEST_F(LogFileTest, ExplicitThresholdIsInclusive) {
    const std::string path = dir_.file("t.log");
    writeFile(path, "123456789");
    QELMOR_Log::rollLogFile(path, std::nullopt, 10);
    EXPECT_EQ(readFile(path), "123456789");
    QELMOR_Log::rollLogFile(path, std::nullopt, 9);
    EXPECT_EQ(readFile(path), "");
    EXPECT_EQ(readFile(dir_.file("t_old.log")), "123456789");
}

TEST_F(LogFileTest, MissingFileIsNotRolled) {
    QELMOR_Log::rollLogFile(dir_.file("absent.log"), std::nullopt, 0);
    EXPECT_TRUE(systemLines().empty());
    EXPECT_FALSE(std::filesystem::exists(dir_.file("absent_old.log")));
}

TEST_F(LogFileTest, OldFileNameIsDerivedFromTheExtension) {
    writeFile(dir_.file("plain"), "p\n");
    QELMOR_Log::rollLogFile(dir_.file("plain"), std::nullopt, 1);
    EXPECT_EQ(readFile(dir_.file("plain_old.log")), "p\n");

    writeFile(dir_.file("a.b.txt"), "t\n");
    QELMOR_Log::rollLogFile(dir_.file("a.b.txt"), std::nullopt, 1);
    EXPECT_EQ(readFile(dir_.file("a.b_old.txt")), "t\n");
}

TEST_F(LogFileTest, RolledRecordsAreAppendedToTheOldFile) {
    writeFile(dir_.file("x_old.log"), "older\n");
    writeFile(dir_.file("x.log"), "newer\n");
    QELMOR_Log::rollLogFile(dir_.file("x.log"), std::nullopt, 1);
    EXPECT_EQ(readFile(dir_.file("x_old.log")), "older\nnewer\n");
    writeFile(dir_.file("x.log"), "newest\n");
    QELMOR_Log::rollLogFile(dir_.file("x.log"), dir_.file("elsewhere.log"), 1);
    EXPECT_EQ(readFile(dir_.file("elsewhere.log")), "newest\n");
}

TEST_F(LogFileTest, OldFileOfExactlyTheCapIsKeptWhole) {
    const size_t cap = QELMOR_Log::kRolledFileCap;
    std::string old(cap - 100, 'o');
    old[0] = 'F';
    old.back() = '\n';
    writeFile(dir_.file("x_old.log"), old);
    std::string log(99, 'n');
    log += '\n';
    writeFile(dir_.file("x.log"), log);
    QELMOR_Log::rollLogFile(dir_.file("x.log"), std::nullopt, 1);
    std::string result = readFile(dir_.file("x_old.log"));
    EXPECT_EQ(result.size(), cap);
    EXPECT_EQ(result, old + log);
}

TEST_F(LogFileTest, OldFileOverTheCapKeepsTheTailFromALineStart) {
    const size_t cap = QELMOR_Log::kRolledFileCap;
    // 100 bytes over the cap: the cut search starts at index 99, where a newline ends an empty line;
    // one byte earlier (index 98) another newline would keep one byte too many.
    std::string old(98, 'h');
    old += "\n\n";
    old += "KEEP";
    old += std::string(cap - 4 - 1 - 200, 'k');
    old += '\n';
    std::string log(199, 'l');
    log += '\n';
    writeFile(dir_.file("x_old.log"), old);
    writeFile(dir_.file("x.log"), log);
    ASSERT_EQ(old.size() + log.size(), cap + 100);
    QELMOR_Log::rollLogFile(dir_.file("x.log"), std::nullopt, 1);
    std::string result = readFile(dir_.file("x_old.log"));
    EXPECT_EQ(result.size(), cap);
    EXPECT_EQ(result.substr(0, 4), "KEEP");
    EXPECT_EQ(result.substr(result.size() - 200), log);
}

TEST_F(LogFileTest, OverTheCapWithoutANewlineKeepsNothing) {
    const size_t cap = QELMOR_Log::kRolledFileCap;
    writeFile(dir_.file("x_old.log"), std::string(cap, 'o'));
    writeFile(dir_.file("x.log"), "no newline at all");
    QELMOR_Log::rollLogFile(dir_.file("x.log"), std::nullopt, 1);
    EXPECT_EQ(std::filesystem::file_size(dir_.file("x_old.log")), 0u);
}

TEST_F(LogFileTest, OldFileThatCannotBeReadLeavesTheLogFileAlone) {
    std::filesystem::create_directory(dir_.file("x_old.log"));
    writeFile(dir_.file("x.log"), "precious\n");
    QELMOR_Log::rollLogFile(dir_.file("x.log"), std::nullopt, 1);
    EXPECT_EQ(readFile(dir_.file("x.log")), "precious\n");
    EXPECT_EQ(systemLines(),
              (std::vector<std::string>{"Rolling log file.", "Error reading old log file " + dir_.file("x_old.log")}));
}

TEST_F(LogFileTest, OldFileThatCannotBeWrittenLeavesTheLogFileAlone) {
    writeFile(dir_.file("x.log"), "precious\n");
    const std::string old = dir_.file("missing-dir/x_old.log");
    QELMOR_Log::rollLogFile(dir_.file("x.log"), old, 1);
    EXPECT_EQ(readFile(dir_.file("x.log")), "precious\n");
    EXPECT_EQ(systemLines(), (std::vector<std::string>{"Rolling log file.", "Error writing old log file to " + old}));
}

TEST_F(LogFileTest, RollingAFileIntoItselfLosesNothing) {
    writeFile(dir_.file("x.log"), "precious\n");
    QELMOR_Log::rollLogFile(dir_.file("x.log"), dir_.file("x.log"), 1);
    EXPECT_EQ(readFile(dir_.file("x.log")), "precious\n");
    std::filesystem::create_hard_link(dir_.file("x.log"), dir_.file("link.log"));
    QELMOR_Log::rollLogFile(dir_.file("x.log"), dir_.file("link.log"), 1);
    EXPECT_EQ(readFile(dir_.file("x.log")), "precious\n");
}

TEST_F(LogFileTest, RollingTheOpenFileKeepsLoggingIntoIt) {
    const std::string path = dir_.file("open.log");
    ASSERT_TRUE(QELMOR_Log::setLogFile(path));
    QELMOR_Log::err("one");
    QELMOR_Log::err("two");
    QELMOR_Log::rollLogFile(path, std::nullopt, 1);
    EXPECT_EQ(readFile(dir_.file("open_old.log")), record("E", "one") + record("E", "two"));
    QELMOR_Log::err("three");
    EXPECT_EQ(readFile(path), record("E", "three"));  // appended at the new start, no hole
}

TEST_F(LogFileTest, FailedRollOfTheOpenFileLosesNoRecord) {
    const std::string path = dir_.file("open.log");
    ASSERT_TRUE(QELMOR_Log::setLogFile(path));
    QELMOR_Log::err("one");
    QELMOR_Log::rollLogFile(path, dir_.file("nowhere/old.log"), 1);
    QELMOR_Log::err("two");
    EXPECT_EQ(readFile(path), record("E", "one") + record("E", "two"));
}

TEST_F(LogFileTest, RecordsFromAnotherThreadAreNotLostWhileRolling) {
    const std::string path = dir_.file("busy.log");
    ASSERT_TRUE(QELMOR_Log::setLogFile(path));
    QELMOR_Log::setStdErrSinkForTesting([](const std::string&) {});
    constexpr int kRecords = 2000;
    std::thread writer([] {
        for (int i = 0; i < kRecords; ++i) QELMOR_Log::err("r" + std::to_string(i));
    });
    for (int i = 0; i < 50; ++i) QELMOR_Log::rollLogFile(path, std::nullopt, 1);
    writer.join();
    std::string all = readFile(dir_.file("busy_old.log")) + readFile(path);
    for (int i = 0; i < kRecords; ++i) {
        EXPECT_NE(all.find(" r" + std::to_string(i) + "\n"), std::string::npos) << "record " << i << " lost";
    }
}

}  // namespace
