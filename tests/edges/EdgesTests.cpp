// The edges around the core, as a user meets them: the settings file, the trace file, standard output, the
// options and the messages of ovnctl (run as a subprocess with --simulate).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Classes/ZVPrinters.h"
#include "kit/Kit.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"

namespace fs = std::filesystem;

namespace {

using Outcome = kit::Program::Outcome;

using kit::readFile;
using kit::writeFile;

std::string shellWord(const std::string& word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class Edges : public ::testing::Test {
protected:
    kit::TempDir scratch;
    const fs::path dir = scratch.path();

    // Runs `PREFIX ovnctl ARGS REDIRECT` in a shell in the scratch folder; standard error is always kept.
    Outcome ctl(const std::vector<std::string>& args, const std::string& redirect = ">out", const std::string& prefix = "") {
        std::string command = "cd " + shellWord(dir.string()) + " && " + prefix + " " + shellWord(OVNCTL_PATH);
        for (const auto& a : args) command += " " + shellWord(a);
        command += " " + redirect + " 2>err";
        Outcome run;
        const int raw = std::system(("sh -c " + shellWord(command)).c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = readFile(dir / "out");
        run.err = readFile(dir / "err");
        fs::remove(dir / "out");
        return run;
    }
};

// Lines of a text that are not one JSON object each.
std::vector<std::string> nonJsonLines(const std::string& text) {
    std::vector<std::string> bad;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (!nlohmann::json::parse(line, nullptr, false).is_object()) bad.push_back(line);
    return bad;
}

// What the program warned about since the capture began (system log and standard error).
std::string warned() {
    std::string text;
    for (const auto& line : kit::Log::lines()) text += line + "\n";
    return text;
}

}  // namespace

TEST_F(Edges, SettingsFileIsNeverWrittenOverAndItsProblemsAreNamed) {
    struct Case {
        const char* name;
        std::string contents;
        std::vector<std::string> named;  // in the warning, besides the file
    };
    const std::vector<Case> cases = {
        {"trailing comma", R"({"additionalProductIDs": ["0x5C01",],})", {"not valid JSON"}},
        {"empty", "", {"empty"}},
        {"array", R"(["0x5C01"])", {"array"}},
        {"wrong entries", R"({"additionalProductIDs": ["0x5C01", 5, [[]], "0xZZ"], "theirs": {"x": 1}})",
         {"entry 5 is not a text", "entry [[]] is not a text"}},
    };
    for (const auto& c : cases) {
        const fs::path file = dir / (std::string(c.name) + ".json");
        writeFile(file, c.contents);
        kit::Log::Capture warnings;
        {
            ovn::FileUserDefaults defaults(file.string());
            defaults.setObject("prefDisplayVersionString", std::string("9.9"));
            EXPECT_EQ(defaults.stringForKey("prefDisplayVersionString"), "9.9") << c.name;
        }
        const std::string after = readFile(file);
        EXPECT_NE(warned().find(file.string()), std::string::npos) << c.name << ": " << warned();
        for (const auto& word : c.named) EXPECT_NE(warned().find(word), std::string::npos) << c.name;
        if (std::string(c.name) == "wrong entries") {
            // Usable: the write keeps every entry it does not set, as it was.
            auto json = nlohmann::json::parse(after);
            EXPECT_EQ(json["additionalProductIDs"], nlohmann::json::parse(R"(["0x5C01", 5, [[]], "0xZZ"])"));
            EXPECT_EQ(json["theirs"]["x"], 1);
            EXPECT_EQ(json["prefDisplayVersionString"], "9.9");
        } else {
            EXPECT_EQ(after, c.contents) << c.name << ": a damaged file is never written over";
        }
    }
    // An entry that is a text but no product ID is named too, and the good ones are used.
    auto store = std::make_shared<ovn::FileUserDefaults>((dir / "wrong entries.json").string());
    ovn::UserDefaults::setStandard(store);
    kit::Log::Capture warnings;
    const auto ids = ZVPrinters::productIDsFromUserDefaults();
    ovn::UserDefaults::setStandard(std::make_shared<ovn::MemoryUserDefaults>());
    EXPECT_EQ(ids, ZVPrinters::IndexSet{0x5C01});
    EXPECT_NE(warned().find(store->path() + ": ignoring additionalProductIDs entry \"0xZZ\""), std::string::npos)
        << warned();
}

TEST_F(Edges, SettingsWritesKeepModeFollowSymlinksAndLeaveNoTemporaryFile) {
    fs::create_directories(dir / "real");
    const fs::path target = dir / "real" / "defaults.json", link = dir / "defaults.json";
    writeFile(target, R"({"theirs": [1, 2]})");
    ASSERT_EQ(chmod(target.c_str(), 0600), 0);
    fs::create_symlink(target, link);
    ovn::FileUserDefaults(link.string()).setObject("installOlderFirmwareVersion", true);

    EXPECT_TRUE(fs::is_symlink(link)) << "the link stays a link";
    auto json = nlohmann::json::parse(readFile(target));
    EXPECT_EQ(json["installOlderFirmwareVersion"], true);
    EXPECT_EQ(json["theirs"], nlohmann::json::parse("[1, 2]"));
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "real"), fs::directory_iterator{}), 1);
}

