#include "platform/Localization.h"

#include <mutex>

namespace ovn {

namespace {
std::mutex gLocalizationMutex;
std::function<std::string(const std::string&)> gTranslator;
}  // namespace

std::string Localized(const std::string& english) {
    std::function<std::string(const std::string&)> translator;
    {
        std::lock_guard<std::mutex> lock(gLocalizationMutex);
        translator = gTranslator;
    }
    if (!translator) return english;
    std::string text = translator(english);
    return text.empty() ? english : text;
}

void setTranslator(std::function<std::string(const std::string&)> translator) {
    std::lock_guard<std::mutex> lock(gLocalizationMutex);
    gTranslator = std::move(translator);
}

}  // namespace ovn
