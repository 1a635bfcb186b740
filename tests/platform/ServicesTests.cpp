// Localised texts and resource lookup.
#include <gtest/gtest.h>

#include "kit/Kit.h"
#include "platform/Bundle.h"
#include "platform/Localization.h"

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
