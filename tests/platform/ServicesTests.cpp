// Localised texts, resource lookup and observable properties.
#include <gtest/gtest.h>

#include "kit/Kit.h"
#include "platform/Bundle.h"
#include "platform/Localization.h"
#include "platform/Observable.h"

TEST(Localization, EnglishIsTheKeyAndTheFallback) {
    EXPECT_EQ(ovn::Localized("Firmware Update"), "Firmware Update");
    ovn::setTranslator([](const std::string& english) -> std::string {
        if (english == "Firmware Update") return "Mise à jour du micrologiciel";
        return "";  // not translated
    });
    EXPECT_EQ(ovn::Localized("Firmware Update"), "Mise à jour du micrologiciel");
    EXPECT_EQ(ovn::Localized("Cancel"), "Cancel") << "an untranslated text falls back to English";
    ovn::setTranslator(nullptr);
}

TEST(Bundle, ResourcesAreFoundOnlyInsideTheResourceDirectory) {
    kit::TempDir dir;
    const std::string previous = ovn::Bundle::resourceDirectory();
    std::filesystem::create_directories(dir.file("firmware"));
    kit::writeFile(dir.file("firmware/PL25.srec"), "S0");
    ovn::Bundle::setResourceDirectory(dir.path().string());
    EXPECT_EQ(ovn::Bundle::pathForResource("firmware/PL25.srec"), dir.file("firmware/PL25.srec"));
    EXPECT_FALSE(ovn::Bundle::pathForResource("firmware/missing.srec"));
    EXPECT_FALSE(ovn::Bundle::pathForResource("firmware")) << "a directory is not a resource";
    EXPECT_FALSE(ovn::Bundle::pathForResource(""));
    kit::writeFile(dir.file("outside.bin"), "x");
    ovn::Bundle::setResourceDirectory(dir.file("firmware"));
    EXPECT_FALSE(ovn::Bundle::pathForResource("../outside.bin"));
    EXPECT_FALSE(ovn::Bundle::pathForResource(dir.file("outside.bin"))) << "absolute names are refused";
    ovn::Bundle::setResourceDirectory(previous);
}

// Observers registered for the new value and the prior call are told, in order, before and after each change,
// the value after it; observers without the options get no value, and a token that goes removes its observer.
TEST(Observable, ObserversAreToldTheNewValueAfterThePriorCall) {
    class Thing : public ovn::Observable {
    public:
        ovn::Value valueForKey(const std::string& key) const override {
            return key == "x" ? ovn::Value(x) : ovn::Value();
        }
        void set(int64_t value) {
            willChangeValueForKey("x");
            x = value;
            didChangeValueForKey("x");
        }
        int64_t x = 0;
    } thing;
    std::vector<std::string> both, plain;
    auto record = [](std::vector<std::string>& into) {
        return [&into](const std::string& key, const ovn::KeyValueChange& change) {
            into.push_back(key + (change.isPrior ? " before " : " after ") + ovn::describeValue(change.newValue));
        };
    };
    auto withBoth = thing.observe("x", record(both), ovn::Observable::NewValue | ovn::Observable::Prior);
    {
        auto withNone = thing.observe("x", record(plain), 0);
        thing.set(7);
    }
    thing.set(9);
    EXPECT_EQ(both, (std::vector<std::string>{"x before " + ovn::describeValue(ovn::Value()), "x after 7",
                                              "x before " + ovn::describeValue(ovn::Value()), "x after 9"}));
    EXPECT_EQ(plain, (std::vector<std::string>{"x after " + ovn::describeValue(ovn::Value())}));
}
