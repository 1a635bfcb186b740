// Shared fixtures of the support-library tests: a log facility reset to its defaults with standard error and
// the system log captured, a fixed clock, and scratch directories.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "support/QELMOR_Log.h"
#include "support/QELMOR_SystemLog.h"

namespace support_test {

// A fresh directory under /tmp, removed with everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ovn-support-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~ScratchDir() { std::error_code ignored; std::filesystem::remove_all(path_, ignored); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

inline unsigned fileMode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

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

}  // namespace support_test
