// The application's delivered data (firmware and colour-table files, pictures) and its identity.
#pragma once

#include <optional>
#include <string>

namespace ovn {

class Bundle {
public:
    // The directory of delivered data: $OVN_RESOURCE_DIR when set, else the build tree's resources when the
    // program runs from the build tree, else <prefix>/share/ovn-utility next to the installed program.
    static std::string resourceDirectory();
    static void setResourceDirectory(const std::string& dir);  // tests
    // The full path of a delivered file, or nothing when it does not exist.
    static std::optional<std::string> pathForResource(const std::string& name);
    static std::string shortVersionString();  // "1.0.0"
    static std::string executablePath();      // /proc/self/exe
};

}  // namespace ovn
