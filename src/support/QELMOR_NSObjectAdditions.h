// Object-level helpers of the support library.
#pragma once

#include <optional>
#include <string>

namespace QELMOR_NSObjectAdditions {

// Path of the running executable, as UTF-8; none when it cannot be learned or is not valid UTF-8.
// Linux has no executable-path call; the kernel's /proc/self/exe link gives the same answer.
std::optional<std::string> pathToSelf();

}  // namespace QELMOR_NSObjectAdditions
