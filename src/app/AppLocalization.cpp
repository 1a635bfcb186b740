#include "AppLocalization.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTranslator>

#include <memory>

#include "platform/Localization.h"

#ifndef OVN_BUILD_TRANSLATIONS_DIR
#define OVN_BUILD_TRANSLATIONS_DIR ""
#endif

namespace ovn::app {

namespace {

QTranslator* gTranslator = nullptr;
QString gLanguage;

// The core's texts that the program translates. Listed here so that the translation tools find them; the core
// asks for them through ovn::Localized.
[[maybe_unused]] const char* const kCoreTexts[] = {
    QT_TRANSLATE_NOOP("Localizable", "USB Available"),
    QT_TRANSLATE_NOOP("Localizable", "USB Open"),
    QT_TRANSLATE_NOOP("Localizable", "Waiting for USB"),
    QT_TRANSLATE_NOOP("Localizable", "USB Busy"),
    QT_TRANSLATE_NOOP("Localizable", "Please power-cycle the selected printer now to complete the process!"),
    QT_TRANSLATE_NOOP("Localizable", "The Selected Printer is Unavailable. (Busy)"),
};

void routeCoreTexts() {
    ovn::setTranslator([](const std::string& english) -> std::string {
        // QCoreApplication::translate is safe on any thread; the core may ask from a printer's command queue.
        if (!QCoreApplication::instance()) return english;
        return QCoreApplication::translate(kCoreTranslationContext, english.c_str()).toStdString();
    });
}

}  // namespace

QStringList translationSearchPath() {
    QStringList dirs;
    const QString fromEnv = qEnvironmentVariable("OVN_TRANSLATIONS_DIR");
    if (!fromEnv.isEmpty()) dirs << fromEnv;
    if (QCoreApplication::instance()) {
        const QString appDir = QCoreApplication::applicationDirPath();
        dirs << QDir::cleanPath(appDir + "/../share/ovn-utility/translations");
    }
    const QString buildDir = QStringLiteral(OVN_BUILD_TRANSLATIONS_DIR);
    if (!buildDir.isEmpty()) dirs << buildDir;
    return dirs;
}

bool installTranslations(const QLocale& locale) {
    removeTranslations();
    routeCoreTexts();
    auto translator = std::make_unique<QTranslator>();
    for (const QString& dir : translationSearchPath()) {
        if (!QFileInfo(dir).isDir()) continue;
        if (translator->load(locale, QStringLiteral("ovn-utility"), QStringLiteral("_"), dir)) {
            gLanguage = translator->language().section(QLatin1Char('_'), 0, 0);
            gTranslator = translator.release();
            QCoreApplication::installTranslator(gTranslator);
            return true;
        }
    }
    return false;
}

void removeTranslations() {
    if (gTranslator) {
        QCoreApplication::removeTranslator(gTranslator);
        delete gTranslator;
        gTranslator = nullptr;
    }
    gLanguage.clear();
}

QString installedTranslationLanguage() { return gLanguage; }

}  // namespace ovn::app
