#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SupportTestUtil.h"
#include "support/QELMOR_Log.h"

namespace {

using support_test::kFixedStamp;
using support_test::LogFixture;

std::vector<uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

std::vector<uint8_t> sequence(size_t count, int first = 0) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < count; ++i) out.push_back(static_cast<uint8_t>(first + static_cast<int>(i)));
    return out;
}

// --- Lines and records ------------------------------------------------------------------------------

TEST_F(LogFixture, EveryLevelHasItsPrefixAndRecordLetter) {
    QELMOR_Log::logLevel(0, "zero");
    QELMOR_Log::logLevel(1, "one");
    QELMOR_Log::logLevel(2, "two");
    QELMOR_Log::logLevel(3, "three");
    QELMOR_Log::logLevel(4, "four");
    QELMOR_Log::logLevel(5, "five");
    QELMOR_Log::logLevel(7, "seven");
    EXPECT_EQ(stderrText(),
              "INFO: zero\n"
              "DEBUG: testapp: one\n"
              "DEBUG2: testapp: two\n"
              "ERROR: three\n"
              "WARN: four\n"
              "DEBUG: testapp: five\n"
              "DEBUG: testapp: seven\n");
    std::string s = kFixedStamp;
    EXPECT_EQ(buffer(), "I " + s + " zero\n" + "D " + s + " one\n" + "D2 " + s + " two\n" + "E " + s + " three\n" +
                            "W " + s + " four\n" + "D " + s + " five\n" + "D " + s + " seven\n");
}

TEST_F(LogFixture, ApplicationNameGoesIntoRecordsOnlyWhenAsked) {
    QELMOR_Log::err("first");
    QELMOR_Log::setShouldLogAppName(true);
    QELMOR_Log::err("second");
    QELMOR_Log::setApplicationName("other");
    QELMOR_Log::debug("third");
    std::string s = kFixedStamp;
    EXPECT_EQ(buffer(), "E " + s + " first\n" + "E " + s + " testapp: second\n" + "D " + s + " other: third\n");
    EXPECT_EQ(stderrText(), "ERROR: first\nERROR: second\nDEBUG: other: third\n");
}

TEST_F(LogFixture, TimeStampUsesTheWeekBasedYearAndANumericZone) {
    EXPECT_EQ(QELMOR_Log::logDateString(), kFixedStamp);
    QELMOR_Log::setClockForTesting([] { return support_test::fixedTime(); }, -(4 * 3600 + 30 * 60));
    EXPECT_EQ(QELMOR_Log::logDateString(), "[2025/12/30 05:50:30.123 -0430]");
    // The real clock gives the same shape.
    QELMOR_Log::setClockForTesting(nullptr, std::nullopt);
    EXPECT_TRUE(std::regex_match(QELMOR_Log::logDateString(),
                                 std::regex(R"(\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} [+-]\d{4}\])")))
        << QELMOR_Log::logDateString();
}

TEST_F(LogFixture, DebugLogsEachLineOfAMessage) {
    QELMOR_Log::debug("a\nb");
    EXPECT_EQ(stderrText(), "DEBUG: testapp: a\nDEBUG: testapp: b\n");
}

TEST_F(LogFixture, DebugKeepsEmptyPiecesAndSingleLinesUnchanged) {
    QELMOR_Log::debug("a\n\nb\n");
    QELMOR_Log::debug("");
    QELMOR_Log::debug("plain");
    EXPECT_EQ(stderrText(),
              "DEBUG: testapp: a\nDEBUG: testapp: \nDEBUG: testapp: b\nDEBUG: testapp: \n"
              "DEBUG: testapp: \nDEBUG: testapp: plain\n");
    std::string s = kFixedStamp;
    EXPECT_EQ(buffer(), "D " + s + " a\nD " + s + " \nD " + s + " b\nD " + s + " \nD " + s + " \nD " + s + " plain\n");
}

