#include <atomic>
#include <regex>
#include <thread>

#include "kit/Kit.h"
#include "support/QELMOR_Log.h"
#include "support/QELMOR_SystemLog.h"
#include "support/QELMOR_Log.h"

namespace {

namespace {
// 2024-12-30 10:20:30.123 UTC, a Monday: by ISO week rules it already belongs to week-year 2025.
inline std::chrono::system_clock::time_point fixedTime() {
    using namespace std::chrono;
    return sys_days{year{2024} / December / 30} + hours{10} + minutes{20} + seconds{30} + milliseconds{123};
}

// The fixed clock shown one hour east of UTC.
inline const char* kFixedStamp = "[2025/12/30 11:20:30.123 +0100]";

// One record as the buffer and the log file keep it, stamped with the fixed clock.
inline std::string record(const std::string& letter, const std::string& message) {
    return letter + " " + kFixedStamp + " " + message + "\n";
}

class LogFixture : public ::testing::Test {
protected:
    void SetUp() override {
        QELMOR_Log::resetForTesting();
        QELMOR_Log::setApplicationName("testapp");
        QELMOR_Log::setStdErrSinkForTesting([this](const std::string& line) { stderrText_ += line; });
        QELMOR_Log::setClockForTesting([] { return fixedTime(); }, 3600);
        QELMOR_SetSystemLogHandler([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(systemMutex_);
            systemLines_.push_back(line);
        });
    }
    void TearDown() override {
        QELMOR_Log::resetForTesting();
        QELMOR_SetSystemLogHandler(nullptr);
    }

