// Localisation of the desktop program: Qt's translation system, with the English text as the key. One
// QTranslator per language serves the window's own texts (tr) and the core's localisable texts, which the
// core looks up through ovn::Localized; those live in the translation context "Localizable".
//
// The language follows the user's locale (QLocale::system(), which reads LC_ALL, LC_MESSAGES and LANG);
// without a translation for it the English texts are shown.
#pragma once

#include <QLocale>
#include <QString>
#include <QStringList>

#include <string>

class QTranslator;

namespace ovn::app {

// The translation context of the core's texts.
inline constexpr char kCoreTranslationContext[] = "Localizable";

// Where the compiled translations are looked for, in order: $OVN_TRANSLATIONS_DIR, the installed
// <prefix>/share/ovn-utility/translations beside the program, and the build tree.
QStringList translationSearchPath();

// Loads the program's translation for the locale (replacing one loaded before) and routes the core's
// localisable texts through it. Answers whether a translation was found; with none (English, or a language
// without a translation) the English texts are used. Call on the GUI thread, before windows are created.
bool installTranslations(const QLocale& locale);
// Removes the program's translation again (English texts).
void removeTranslations();
// A text of the core (an alert's title, message or button, a status text) in the current language: the
// translation of the whole text, or of the format it was made from (its values translated in turn where they
// are core texts themselves); anything else as it stands. An unknown value ("(null)") reads as "unknown".
QString translateCoreText(const std::string& english);

// The language of the installed translation ("de"), or empty for English.
QString installedTranslationLanguage();

// A text as it stands, untranslated (a name, a version, a path).
inline QString qs(const std::string& text) { return QString::fromStdString(text); }

}  // namespace ovn::app