TEST_F(LogFixture, MessagesAreNeverFormatStrings) {
    QELMOR_Log::err("100% %s %n done");
    EXPECT_EQ(stderrText(), "ERROR: 100% %s %n done\n");
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

TEST_F(LogFixture, NotificationCarriesTheRecordAndTheFilePath) {
    std::vector<QELMOR_Notification> seen;
    QELMOR_Log::setLogUpdateHandler([&](const QELMOR_Notification& n) { seen.push_back(n); });
    QELMOR_Log::err("quiet");  // notifications are off by default
    EXPECT_TRUE(seen.empty());

    QELMOR_Log::setShouldNotifyForLogUpdates(true);
    QELMOR_Log::logLevel(4, "warned");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].name, "QELMOR_LogFileDidUpdate");
    EXPECT_FALSE(seen[0].object.has_value());
    ASSERT_EQ(seen[0].userInfo.count("QELMOR_LogFileAddedString"), 1u);
    EXPECT_EQ(seen[0].userInfo.at(QELMOR_LogFileAddedString), std::string("W ") + kFixedStamp + " warned\n");

    support_test::ScratchDir dir;
    ASSERT_TRUE(QELMOR_Log::setLogFile(dir.file("n.log")));
    QELMOR_Log::err("to file");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].object, dir.file("n.log"));
    EXPECT_EQ(seen[1].userInfo.at(QELMOR_LogFileAddedString), std::string("E ") + kFixedStamp + " to file\n");

    QELMOR_Log instance;
    instance.logFileDidUpdate(seen[1]);  // an observer entry point that must accept the notification
    EXPECT_STREQ(QELMOR_LogFileDidUpdate, "QELMOR_LogFileDidUpdate");
    EXPECT_STREQ(QELMOR_LogFileAddedString, "QELMOR_LogFileAddedString");
}

TEST_F(LogFixture, UpdateHandlerMayLogItself) {
    int depth = 0;
    QELMOR_Log::setShouldNotifyForLogUpdates(true);
    QELMOR_Log::setLogUpdateHandler([&](const QELMOR_Notification&) {
        if (depth++ == 0) QELMOR_Log::logLevel(0, "from handler");
    });
    QELMOR_Log::err("outer");
    EXPECT_EQ(stderrText(), "ERROR: outer\nINFO: from handler\n");
}

// --- Buffer trim ----------------------------------------------------------------------------------

std::string numberedText(size_t size) {
    std::string text;
    text.reserve(size);
    for (size_t i = 0; text.size() < size; ++i) text += static_cast<char>('a' + i % 26);
    return text;
}

TEST_F(LogFixture, BufferOfExactlyTheThresholdIsNotTrimmed) {
    std::string full = numberedText(1000000);
    QELMOR_Log::setBufferForTesting(full);
    QELMOR_Log::err("x");
    EXPECT_EQ(buffer(), full + "E " + kFixedStamp + " x\n");
}

TEST_F(LogFixture, BufferOneOverTheThresholdLosesItsFirstTenThousandCharacters) {
    std::string full = numberedText(1000001);
    QELMOR_Log::setBufferForTesting(full);
    QELMOR_Log::err("x");
    std::string expected = full.substr(10000) + "E " + kFixedStamp + " x\n";
    EXPECT_EQ(buffer().size(), expected.size());
    EXPECT_EQ(buffer(), expected);
    // The next record does not trim again: the buffer is now below the threshold.
    QELMOR_Log::err("y");
    EXPECT_EQ(buffer(), expected + "E " + kFixedStamp + " y\n");
}

TEST_F(LogFixture, TrimNeverLeavesHalfACharacter) {
    std::string full(9999, 'a');
    full += "\xC3\xA9";  // two-byte character straddling the cut
    full += numberedText(1000001 - full.size());
    QELMOR_Log::setBufferForTesting(full);
    QELMOR_Log::err("x");
    EXPECT_EQ(buffer(), full.substr(10001) + "E " + kFixedStamp + " x\n");
}

// --- Hex dumps ------------------------------------------------------------------------------------

TEST_F(LogFixture, AsciiHexForData) {
    EXPECT_EQ(QELMOR_Log::asciiHexForData(bytes({0x0A, 0xFF})), "0a ff ");
    EXPECT_EQ(QELMOR_Log::asciiHexForData({}), "");
    EXPECT_EQ(QELMOR_Log::asciiHexForData(bytes({0x00})), "00 ");
}

TEST_F(LogFixture, HexDumpOfThreeBytesShowsPercentDoubled) {
    QELMOR_Log::logData(bytes({0x41, 0x42, 0x25}));
    EXPECT_EQ(stderrText(),
              "DEBUG: testapp: 00000000  41 42 25                                          |AB%%|\n");
}

TEST_F(LogFixture, HexDumpLineLayoutAroundTheMiddleColumn) {
    QELMOR_Log::logData(sequence(8, 0x30));
    QELMOR_Log::logData(sequence(9, 0x30));
    EXPECT_EQ(stderrText(),
              "DEBUG: testapp: 00000000  30 31 32 33 34 35 36 37                           |01234567|\n"
              "DEBUG: testapp: 00000000  30 31 32 33 34 35 36 37  38                       |012345678|\n");
}

