#include "AppLocalization.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
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
    // Printer status texts.
    QT_TRANSLATE_NOOP("Localizable", "Firmware Update Mode"),
    QT_TRANSLATE_NOOP("Localizable", "Idle"),
    QT_TRANSLATE_NOOP("Localizable", "Printing"),
    QT_TRANSLATE_NOOP("Localizable", "Head cool down cycle"),
    QT_TRANSLATE_NOOP("Localizable", "Motor cool down cycle"),
    QT_TRANSLATE_NOOP("Localizable", "Sleeping (standby mode)"),
    QT_TRANSLATE_NOOP("Localizable", "Cover Open"),
    QT_TRANSLATE_NOOP("Localizable", "Scrap Box Missing"),
    QT_TRANSLATE_NOOP("Localizable", "Paper End"),
    QT_TRANSLATE_NOOP("Localizable", "Ribbon End"),
    QT_TRANSLATE_NOOP("Localizable", "Paper Jam"),
    QT_TRANSLATE_NOOP("Localizable", "Ribbon Error"),
    QT_TRANSLATE_NOOP("Localizable", "Wrong Paper"),
    QT_TRANSLATE_NOOP("Localizable", "Bad Data"),
    QT_TRANSLATE_NOOP("Localizable", "Head Voltage Error"),
    QT_TRANSLATE_NOOP("Localizable", "Head Position Error"),
    QT_TRANSLATE_NOOP("Localizable", "Power supply Error"),
    QT_TRANSLATE_NOOP("Localizable", "Cutter Error"),
    QT_TRANSLATE_NOOP("Localizable", "Pinch Roller Error"),
    QT_TRANSLATE_NOOP("Localizable", "Head Temp High Error"),
    QT_TRANSLATE_NOOP("Localizable", "Media Temp Error"),
    QT_TRANSLATE_NOOP("Localizable", "Motor Temp Error"),
    QT_TRANSLATE_NOOP("Localizable", "Ribbon Tension Error"),
    QT_TRANSLATE_NOOP("Localizable", "RFID Module Error"),
    QT_TRANSLATE_NOOP("Localizable", "System Fail Error"),
    QT_TRANSLATE_NOOP("Localizable", "Unknown Status"),
    QT_TRANSLATE_NOOP("Localizable", "<NULL>"),
    QT_TRANSLATE_NOOP("Localizable", "Updating firmware ..."),
    QT_TRANSLATE_NOOP("Localizable", "Writing firmware ..."),
    QT_TRANSLATE_NOOP("Localizable", "Updating color tables ..."),
    // The USB serial-number setting.
    QT_TRANSLATE_NOOP("Localizable", "Enabled"),
    QT_TRANSLATE_NOOP("Localizable", "Disabled"),
    QT_TRANSLATE_NOOP("Localizable", "Unavailable"),
    // Alerts of the update and their buttons.
    QT_TRANSLATE_NOOP("Localizable", "Alert"),
    QT_TRANSLATE_NOOP("Localizable", "OK"),
    QT_TRANSLATE_NOOP("Localizable", "Quit"),
    QT_TRANSLATE_NOOP("Localizable", "Continue"),
    QT_TRANSLATE_NOOP("Localizable", "Cancel"),
    QT_TRANSLATE_NOOP("Localizable", "Proceed"),
    QT_TRANSLATE_NOOP("Localizable", "Finish"),
    QT_TRANSLATE_NOOP("Localizable", "Ignore"),
    QT_TRANSLATE_NOOP("Localizable", "Update Firmware"),
    QT_TRANSLATE_NOOP("Localizable", "I Agree"),
    QT_TRANSLATE_NOOP("Localizable", "Attention:"),
    QT_TRANSLATE_NOOP("Localizable",
                      "A printer was unexpectedly found in firmware update mode. Would you like to update the firmware?"),
    QT_TRANSLATE_NOOP("Localizable", "Please power-cycle this printer"),
    QT_TRANSLATE_NOOP("Localizable", "Contact customer support if power-cycling does not resolve the issue."),
    QT_TRANSLATE_NOOP("Localizable", "-- File corruption --\n\nThere is a problem with the firmware files."),
    QT_TRANSLATE_NOOP("Localizable", "Contact customer support."),
    QT_TRANSLATE_NOOP("Localizable", "Firmware update not needed"),
    QT_TRANSLATE_NOOP("Localizable", "Printer Busy"),
    QT_TRANSLATE_NOOP("Localizable",
                      "Another application is using the printer. Please proceed when the printer becomes available."),
    QT_TRANSLATE_NOOP("Localizable", "Printer Error"),
    QT_TRANSLATE_NOOP("Localizable",
                      "The printer is not responding properly. Please power-cycle the printer and try again."),
    QT_TRANSLATE_NOOP("Localizable", "Printer Not Ready"),
    QT_TRANSLATE_NOOP("Localizable", "-- Warning --\n\nAre you certain you want to update the firmware?"),
    QT_TRANSLATE_NOOP("Localizable", "The printer may be permanently damaged if it is unplugged or loses power during "
                                     "the update process."),
    QT_TRANSLATE_NOOP("Localizable", "There was a problem with the firmware file!"),
    QT_TRANSLATE_NOOP("Localizable", "This application may be damaged. Please download a new copy."),
    QT_TRANSLATE_NOOP("Localizable", "Firmware update was successful!"),
    QT_TRANSLATE_NOOP("Localizable", "There was a problem with the firmware update!"),
    QT_TRANSLATE_NOOP("Localizable", " Please use up all MV1 media before using this update tool."),    QT_TRANSLATE_NOOP("Localizable", "Firmware update refused"),
    QT_TRANSLATE_NOOP("Localizable", "The printer did not enter firmware update mode"),
    QT_TRANSLATE_NOOP("Localizable", "The printer is not answering"),
    QT_TRANSLATE_NOOP("Localizable", "The colour tables could not be written"),
    QT_TRANSLATE_NOOP("Localizable", "Finish the firmware update?"),
    QT_TRANSLATE_NOOP("Localizable", "Later"),
    QT_TRANSLATE_NOOP("Localizable", "an unknown version"),
    QT_TRANSLATE_NOOP("Localizable", "the firmware version delivered with it"),
    QT_TRANSLATE_NOOP("Localizable", "the version delivered with it"),
    QT_TRANSLATE_NOOP("Localizable", "its status was asked for before the update"),
    QT_TRANSLATE_NOOP("Localizable", "its status was asked for after it restarted for the update"),
    QT_TRANSLATE_NOOP("Localizable", "it could not be opened to restart it for the update"),
    QT_TRANSLATE_NOOP("Localizable", "it could not be opened to send the firmware"),
    QT_TRANSLATE_NOOP("Localizable", "it could not be opened to finish the update"),
    QT_TRANSLATE_NOOP("Localizable", "while the printer was restarting into firmware update mode"),
    QT_TRANSLATE_NOOP("Localizable", "after the new firmware was sent and before its colour tables were written"),
};

