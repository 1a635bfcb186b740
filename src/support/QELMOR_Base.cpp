#include "support/QELMOR_Base.h"

#include <gnu/libc-version.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "support/QELMOR_SystemLog.h"

namespace {

struct DirectoryEntry {
    unsigned long kind;
    unsigned long domain;
    const char* path;
};

// Standard directories on Linux, in search order within each kind (user, local, system).
constexpr DirectoryEntry kDirectories[] = {
    {QELMOR_ApplicationDirectory, QELMOR_UserDomainMask, "~/.local/bin"},
    {QELMOR_ApplicationDirectory, QELMOR_LocalDomainMask, "/usr/local/bin"},
    {QELMOR_ApplicationDirectory, QELMOR_SystemDomainMask, "/usr/bin"},
    {QELMOR_LibraryDirectory, QELMOR_UserDomainMask, "~/.local/lib"},
    {QELMOR_LibraryDirectory, QELMOR_LocalDomainMask, "/usr/local/lib"},
    {QELMOR_LibraryDirectory, QELMOR_SystemDomainMask, "/usr/lib"},
    {QELMOR_UserDirectory, QELMOR_LocalDomainMask, "/home"},
    {QELMOR_DocumentationDirectory, QELMOR_UserDomainMask, "~/.local/share/doc"},
    {QELMOR_DocumentationDirectory, QELMOR_LocalDomainMask, "/usr/local/share/doc"},
    {QELMOR_DocumentationDirectory, QELMOR_SystemDomainMask, "/usr/share/doc"},
    {QELMOR_DocumentDirectory, QELMOR_UserDomainMask, "~/Documents"},
    {QELMOR_DesktopDirectory, QELMOR_UserDomainMask, "~/Desktop"},
    {QELMOR_CachesDirectory, QELMOR_UserDomainMask, "~/.cache"},
    {QELMOR_CachesDirectory, QELMOR_SystemDomainMask, "/var/cache"},
    {QELMOR_ApplicationSupportDirectory, QELMOR_UserDomainMask, "~/.local/share"},
    {QELMOR_ApplicationSupportDirectory, QELMOR_LocalDomainMask, "/usr/local/share"},
    {QELMOR_ApplicationSupportDirectory, QELMOR_SystemDomainMask, "/usr/share"},
    {QELMOR_DownloadsDirectory, QELMOR_UserDomainMask, "~/Downloads"},
    {QELMOR_MoviesDirectory, QELMOR_UserDomainMask, "~/Videos"},
    {QELMOR_MusicDirectory, QELMOR_UserDomainMask, "~/Music"},
    {QELMOR_PicturesDirectory, QELMOR_UserDomainMask, "~/Pictures"},
};

std::optional<std::string> readFirstLine(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string line;
    std::getline(in, line, '\n');
    // Device-tree strings end in a zero byte.
    while (!line.empty() && (line.back() == '\0' || line.back() == ' ' || line.back() == '\r')) line.pop_back();
    if (line.empty()) return std::nullopt;
    return line;
}

long pageSize() {
    long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? size : 4096;
}

}  // namespace

std::optional<std::string> QELMOR_Base::firstFoundDirectoryType(unsigned long kind, unsigned long domainMask) {
    if (domainMask == 0) domainMask = QELMOR_AllDomainsMask;
    for (const DirectoryEntry& entry : kDirectories) {
        if (entry.kind == kind && (entry.domain & domainMask) != 0) return std::string(entry.path);
    }
    return std::nullopt;
}

std::optional<std::map<std::string, uint64_t>> QELMOR_Base::vmStatsFromMeminfo(std::string_view meminfo,
                                                                               long pageSize) {
    if (pageSize <= 0) pageSize = 4096;
    std::istringstream in{std::string(meminfo)};
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("MemFree:", 0) != 0) continue;
        const char* p = line.c_str() + 8;
        while (*p == ' ' || *p == '\t') ++p;
        if (*p < '0' || *p > '9') return std::nullopt;
        errno = 0;
        char* end = nullptr;
        unsigned long long kb = strtoull(p, &end, 10);
        if (errno != 0 || kb > UINT64_MAX / 1024u) return std::nullopt;
        uint64_t freeBytesTotal = static_cast<uint64_t>(kb) * 1024u;
        uint64_t freePages = freeBytesTotal / static_cast<uint64_t>(pageSize);
        uint64_t freeBytes = freePages * static_cast<uint64_t>(pageSize);
        return std::map<std::string, uint64_t>{
            {"freePages", freePages}, {"freeBytes", freeBytes}, {"freeMB", freeBytes >> 20}};
    }
    return std::nullopt;
}

