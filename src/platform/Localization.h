// Localised texts: the English text is the key and the fallback. The desktop program installs a translator
// (Qt's); the core and the command-line program use the English text.
#pragma once

#include <functional>
#include <string>

namespace ovn {

std::string Localized(const std::string& english);
void setTranslator(std::function<std::string(const std::string& english)> translator);

}  // namespace ovn