    // Everything mirrored to standard error so far (the sink runs under the facility's lock).
    const std::string& stderrText() const { return stderrText_; }
    std::vector<std::string> systemLines() {
        std::lock_guard<std::mutex> lock(systemMutex_);
        return systemLines_;
    }
    std::string buffer() { return QELMOR_Log::bufferForTesting().value_or("<no buffer>"); }

private:
    std::string stderrText_;
    std::mutex systemMutex_;
    std::vector<std::string> systemLines_;
};

}  // namespace

using Bytes = std::vector<uint8_t>;

Bytes sequence(size_t count, int first = 0) {
    Bytes out;
    for (size_t i = 0; i < count; ++i) out.push_back(static_cast<uint8_t>(first + static_cast<int>(i)));
    return out;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// --- Lines and records ------------------------------------------------------------------------------

TEST_F(LogFixture, EveryLevelHasItsPrefixAndRecordLetter) {
    struct Level { int level; const char* prefix; const char* letter; };
    const Level levels[] = {{0, "INFO: ", "I"},           {1, "DEBUG: testapp: ", "D"}, {2, "DEBUG2: testapp: ", "D2"},
                            {3, "ERROR: ", "E"},          {4, "WARN: ", "W"},           {5, "DEBUG: testapp: ", "D"},
                            {7, "DEBUG: testapp: ", "D"}};  // unknown levels count as level 1
    std::string err, buf;
    for (const auto& l : levels) {
        const std::string message = "level " + std::to_string(l.level);
        QELMOR_Log::logLevel(l.level, message);
        err += l.prefix + message + "\n";
        buf += record(l.letter, message);
    }
    EXPECT_EQ(stderrText(), err);
    EXPECT_EQ(buffer(), buf);
}


TEST_F(LogFixture, TimeStampUsesTheWeekBasedYearAndANumericZone) {
    EXPECT_EQ(QELMOR_Log::logDateString(), kFixedStamp);
    QELMOR_Log::setClockForTesting([] { return fixedTime(); }, -(4 * 3600 + 30 * 60));
    EXPECT_EQ(QELMOR_Log::logDateString(), "[2025/12/30 05:50:30.123 -0430]");
    QELMOR_Log::setClockForTesting(nullptr, std::nullopt);  // the real clock gives the same shape
    EXPECT_TRUE(std::regex_match(QELMOR_Log::logDateString(),
                                 std::regex(R"(\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} [+-]\d{4}\])")))
        << QELMOR_Log::logDateString();
}



TEST_F(LogFixture, MirroringOffWithoutAFileSilencesEverything) {
    int notifications = 0;
    QELMOR_Log::setShouldNotifyForLogUpdates(true);
    QELMOR_Log::setLogUpdateHandler([&](const QELMOR_Notification&) { ++notifications; });
    QELMOR_Log::setShouldLogToStdErr(false);
    QELMOR_Log::err("lost on purpose");
    EXPECT_EQ(stderrText(), "");
    EXPECT_EQ(buffer(), "");
    EXPECT_EQ(notifications, 0);
    QELMOR_Log::setShouldLogToStdErr(true);
    QELMOR_Log::err("back");
    EXPECT_EQ(stderrText(), "ERROR: back\n");
    EXPECT_EQ(notifications, 1);
}



// --- Buffer trim ----------------------------------------------------------------------------------

std::string numberedText(size_t size) {
    std::string text;
    for (size_t i = 0; text.size() < size; ++i) text += static_cast<char>('a' + i % 26);
    return text;
}

TEST_F(LogFixture, BufferIsTrimmedByTenThousandCharactersOnlyPastTheThreshold) {
    std::string full = numberedText(1000000);
    QELMOR_Log::setBufferForTesting(full);
    QELMOR_Log::err("x");
    EXPECT_EQ(buffer(), full + record("E", "x")) << "exactly at the threshold nothing is trimmed";

    full = numberedText(1000001);
    QELMOR_Log::setBufferForTesting(full);
    QELMOR_Log::err("x");
    const std::string expected = full.substr(10000) + record("E", "x");
    EXPECT_EQ(buffer(), expected);
    QELMOR_Log::err("y");  // now below the threshold: no second trim
    EXPECT_EQ(buffer(), expected + record("E", "y"));
}


// --- Hex dumps ------------------------------------------------------------------------------------

TEST_F(LogFixture, AsciiHexForData) {
    EXPECT_EQ(QELMOR_Log::asciiHexForData(Bytes{0x0A, 0xFF}), "0a ff ");
    EXPECT_EQ(QELMOR_Log::asciiHexForData({}), "");
    EXPECT_EQ(QELMOR_Log::asciiHexForData(Bytes{0x00}), "00 ");
}

TEST_F(LogFixture, HexDumpLayout) {
    struct Case { Bytes data; std::string lines; };
    const Case cases[] = {
        {{0x41, 0x42, 0x25}, "00000000  41 42 25                                          |AB%%|\n"},  // % doubled
        {sequence(8, 0x30), "00000000  30 31 32 33 34 35 36 37                           |01234567|\n"},
        {sequence(9, 0x30), "00000000  30 31 32 33 34 35 36 37  38                       |012345678|\n"},
        {sequence(15, 0x41), "00000000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f     |ABCDEFGHIJKLMNO|\n"},
        {sequence(16, 0x41), "00000000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|\n"},
        {sequence(17, 0x41), "00000000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|\n"
                             "00000010  51                                                |Q|\n"},
        {{0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xFF, 0x00, 0x0A},  // only printable ASCII is shown
         "00000000  1f 20 7e 7f 80 ff 00 0a                           |. ~.....|\n"},
        {{}, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        const size_t errAt = stderrText().size();
        const std::string before = buffer();
        QELMOR_Log::logData(c.data);
        std::string expectedErr, expectedBuffer;  // level-one records
        for (const auto& line : splitLines(c.lines)) {
            expectedErr += "DEBUG: testapp: " + line + "\n";
            expectedBuffer += record("D", line);
        }
        EXPECT_EQ(stderrText().substr(errAt), expectedErr);
        EXPECT_EQ(buffer(), before + expectedBuffer);
    }
}


// --- Threads ----------------------------------------------------------------------------------------

TEST_F(LogFixture, RecordsFromManyThreadsStayWholeAndInEachCallersOrder) {
    constexpr int kThreads = 4, kRecords = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kRecords; ++i) {
                QELMOR_Log::err("thread " + std::to_string(t) + " record " + std::to_string(i) + " " +
                                std::string(static_cast<size_t>(40 + i % 50), static_cast<char>('a' + t)));
                if (i % 50 == 0) QELMOR_Log::logData(sequence(40, 0x41 + t));
            }
        });
    }
    for (auto& thread : threads) thread.join();

    auto check = [&](const std::string& text, const std::string& linePrefix, const std::string& dumpPrefix) {
        std::vector<int> next(kThreads, 0);
        std::regex recordLine(linePrefix + R"(thread (\d) record (\d+) ([a-d]+))");
        int dumps = 0;
        for (const auto& line : splitLines(text)) {
            std::smatch m;
            if (line.rfind(dumpPrefix, 0) == 0) {
                EXPECT_EQ(line.back(), '|') << line;
                ++dumps;
                continue;
            }
            ASSERT_TRUE(std::regex_match(line, m, recordLine)) << line;
            int t = std::stoi(m[1]), i = std::stoi(m[2]);
            EXPECT_EQ(i, next[t]) << "thread " << t << " out of order";
            next[t] = i + 1;
            EXPECT_EQ(m[3].str(), std::string(static_cast<size_t>(40 + i % 50), static_cast<char>('a' + t)));
        }
        for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kRecords);
        EXPECT_EQ(dumps, kThreads * (kRecords / 50) * 3);
    };
    check(stderrText(), "ERROR: ", "DEBUG: testapp: ");
    check(buffer(), "E \\[2025/12/30 11:20:30\\.123 \\+0100\\] ", std::string("D ") + kFixedStamp + " ");
}