// Core texts made from a format: the English format (values as %1, %2), matched as a whole.
[[maybe_unused]] const char* const kCoreFormats[] = {
    QT_TRANSLATE_NOOP("Localizable", "Firmware version updated from %1 to %2"),
    QT_TRANSLATE_NOOP("Localizable", "Previous firmware version: %1 current version: %2"),
    QT_TRANSLATE_NOOP("Localizable", "Update Firmware to %1"),
    QT_TRANSLATE_NOOP("Localizable", "Please correct the following issue: %1"),
    QT_TRANSLATE_NOOP("Localizable", "This printer has firmware version %1 installed."),
    QT_TRANSLATE_NOOP("Localizable",
                      "This update tool will upgrade the printer firmware to version %1. This process cannot be undone"),
    QT_TRANSLATE_NOOP("Localizable", "This update tool is for the OVN MV1 printer. It will upgrade the printer to "
                                     "%1.\n\nOnce updated, the MV1 printer will REQUIRE the use of MV1Q media "
                                     "packs.%2 This process cannot be undone."),    QT_TRANSLATE_NOOP("Localizable", "Another program is updating the firmware of %1. Wait until it has finished, then try again."),
    QT_TRANSLATE_NOOP("Localizable", "The firmware of %1 is not updated: the update journal cannot be kept (%2). Make the folder writable, then try again."),
    QT_TRANSLATE_NOOP("Localizable", "%1 restarted without entering firmware update mode. Its firmware was not changed; you can start the update again."),
    QT_TRANSLATE_NOOP("Localizable", "%1 stopped answering (%2). Check that it is switched on and connected, and power-cycle it if it stays silent. An update under way goes on when the printer is found again."),
    QT_TRANSLATE_NOOP("Localizable", "%1 could not be opened to write its colour tables. The update is finished the next time the printer is found; power-cycle it if it does not come back."),
    QT_TRANSLATE_NOOP("Localizable", "The firmware update of %1 from %2 to %3 was interrupted %4. Would you like to finish it now?"),
    QT_TRANSLATE_NOOP("Localizable", "OVN %1 (serial %2)"),
    QT_TRANSLATE_NOOP("Localizable", "firmware version %1"),
};

