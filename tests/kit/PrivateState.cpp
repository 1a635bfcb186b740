// Every test process keeps its update journal and history in a folder of its own, removed at its end: tests run
// in parallel, the emulated printers of different tests share serial numbers, and the journal locks an update
// per printer across processes. Programs a test starts inherit the folder.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

struct PrivateStateFolder {
    std::string dir;
    PrivateStateFolder() {
        std::string name = (std::filesystem::temp_directory_path() / "ovn-test-state-XXXXXX").string();
        if (mkdtemp(name.data())) {
            dir = name;
            setenv("XDG_STATE_HOME", dir.c_str(), 1);
        }
    }
    ~PrivateStateFolder() {
        std::error_code ignored;
        if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
    }
};

const PrivateStateFolder gPrivateStateFolder;

}  // namespace
