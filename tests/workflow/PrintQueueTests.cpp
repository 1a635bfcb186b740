// The print-queue clean-up against a real printing-system server: a private cupsd with its own configuration,
// socket, spool, cache and logs, reached through CUPS_SERVER. Queues whose device URI names QP-PL35 directly
// followed by "?" are deleted; all others stay.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "kit/Kit.h"

extern char** environ;

namespace fs = std::filesystem;
using ovn::sim::PrinterModel;
using namespace kit;

namespace {

// Output and exit status of a shell command.
std::pair<std::string, int> run(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return {"", -1};
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
    int status = ::pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// A cupsd of our own, in the foreground, killed by its process id at the end.
class PrivateCups {
public:
    PrivateCups() {
        char pattern[] = "/tmp/ovn-cups-XXXXXX";
        if (!::mkdtemp(pattern)) return;
        dir_ = pattern;
        ::chmod(dir_.c_str(), 0755);
        for (const char* sub : {"spool", "spool/tmp", "cache", "state", "log", "ppd"}) fs::create_directories(dir_ / sub);
        socket_ = (dir_ / "cups.sock").string();

        // cupsd refuses to run its filters as root: as root it runs them as lp (or nobody).
        const bool root = ::geteuid() == 0;
        std::string user, groupName;
        if (root) {
            user = ::getpwnam("lp") ? "lp" : "nobody";
            groupName = ::getgrnam("lp") ? "lp" : (::getgrnam("nogroup") ? "nogroup" : "nobody");
        } else {
            const struct passwd* pw = ::getpwuid(::geteuid());
            const struct group* gr = ::getgrgid(::getegid());
            user = pw ? pw->pw_name : "nobody";
            groupName = gr ? gr->gr_name : "nogroup";
        }
        std::ofstream files(dir_ / "cups-files.conf");
        files << "User " << user << "\nGroup " << groupName << "\nSystemGroup " << (root ? "root" : groupName) << "\n"
              << "ServerRoot " << dir_.string() << "\nRequestRoot " << (dir_ / "spool").string()
              << "\nTempDir " << (dir_ / "spool/tmp").string() << "\nCacheDir " << (dir_ / "cache").string()
              << "\nStateDir " << (dir_ / "state").string() << "\nAccessLog " << (dir_ / "log/access_log").string()
              << "\nErrorLog " << (dir_ / "log/error_log").string() << "\nPageLog " << (dir_ / "log/page_log").string()
              << "\nFileDevice Yes\n";
        files.close();
        std::ofstream conf(dir_ / "cupsd.conf");
        conf << "Listen " << socket_ << "\nLogLevel warn\nWebInterface No\nBrowsing No\nDefaultAuthType None\n"
             << "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
             << "<Location /admin>\n  Order allow,deny\n  Allow all\n</Location>\n"
             << "<Policy default>\n  <Limit All>\n    Order allow,deny\n    Allow all\n  </Limit>\n</Policy>\n";
        conf.close();

        const std::string cupsd = fs::exists("/usr/sbin/cupsd") ? "/usr/sbin/cupsd" : "cupsd";
        const std::string confPath = (dir_ / "cupsd.conf").string();
        const std::string filesPath = (dir_ / "cups-files.conf").string();
        std::vector<std::string> args{cupsd, "-f", "-c", confPath, "-s", filesPath};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string outPath = (dir_ / "log/stdout").string();
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (::posix_spawnp(&pid_, cupsd.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        if (!pid_) return;

        const char* previous = std::getenv("CUPS_SERVER");
        if (previous) previousServer_ = previous;
        ::setenv("CUPS_SERVER", socket_.c_str(), 1);
        for (int i = 0; i < 100 && !running_; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;  // it ended: its configuration or permissions were refused
                break;
            }
            if (fs::exists(socket_)) {
                const std::string answer = run("lpstat -r").first;
                running_ = answer.find("scheduler is running") != std::string::npos;
            }
            if (!running_) ::usleep(100 * 1000);
        }
    }

    ~PrivateCups() {
        if (pid_) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            for (int i = 0; i < 50 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) ::usleep(100 * 1000);
            if (::waitpid(pid_, &status, WNOHANG) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
        }
        if (previousServer_)
            ::setenv("CUPS_SERVER", previousServer_->c_str(), 1);
        else
            ::unsetenv("CUPS_SERVER");
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }

    bool running() const { return running_; }
    std::string errorLog() const {
        std::ifstream in(dir_ / "log/error_log");
        std::ifstream out(dir_ / "log/stdout");
        std::stringstream s;
        s << in.rdbuf() << out.rdbuf();
        return s.str();
    }

    // Queue name -> device URI, as lpstat -v lists them.
    std::map<std::string, std::string> queues() const {
        std::map<std::string, std::string> q;
        std::istringstream lines(run("lpstat -v").first);
        std::string line;
        while (std::getline(lines, line)) {
            const std::string prefix = "device for ";
            auto colon = line.find(": ");
            if (line.rfind(prefix, 0) != 0 || colon == std::string::npos) continue;
            q[line.substr(prefix.size(), colon - prefix.size())] = line.substr(colon + 2);
        }
        return q;
    }

private:
    fs::path dir_;
    std::string socket_;
    pid_t pid_ = 0;
    bool running_ = false;
    std::optional<std::string> previousServer_;
};


}  // namespace

TEST(PrintQueues, SwitchingTheSerialSettingDeletesOnlyQueuesOfSerialNumberedPL35Uris) {
    PrivateCups cups;
    if (!cups.running()) GTEST_SKIP() << "cupsd could not be started: " << cups.errorLog();

    const std::map<std::string, std::string> made{
        {"pl35_serial", "usb://OVN/QP-PL35?serial=7C1004721"},
        {"pl35_serial_if", "usb://OVN/QP-PL35?serial=7C1004722&interface=1"},
        {"pl35_plain", "usb://OVN/QP-PL35"},
        {"pl35_suffix", "usb://OVN/QP-PL35A?serial=1"},
        {"pl45_serial", "usb://OVN/QP-PL45?serial=8E0001"},
        {"file_queue", "file:///dev/null"},
    };
    for (const auto& [name, uri] : made) {
        auto [out, status] = run("lpadmin -p " + name + " -v " + quoted(uri) + " -E");
        ASSERT_EQ(status, 0) << name << ": " << out;
    }
    ASSERT_EQ(cups.queues().size(), made.size());

    // The clean-up runs after the USB iSerial setting of a PL35 was written.
    Rig rig;
    Slot& s = rig.plugAndConnect(PrinterModel::PL35);
    ASSERT_TRUE(rig.waitProbed(s));
    rig.settle();
    auto printer = rig.listed(s);
    onMain([&] { printer->setUsbISerial(true); });
    ASSERT_TRUE(pumpUntil([&] { return Log::contains("print queue clean-up finished"); }, 20000));
    rig.settle();

    const auto left = cups.queues();
    std::set<std::string> names;
    for (const auto& [name, uri] : left) names.insert(name);
    EXPECT_EQ(names, (std::set<std::string>{"pl35_plain", "pl35_suffix", "pl45_serial", "file_queue"}));
    EXPECT_EQ(left.at("pl35_plain"), "usb://OVN/QP-PL35");
    EXPECT_TRUE(Log::contains(
        "for q in $(lpstat -v|awk '/QP-PL35[?]/ {print $3}');do lpadmin -x ${q%:};done"));
}
