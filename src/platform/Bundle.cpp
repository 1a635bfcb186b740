#include "platform/Bundle.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#ifndef OVN_BUILD_RESOURCE_DIR
#define OVN_BUILD_RESOURCE_DIR ""
#endif
#ifndef OVN_INSTALL_RESOURCE_DIR
#define OVN_INSTALL_RESOURCE_DIR "/usr/share/ovn-utility"
#endif
#ifndef OVN_VERSION
#define OVN_VERSION "1.0.0"
#endif

namespace ovn {

namespace {
std::mutex gBundleMutex;
std::string gOverride;
}  // namespace

std::string Bundle::executablePath() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

std::string Bundle::resourceDirectory() {
    {
        std::lock_guard<std::mutex> lock(gBundleMutex);
        if (!gOverride.empty()) return gOverride;
    }
    if (const char* env = getenv("OVN_RESOURCE_DIR"); env && *env) return env;
    namespace fs = std::filesystem;
    std::error_code ec;
    // Installed next to the program: <prefix>/bin/x -> <prefix>/share/ovn-utility
    fs::path exe(executablePath());
    if (!exe.empty()) {
        fs::path installed = exe.parent_path().parent_path() / "share" / "ovn-utility";
        if (fs::is_directory(installed, ec)) return installed.string();
    }
    std::string build = OVN_BUILD_RESOURCE_DIR;
    if (!build.empty() && fs::is_directory(build, ec)) return build;
    return OVN_INSTALL_RESOURCE_DIR;
}

void Bundle::setResourceDirectory(const std::string& dir) {
    std::lock_guard<std::mutex> lock(gBundleMutex);
    gOverride = dir;
}

std::optional<std::string> Bundle::pathForResource(const std::string& name) {
    // Only names inside the directory: an absolute name would replace the directory altogether.
    if (name.empty() || name.front() == '/' || name.find("..") != std::string::npos) return std::nullopt;
    std::filesystem::path p = std::filesystem::path(resourceDirectory()) / name;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(p, ec)) return std::nullopt;
    return p.string();
}

std::string Bundle::shortVersionString() { return OVN_VERSION; }

}  // namespace ovn