// --- fatal ------------------------------------------------------------------------------------------

TEST(LogFatal, LogsTheErrorAndEndsTheProcessWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            QELMOR_Log::resetForTesting();
            QELMOR_Log::setFatalParkForTesting([] {});
            QELMOR_Log::fatal("it broke");
        },
        ::testing::ExitedWithCode(1), "ERROR: it broke\n");
}


}  // namespace

namespace {
class LogFileTest : public LogFixture {
protected:
    std::string file(const std::string& name) const { return dir_.file(name); }
    void roll(const std::string& name, const std::string& contents, size_t threshold = 1,
              std::optional<std::string> old = std::nullopt) {
        kit::writeFile(file(name), contents);
        QELMOR_Log::rollLogFile(file(name), old, threshold);
    }
    kit::TempDir dir_;
};
}  // namespace

TEST_F(LogFileTest, OpeningRollsAFullFileIntoTheOldFileNamedFromTheExtension) {
    const std::string full(QELMOR_Log::kDefaultRollSize, 'z');
    kit::writeFile(file("app.log"), full);
    QELMOR_Log::err("fresh");
    ASSERT_TRUE(QELMOR_Log::setLogFile(file("app.log")));
    EXPECT_EQ(kit::readFile(file("app_old.log")), full);
    EXPECT_EQ(kit::readFile(file("app.log")), record("E", "fresh"));
    roll("plain", "p\n");
    EXPECT_EQ(kit::readFile(file("plain_old.log")), "p\n");
    roll("a.b.txt", "t\n");
    EXPECT_EQ(kit::readFile(file("a.b_old.txt")), "t\n");
    kit::writeFile(file("x_old.log"), "older\n");
    roll("x.log", "newer\n");
    EXPECT_EQ(kit::readFile(file("x_old.log")), "older\nnewer\n");
}

TEST_F(LogFileTest, OldFileOverTheCapKeepsTheTailFromALineStart) {
    const size_t cap = QELMOR_Log::kRolledFileCap;
    std::string old = std::string(98, 'h') + "\n\nKEEP" + std::string(cap - 4 - 1 - 200, 'k') + "\n";
    const std::string log = std::string(199, 'l') + "\n";
    ASSERT_EQ(old.size() + log.size(), cap + 100);
    kit::writeFile(file("x_old.log"), old);
    roll("x.log", log);
    std::string result = kit::readFile(file("x_old.log"));
    EXPECT_EQ(result.size(), cap);
    EXPECT_EQ(result.substr(0, 4), "KEEP");
    EXPECT_EQ(result.substr(result.size() - 200), log);
}
