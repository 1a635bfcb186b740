// Helpers of the firmware tests: a temporary directory of delivered data, captured system-log lines.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Bundle.h"
#include "platform/SystemLog.h"

namespace ovn::test {

inline std::vector<uint8_t> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
inline std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }
inline void writeText(const std::filesystem::path& path, const std::string& text) { writeBytes(path, bytesOf(text)); }
// The delivered data of the build tree (the directory the programs use when no override is set).
inline std::filesystem::path deliveredDirectory() { return Bundle::resourceDirectory(); }

// A fresh directory that serves as the directory of delivered data while it exists.
class TempResources {
public:
    TempResources() : source_(Bundle::resourceDirectory()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "ovn-fw-test-XXXXXX").string();
        const char* made = mkdtemp(pattern.data());
        EXPECT_NE(made, nullptr);
        dir_ = made ? made : "";
        Bundle::setResourceDirectory(dir_.string());
    }
    ~TempResources() {
        Bundle::setResourceDirectory("");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TempResources(const TempResources&) = delete;
    TempResources& operator=(const TempResources&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    std::filesystem::path path(const std::string& name) const { return dir_ / name; }
    void copyDelivered(const std::string& name) const {
        std::filesystem::copy_file(source_ / name, dir_ / name, std::filesystem::copy_options::overwrite_existing);
    }

private:
    std::filesystem::path dir_, source_;
};

// Collects the system-log lines written while it exists.
class LogCapture {
public:
    LogCapture() {
        SystemLog::setUseSyslog(false);
        SystemLog::setCapture([this](LogChannel channel, const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (channel == LogChannel::System) lines_.push_back(line);
        });
    }
    ~LogCapture() { SystemLog::setCapture(nullptr); }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    size_t count(const std::string& line) const {
        auto all = lines();
        return static_cast<size_t>(std::count(all.begin(), all.end(), line));
    }
    bool contains(const std::string& line) const { return count(line) > 0; }
    bool anyStartsWith(const std::string& prefix) const {
        auto all = lines();
        return std::any_of(all.begin(), all.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace ovn::test
