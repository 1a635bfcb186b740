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
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void writeText(const std::filesystem::path& path, const std::string& text) {
    writeBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

inline std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// The delivered data of the build tree (the directory the programs use when no override is set).
inline std::filesystem::path deliveredDirectory() { return Bundle::resourceDirectory(); }

// A fresh directory that is removed again, and that serves as the directory of delivered data meanwhile.
class TempResources {
public:
    TempResources() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ovn-fw-test-XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        const char* made = mkdtemp(buf.data());
        EXPECT_NE(made, nullptr);
        dir_ = made ? made : "";
        source_ = Bundle::resourceDirectory();
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
    // Copies a delivered file into this directory.
    void copyDelivered(const std::string& name) const {
        std::filesystem::copy_file(source_ / name, dir_ / name, std::filesystem::copy_options::overwrite_existing);
    }

private:
    std::filesystem::path dir_;
    std::filesystem::path source_;
};

// Collects the system-log lines written while it exists.
class LogCapture {
public:
    LogCapture() {
        SystemLog::setUseSyslog(false);
        SystemLog::setCapture([this](LogChannel channel, const std::string& line) {
            if (channel != LogChannel::System) return;
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~LogCapture() { SystemLog::setCapture(nullptr); }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    bool contains(const std::string& line) const {
        auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }
    size_t count(const std::string& line) const {
        auto all = lines();
        return static_cast<size_t>(std::count(all.begin(), all.end(), line));
    }
    bool anyStartsWith(const std::string& prefix) const {
        for (const auto& l : lines())
            if (l.rfind(prefix, 0) == 0) return true;
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace ovn::test