TEST_F(Edges, OptionsOutOfRangeAreUsageErrorsNamingTheRange) {
    std::string many = "PL25D";
    for (int i = 0; i < 256; ++i) many += ",PL25D";
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> said;
    };
    const std::vector<Case> cases = {
        {{"--timeout=1e10", "list"}, {"1 to 86400"}},
        {{"--timeout=nan", "list"}, {"1 to 86400"}},
        {{"--timeout=0", "list"}, {"1 to 86400"}},
        {{"--timeout=1.5", "list"}, {"1 to 86400"}},
        {{"--timeout=-3", "list"}, {"1 to 86400"}},
        {{"--simulate", many, "list"}, {"at most 256"}},
        {{"--simulate", "PL25D:fault=bogus", "list"}, {"noreply", "powerloss"}},
        {{"--trace-usb", "/dev/full", "list"}, {"neither a regular file nor a FIFO"}},
    };
    for (const auto& c : cases) {
        auto args = c.args;
        if (args.front() != "--simulate") args.insert(args.begin(), {"--simulate", "PL25D"});
        const Outcome run = ctl(args);
        EXPECT_EQ(run.status, 2) << c.args.front() << " " << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        for (const auto& word : c.said) EXPECT_NE(run.err.find(word), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST_F(Edges, TraceFileIsNeverASymlinkAndHoldsWholeLines) {
    fs::create_symlink(dir / "elsewhere.jsonl", dir / "link.jsonl");
    Outcome refused = ctl({"--simulate", "PL25D", "--trace-usb", "link.jsonl", "list"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("symbolic link"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(dir / "elsewhere.jsonl")) << "the link's target is not created";

    // A last line without its newline: the trace starts a line of its own.
    writeFile(dir / "trace.jsonl", "earlier");
    ASSERT_EQ(ctl({"--simulate", "PL25D", "--trace-usb", "trace.jsonl", "list"}).status, 0);
    const std::string trace = readFile(dir / "trace.jsonl");
    EXPECT_EQ(trace.rfind("earlier\n{", 0), 0u) << trace.substr(0, 40);
    EXPECT_EQ(nonJsonLines(trace), std::vector<std::string>{"earlier"});

    // A file that can take no more (1 KiB limit): said at once, the run fails, the file ends with a whole line.
    Outcome full = ctl({"--simulate", "PL25D", "--trace-usb", "small.jsonl", "list"}, ">out",
                   "ulimit -f 1; trap '' XFSZ;");
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("write error"), std::string::npos) << full.err;
    EXPECT_NE(full.out.find("PL25D"), std::string::npos) << "the results still come";
    const std::string small = readFile(dir / "small.jsonl");
    EXPECT_TRUE(nonJsonLines(small).empty());
    EXPECT_EQ(small.back(), '\n');
}

TEST_F(Edges, ResultsThatDoNotReachStandardOutputFailTheRun) {
    for (const std::string redirect : {">/dev/full", ">&-"}) {
        const Outcome run = ctl({"--simulate", "PL25D", "list"}, redirect);
        EXPECT_EQ(run.status, 1) << redirect;
        EXPECT_NE(run.err.find("write error"), std::string::npos) << redirect << ": " << run.err;
    }
    EXPECT_EQ(ctl({"--help"}, ">/dev/full").status, 1);
}

TEST_F(Edges, MessagesNameWhatTheUserCanActOn) {
    fs::copy(OVN_RESOURCE_DIR_FOR_TESTS, dir / "res", fs::copy_options::recursive);
    std::ofstream(dir / "res" / "PL25DUP 1.40PRN.fw", std::ios::app) << "S9030000FC\n";
    struct Case {
        std::string prefix;
        std::vector<std::string> args;
        std::vector<std::string> said, unsaid;
    };
    const std::vector<Case> cases = {
        {"", {"--simulate", "PL35", "list"}, {"OVN PL35", "--accept-product 0x5C01"}, {}},
        {"", {"--simulate", "PL25D:fw=PL35 1e300", "update-firmware", "--yes"}, {"version PL35 1e300 installed"},
         {"1000000000"}},
        {"OVN_RESOURCE_DIR=nowhere", {"--simulate", "PL25D", "update-firmware", "--yes"},
         {"-- File corruption --", "Contact customer support.", "\"PL25DUP 1.40PRN.fw\": missing",
          "OVN_RESOURCE_DIR names \"nowhere\", a folder that does not exist"}, {}},
        {"OVN_RESOURCE_DIR=res", {"--simulate", "PL25D", "update-firmware", "--yes"},
         {"-- File corruption --", "\"PL25DUP 1.40PRN.fw\": wrong hash; resource folder searched: res"}, {}},
    };
    for (const auto& c : cases) {
        const Outcome run = ctl(c.args, ">out", c.prefix.empty() ? "" : "env " + c.prefix);
        for (const auto& word : c.said) EXPECT_NE(run.err.find(word), std::string::npos) << word << "\n" << run.err;
        for (const auto& word : c.unsaid) EXPECT_EQ(run.err.find(word), std::string::npos) << word << "\n" << run.err;
    }
    const Outcome help = ctl({"--help"});
    for (const char* word : {"PL15 0x0101", "PL25 0x0102", "PL-MV1 0x0103", "PL25D 0x0106", "PL35 0x5C01",
                             "PL45 0x5D01", "noreply", "powerloss", "MNT_WT.COUNTER_CLR", "1 to 86400"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

TEST_F(Edges, InteractiveJsonRunsKeepPromptsOutOfTheJson) {
    writeFile(dir / "answers", "y\n2\n1\n");
    const Outcome run = ctl({"--json", "--simulate", "PL25D", "update-firmware"}, "<answers >out", "setsid");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(nonJsonLines(run.err).empty()) << run.err;
    EXPECT_NE(run.err.find("\"phase\":\"prompt\""), std::string::npos) << run.err;
    EXPECT_TRUE(nlohmann::json::parse(run.out, nullptr, false).is_object()) << run.out;
}
