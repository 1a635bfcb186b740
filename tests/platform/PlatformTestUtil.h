// Helpers shared by the platform-layer tests: scratch directories, captured log lines, bounded waits on
// queues (a deadlock fails the test instead of hanging it) and a restorer for environment variables.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/SystemLog.h"

namespace platform_test {

using namespace std::chrono_literals;

// A fresh directory under /tmp, removed with everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ovn-platform-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                     ignored);
        std::filesystem::remove_all(path_, ignored);
    }
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

// Every log line written while the object lives, with its channel; syslog itself is off meanwhile.
class LogCapture {
public:
    LogCapture() {
        ovn::SystemLog::setUseSyslog(false);
        ovn::SystemLog::setCapture([this](ovn::LogChannel channel, const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.emplace_back(channel, line);
        });
    }
    ~LogCapture() {
        ovn::SystemLog::setCapture(nullptr);
        ovn::SystemLog::setUseSyslog(true);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::pair<ovn::LogChannel, std::string>> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // Lines of the channel that contain the text.
    size_t count(ovn::LogChannel channel, const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (auto& [c, line] : lines_) n += c == channel && line.find(text) != std::string::npos;
        return n;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<ovn::LogChannel, std::string>> lines_;
};

// A one-shot flag that threads can wait for with a time limit.
class Gate {
public:
    void open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        cv_.notify_all();
    }
    bool waitFor(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, limit, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

// Polls the condition until it holds or the limit passes; whether it held.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5000ms) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return condition();
}

// Runs the block on the queue and waits for it at most `limit`; false when it did not finish in time (a
// deadlock then fails the calling test instead of hanging the whole program).
inline bool runOn(const std::shared_ptr<ovn::DispatchQueue>& queue, std::function<void()> block,
                  std::chrono::milliseconds limit = 5000ms) {
    auto done = std::make_shared<Gate>();
    queue->async([block = std::move(block), done] {
        block();
        done->open();
    });
    return done->waitFor(limit);
}

// Restores an environment variable to what it was when the object was made.
class EnvRestorer {
public:
    explicit EnvRestorer(std::string name) : name_(std::move(name)) {
        if (const char* v = getenv(name_.c_str())) old_ = v;
    }
    ~EnvRestorer() { old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str()); }
    EnvRestorer(const EnvRestorer&) = delete;
    EnvRestorer& operator=(const EnvRestorer&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Runs the check without root's right to read every file: in place when the tests do not run as root,
// otherwise in a forked child that has become "nobody". True when the check held.
inline bool checkWithoutRoot(const std::function<bool()>& check) {
    if (geteuid() != 0) return check();
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        _exit(check() ? 0 : 1);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace platform_test