TEST_F(LogFixture, HexDumpLineBreaksAtSixteenBytes) {
    QELMOR_Log::logData(sequence(15, 0x41));
    EXPECT_EQ(stderrText(),
              "DEBUG: testapp: 00000000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f     |ABCDEFGHIJKLMNO|\n");
}

TEST_F(LogFixture, HexDumpOfSixteenBytesIsOneLine) {
    QELMOR_Log::logData(sequence(16, 0x41));
    EXPECT_EQ(stderrText(),
              "DEBUG: testapp: 00000000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|\n");
}

TEST_F(LogFixture, HexDumpOfSeventeenBytesStartsASecondLineAtOffset10) {
    QELMOR_Log::logData(sequence(17, 0x41));
    EXPECT_EQ(stderrText(),
              "DEBUG: testapp: 00000000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|\n"
              "DEBUG: testapp: 00000010  51                                                |Q|\n");
}

TEST_F(LogFixture, HexDumpShowsOnlyPrintableAscii) {
    QELMOR_Log::logData(bytes({0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xFF, 0x00, 0x0A}));
    EXPECT_EQ(stderrText(),
              "DEBUG: testapp: 00000000  1f 20 7e 7f 80 ff 00 0a                           |. ~.....|\n");
}

TEST_F(LogFixture, HexDumpOfNothingLogsNothing) {
    QELMOR_Log::logData({});
    EXPECT_EQ(stderrText(), "");
    EXPECT_EQ(buffer(), "");
}

TEST_F(LogFixture, HexDumpRecordsAreLevelOne) {
    QELMOR_Log::logData(bytes({0x1B, 0x50}));
    EXPECT_EQ(buffer(), std::string("D ") + kFixedStamp +
                            " 00000000  1b 50                                             |.P|\n");
}

TEST_F(LogFixture, LongHexDumpCountsOffsetsInHex) {
    QELMOR_Log::logData(sequence(0x101));
    std::istringstream lines(stderrText());
    std::string line;
    std::vector<std::string> all;
    while (std::getline(lines, line)) all.push_back(line);
    ASSERT_EQ(all.size(), 17u);
    EXPECT_EQ(all[15].substr(0, 26), "DEBUG: testapp: 000000f0  ");
    EXPECT_EQ(all[16], "DEBUG: testapp: 00000100  00                                                |.|");
}

// --- Threads ----------------------------------------------------------------------------------------

TEST_F(LogFixture, RecordsFromManyThreadsStayWholeAndInEachCallersOrder) {
    constexpr int kThreads = 4;
    constexpr int kRecords = 300;
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
        std::istringstream lines(text);
        std::string line;
        std::vector<int> next(kThreads, 0);
        std::regex record(linePrefix + R"(thread (\d) record (\d+) ([a-d]+))");
        int dumps = 0;
        while (std::getline(lines, line)) {
            std::smatch m;
            if (line.rfind(dumpPrefix, 0) == 0) {
                EXPECT_EQ(line.back(), '|') << line;
                ++dumps;
                continue;
            }
            ASSERT_TRUE(std::regex_match(line, m, record)) << line;
            int t = std::stoi(m[1]);
            int i = std::stoi(m[2]);
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

TEST_F(LogFixture, HexDumpLinesOfOneCallStayTogether) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 30; ++i) QELMOR_Log::logData(sequence(64, 0x41 + t));
        });
    }
    for (auto& thread : threads) thread.join();
    std::istringstream lines(stderrText());
    std::string line;
    int count = 0;
    std::string expectedOffset[4] = {"00000000", "00000010", "00000020", "00000030"};
    while (std::getline(lines, line)) {
        EXPECT_EQ(line.substr(16, 8), expectedOffset[count % 4]) << "dump interleaved at line " << count;
        ++count;
    }
    EXPECT_EQ(count, 3 * 30 * 4);
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

TEST(LogFatal, ParksTheCallingThreadInsteadOfReturning) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The thread calling fatal never comes back and does not end the process by itself; the main thread
    // ends it with its own status.
    EXPECT_EXIT(
        {
            QELMOR_Log::resetForTesting();
            std::atomic<bool> returned{false};
            std::thread caller([&] {
                QELMOR_Log::fatal("parked");
                returned = true;
            });
            caller.detach();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            _exit(returned ? 3 : 7);
        },
        ::testing::ExitedWithCode(7), "ERROR: parked");
}

}  // namespace
