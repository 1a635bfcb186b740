// Runs ovnctl as a subprocess with pipes on its three standard streams, and reads its USB trace file.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace clitest {

struct Outcome {
    int status = -1;  // exit status; 128 + signal when killed
    std::string out;
    std::string err;
};

// A running ovnctl.
class Child {
public:
    Child(const std::vector<std::string>& args, const std::string& input, const std::vector<std::string>& env = {}) {
        int in[2], out[2], err[2];
        if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
            for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> argv;
            std::string path = OVNCTL_PATH;
            argv.push_back(path.data());
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        if (!input.empty()) (void)!write(in[1], input.data(), input.size());
        close(in[1]);  // end of input after the scripted answers
        outFd_ = out[0];
        errFd_ = err[0];
    }

    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (outFd_ >= 0) close(outFd_);
        if (errFd_ >= 0) close(errFd_);
    }

    // Reads what is there, waiting at most `ms`; false once both streams are closed.
    bool pump(int ms) {
        if (outFd_ < 0 && errFd_ < 0) return false;
        pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
        if (poll(fds, 2, ms) <= 0) return true;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                (i == 0 ? outFd_ : errFd_) = -1;
            } else {
                (i == 0 ? outcome_.out : outcome_.err).append(buf, static_cast<size_t>(n));
            }
        }
        return true;
    }

    bool waitForOutput(const std::string& text, int ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (outcome_.out.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline || !pump(50)) return false;
        }
        return true;
    }

    void signal(int sig) { kill(pid_, sig); }

    // Waits for the end (killing it after `ms`).
    Outcome finish(int ms = 60000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (pump(50)) {
            if (std::chrono::steady_clock::now() >= deadline) {
                kill(pid_, SIGKILL);
                ADD_FAILURE() << "ovnctl did not end in time; stderr so far:\n" << outcome_.err;
                break;
            }
        }
        int raw = 0;
        waitpid(pid_, &raw, 0);
        reaped_ = true;
        outcome_.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return outcome_;
    }

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool reaped_ = false;
    Outcome outcome_;
};

inline Outcome runCtl(const std::vector<std::string>& args, const std::string& input = "",
                      const std::vector<std::string>& env = {}) {
    Child child(args, input, env);
    return child.finish();
}

// A fresh temporary directory per test.
inline std::filesystem::path tempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    auto dir = std::filesystem::temp_directory_path() /
               ("ovnctl-test-" + std::to_string(getpid()) + "-" + info->test_suite_name() + "-" + info->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// The trace file's transfers.
inline std::vector<nlohmann::json> readTrace(const std::filesystem::path& path) {
    std::vector<nlohmann::json> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        lines.push_back(nlohmann::json::parse(line, nullptr, false));
    }
    return lines;
}

// Bulk OUT transfers whose bytes begin with this hex text.
inline std::vector<nlohmann::json> framesStartingWith(const std::vector<nlohmann::json>& trace, const std::string& hex) {
    std::vector<nlohmann::json> out;
    for (const auto& t : trace) {
        if (!t.is_object() || t.value("direction", "") != "out" || t.value("transfer", "") != "bulk") continue;
        if (t.value("hex", "").rfind(hex, 0) == 0) out.push_back(t);
    }
    return out;
}

inline std::string hexOf(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// A command frame as the wire layout has it: ESC "P", the six-character category, the subcommand, blanks up to
// byte 24, the payload length as eight digits (blanks without payload), the payload.
inline std::string frameHex(const std::string& category, const std::string& subcommand, const std::string& payload = "") {
    std::string frame(32, ' ');
    frame[0] = '\x1b';
    frame[1] = 'P';
    frame.replace(2, category.size(), category);
    frame.replace(8, subcommand.size(), subcommand);
    if (!payload.empty()) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%08zu", payload.size());
        frame.replace(24, 8, digits);
    }
    return hexOf(frame + payload);
}

inline size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

inline size_t lineCount(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

}  // namespace clitest