QString translated(const QString& english) {
    const QByteArray key = english.toUtf8();
    return QCoreApplication::translate(kCoreTranslationContext, key.constData());
}

// A value inside a format: a core text itself (a status), or as it stands; "(null)" reads as unknown.
QString translatedValue(const QString& value) {
    if (value == QLatin1String("(null)")) return QCoreApplication::translate("Localizable", "unknown");
    // A value may itself be a core text made from a format ("OVN PL35 (serial 7C1004721)"); it is shorter
    // than the text it stands in, so this ends.
    return translateCoreText(value.toStdString());
}

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

QString translateCoreText(const std::string& english) {
    const QString text = QString::fromStdString(english);
    if (text.isEmpty()) return text;
    QString whole = translated(text);
    if (whole != text) return whole;
    const QString trimmed = text.trimmed();
    if (trimmed != text && (whole = translated(trimmed)) != trimmed) return whole;
    for (const char* format : kCoreFormats) {
        const QString f = QString::fromUtf8(format);
        // The format as a pattern: literal text, each %N any text.
        QString pattern = QStringLiteral("^");
        static const QRegularExpression placeholder(QStringLiteral("%(\\d)"));
        int last = 0;
        QList<int> order;
        for (auto it = placeholder.globalMatch(f); it.hasNext();) {
            const auto m = it.next();
            pattern += QRegularExpression::escape(f.mid(last, m.capturedStart() - last)) + QStringLiteral("(.*?)");
            order << m.captured(1).toInt();
            last = m.capturedEnd();
        }
        pattern += QRegularExpression::escape(f.mid(last)) + QStringLiteral("$");
        const QRegularExpression re(pattern, QRegularExpression::DotMatchesEverythingOption);
        const auto match = re.match(trimmed);
        if (!match.hasMatch()) continue;
        QString out = QCoreApplication::translate(kCoreTranslationContext, format);
        QStringList values(order.size());
        for (int i = 0; i < order.size(); ++i) {
            const int n = order[i];
            if (n >= 1 && n <= values.size()) values[n - 1] = translatedValue(match.captured(i + 1));
        }
        for (int n = 1; n <= values.size(); ++n) out.replace(QStringLiteral("%%1").arg(n), values[n - 1]);
        return out;
    }
    QString plain = text;
    return plain.replace(QLatin1String("(null)"), QCoreApplication::translate("Localizable", "unknown"));
}

QString installedTranslationLanguage() { return gLanguage; }

}  // namespace ovn::app
