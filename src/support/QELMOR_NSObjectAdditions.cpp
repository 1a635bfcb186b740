#include "support/QELMOR_NSObjectAdditions.h"

#include <unistd.h>

#include <vector>

#include "support/QELMOR_NSStringAdditions.h"

namespace QELMOR_NSObjectAdditions {

std::optional<std::string> pathToSelf() {
    // readlink does not say how long the target is, so grow the buffer until the path fits.
    for (size_t size = 256; size <= 65536; size *= 2) {
        std::vector<char> buf(size);
        ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return std::nullopt;
        if (static_cast<size_t>(n) < buf.size()) {
            std::string path(buf.data(), static_cast<size_t>(n));
            if (!QELMOR_NSStringAdditions::isValidUTF8(path)) return std::nullopt;
            return path;
        }
    }
    return std::nullopt;
}

}  // namespace QELMOR_NSObjectAdditions