std::optional<std::map<std::string, uint64_t>> QELMOR_Base::vmStats() {
    std::ifstream in("/proc/meminfo");
    if (in) {
        std::stringstream text;
        text << in.rdbuf();
        if (auto stats = vmStatsFromMeminfo(text.str(), pageSize())) return stats;
    }
    // Without /proc, sysinfo(2) has the same figure.
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return std::nullopt;
    uint64_t freeBytesTotal = static_cast<uint64_t>(info.freeram) * info.mem_unit;
    uint64_t freePages = freeBytesTotal / static_cast<uint64_t>(pageSize());
    uint64_t freeBytes = freePages * static_cast<uint64_t>(pageSize());
    return std::map<std::string, uint64_t>{{"freePages", freePages}, {"freeBytes", freeBytes}, {"freeMB", freeBytes >> 20}};
}

std::optional<std::string> QELMOR_Base::hostModelAndArch() {
    struct utsname names {};
    if (uname(&names) != 0) return std::nullopt;
    std::optional<std::string> model = readFirstLine("/sys/devices/virtual/dmi/id/product_name");
    if (!model) model = readFirstLine("/proc/device-tree/model");
    return (model ? *model : std::string("unknown")) + " (" + names.machine + ")";
}

std::optional<std::string> QELMOR_Base::safeTempFile(int* fd) {
    if (fd) *fd = -1;
    const char* env = getenv("TMPDIR");
    std::string dir = (env && *env) ? env : "/tmp";
    std::string pathTemplate = dir;
    if (pathTemplate.back() != '/') pathTemplate += '/';
    pathTemplate += "XXXXXXXXXXXXXXXX";

    std::string buffer = pathTemplate;
    int descriptor = mkstemp(buffer.data());
    if (descriptor < 0) {
        int error = errno;
        QELMOR_SystemLogFormat("ERROR: failed to create temporary file %s (Error %d: %s)", pathTemplate.c_str(),
                               error, strerror(error));
        return std::nullopt;
    }
    if (fd) {
        *fd = descriptor;
    } else {
        close(descriptor);
    }
    return buffer;
}

std::string QELMOR_Base::processName() { return program_invocation_short_name; }

std::string QELMOR_Base::systemVersionInfo() {
    struct utsname names {};
    std::string system = "Linux", release = "unknown";
    if (uname(&names) == 0) {
        system = names.sysname;
        release = names.release;
    }
    double libraryVersion = atof(gnu_get_libc_version());

    unsigned long long physicalMB = 0;
    struct sysinfo info {};
    if (sysinfo(&info) == 0) {
        physicalMB = (static_cast<unsigned long long>(info.totalram) * info.mem_unit) >> 20;
    }
    long freeMB = 0;
    if (auto stats = vmStats()) freeMB = static_cast<long>(stats->at("freeMB"));
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    unsigned long cpuCount = cpus > 0 ? static_cast<unsigned long>(cpus) : 0;
    const char* byteOrder = std::endian::native == std::endian::little ? "LittleEndian"
                            : std::endian::native == std::endian::big  ? "BigEndian"
                                                                       : "Unknown";
    std::string model = hostModelAndArch().value_or("unknown");

    char head[512];
    snprintf(head, sizeof head, "%s %s foundation (%.3f);\n%lluMB (%ldMB free); %lu CPU; %s (%ld-bit); ",
             system.c_str(), release.c_str(), libraryVersion, physicalMB, freeMB, cpuCount, byteOrder, 64L);
    return std::string(head) + model;
}

std::string QELMOR_Base::startupInfo() {
    return std::string(80, '^') + "\n" + processName() + " starting up\n" + systemVersionInfo();
}
