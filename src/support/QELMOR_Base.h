// Class-level diagnostics of the support library: host model and memory, an operating-system summary
// for start-up banners, safe temporary files and standard directories. QELMOR_Log derives from it.
//
// The figures come from Linux: uname(2) for the system name, release and architecture, sysinfo(2) and
// /proc/meminfo for memory, sysconf(3) for page size and processors, and the DMI (or device-tree)
// product name for the hardware model.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// Kinds of standard directory (numbered as on the platform).
enum QELMOR_SearchPathDirectory : unsigned long {
    QELMOR_ApplicationDirectory = 1,
    QELMOR_LibraryDirectory = 5,
    QELMOR_UserDirectory = 7,
    QELMOR_DocumentationDirectory = 8,
    QELMOR_DocumentDirectory = 9,
    QELMOR_DesktopDirectory = 12,
    QELMOR_CachesDirectory = 13,
    QELMOR_ApplicationSupportDirectory = 14,
    QELMOR_DownloadsDirectory = 15,
    QELMOR_MoviesDirectory = 17,
    QELMOR_MusicDirectory = 18,
    QELMOR_PicturesDirectory = 19,
};

// Domains searched for standard directories, in this order: user, local, network, system.
enum QELMOR_SearchPathDomainMask : unsigned long {
    QELMOR_UserDomainMask = 1,
    QELMOR_LocalDomainMask = 2,
    QELMOR_NetworkDomainMask = 4,
    QELMOR_SystemDomainMask = 8,
    QELMOR_AllDomainsMask = 0x0ffff,
};

class QELMOR_Base {
public:
    // First standard directory of that kind in the given domains (0 means all domains); user-domain
    // paths start with "~" (not expanded). None when no domain has that kind of directory.
    // On Linux: user directories follow the XDG layout (~/Documents, ~/.cache, ~/.local/share ...),
    // local ones live under /usr/local, system ones under /usr; there is no network domain.
    static std::optional<std::string> firstFoundDirectoryType(unsigned long kind, unsigned long domainMask);

    // "freePages", "freeBytes" (freePages x page size) and "freeMB" (freeBytes >> 20); none when the
    // figures cannot be had.
    static std::optional<std::map<std::string, uint64_t>> vmStats();
    // The same from a /proc/meminfo text (MemFree in kB) and a page size; none without MemFree.
    static std::optional<std::map<std::string, uint64_t>> vmStatsFromMeminfo(std::string_view meminfo,
                                                                            long pageSize);

    // "model (architecture)", e.g. "Standard PC (Q35 + ICH9, 2009) (x86_64)"; the model is "unknown"
    // when the firmware does not name one. None when the architecture cannot be learned.
    static std::optional<std::string> hostModelAndArch();

    // Creates a new, empty, uniquely named file in $TMPDIR (or /tmp) and returns its path. With fd, the
    // open descriptor is handed over there (-1 on failure); without, the file is closed at once.
    // A failure is logged to the system log and gives none.
    static std::optional<std::string> safeTempFile(int* fd = nullptr);

    // "<system> <release> foundation (<C library version>);\n<MB>MB (<free>MB free); <n> CPU;
    // <byte order> (64-bit); <model (arch)>"
    static std::string systemVersionInfo();

    // A line of 80 carets, "<process> starting up", then systemVersionInfo.
    static std::string startupInfo();

    // The process name (the short program name).
    static std::string processName();

protected:
    QELMOR_Base() = default;
};
