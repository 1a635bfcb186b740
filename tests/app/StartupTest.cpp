// Start-up: options are checked before anything reaches a printer; the version strings go to the user
// defaults; the window says when its printers are simulated; the German translation covers menus, headers and
// the core's status texts.
#include <QFile>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTranslator>

#include "AppLocalization.h"
#include "AppTestSupport.h"
#include "Classes/ZVPrinters.h"
#include "platform/Bundle.h"
#include "platform/UserDefaults.h"
#include "usb/USBServices.h"

namespace ovn::app::test {
namespace {

QStringList args(std::initializer_list<const char*> list) {
    QStringList out{QStringLiteral("ovn-utility")};
    for (const char* a : list) out << QString::fromUtf8(a);
    return out;
}

TEST(Arguments, AreParsedAndWrongOnesAreRefused) {
    ParsedArguments p = parseArguments(args({"--simulate", "PL35,PL45", "--accept-product", "0x5C01",
                                             "--accept-product", "23809", "--trace-usb", "/tmp/t.jsonl"}));
    EXPECT_TRUE(p.error.isEmpty()) << p.error.toStdString();
    EXPECT_EQ(p.options.simulate, "PL35,PL45");
    EXPECT_EQ(p.options.acceptProducts, (std::vector<std::string>{"0x5C01", "23809"}));
    EXPECT_EQ(p.options.traceUsb, "/tmp/t.jsonl");
    EXPECT_FALSE(p.options.screenshot.has_value());

    EXPECT_FALSE(parseArguments(args({"--bogus"})).error.isEmpty());
    EXPECT_FALSE(parseArguments(args({"--simulate"})).error.isEmpty());  // the list is missing
    EXPECT_FALSE(parseArguments(args({"stray"})).error.isEmpty());
    EXPECT_FALSE(parseArguments(args({"--help"})).helpText.isEmpty());
    EXPECT_TRUE(parseArguments(args({"--version"})).versionText.contains(
        QString::fromStdString(ovn::Bundle::shortVersionString())));
}

TEST(Startup, WrongProductOrSimulationStartsNothing) {
    auto before = ovn::usb::USBServices::shared();
    {
        Application app;
        LaunchOptions o;
        o.simulate = "PL35";
        o.acceptProducts = {"0x5C01", "0x1FFFF"};
        EXPECT_TRUE(app.start(o).contains("0x1FFFF"));
        EXPECT_EQ(app.registry(), nullptr);
        EXPECT_EQ(app.window(), nullptr);
    }
    {
        Application app;
        LaunchOptions o;
        o.simulate = "PL99";
        EXPECT_FALSE(app.start(o).isEmpty());
        EXPECT_EQ(app.simulation(), nullptr);
        EXPECT_EQ(app.window(), nullptr);
    }
    {
        Application app;
        LaunchOptions o;
        o.simulate = "PL35";
        o.traceUsb = "/nonexistent-directory/trace.jsonl";
        EXPECT_TRUE(app.start(o).contains("nonexistent-directory"));
        EXPECT_EQ(app.window(), nullptr);
    }
    EXPECT_EQ(ovn::usb::USBServices::shared(), before);
}

TEST_F(AppTest, StartWritesVersionStringsAndNamesASimulatedRun) {
    start("PL25D:serial=V1");
    const std::string version = ovn::Bundle::shortVersionString();
    auto& defaults = ovn::UserDefaults::standard();
    EXPECT_EQ(defaults.stringForKey(ZVPrinters::kShortVersionKey), version);
    const auto display = defaults.stringForKey(ZVPrinters::kDisplayVersionKey);
    ASSERT_TRUE(display);
    EXPECT_EQ(display->rfind(version + " (build ", 0), 0u) << *display;

    EXPECT_EQ(window()->windowTitle(), "OVN Printer Utility — simulated printers");
    const QStringList headers = [&] {
        QStringList h;
        for (int c = 0; c < M::ColumnCount; ++c) h << model()->headerData(c, Qt::Horizontal).toString();
        return h;
    }();
    EXPECT_TRUE(headers.contains("Serial Number"));
    EXPECT_TRUE(headers.contains("Available Firmware"));
    ASSERT_TRUE(waitForProbes(1));
    EXPECT_EQ(cell(0, M::USBStatusColumn), "USB Available");
}

TEST_F(AppTest, TraceUsbRecordsTheTransfersOfTheRun) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("trace.jsonl");
    app = std::make_unique<Application>();
    LaunchOptions options;
    options.simulate = "PL35:serial=T1";
    options.acceptProducts = {"0x5C01"};
    options.traceUsb = path.toStdString();
    ASSERT_EQ(app->start(options).toStdString(), "");
    app->show();
    ASSERT_TRUE(waitForProbes(1));
    app->shutdown();

    QFile trace(path);
    ASSERT_TRUE(trace.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = trace.readAll().split('\n');
    int records = 0;
    for (const QByteArray& line : lines) {
        if (line.isEmpty()) continue;
        EXPECT_TRUE(line.startsWith('{') && line.endsWith('}')) << line.toStdString();
        ++records;
    }
    // At least the status query and the information probe went out and came back.
    EXPECT_GE(records, 10);
}

TEST_F(AppTest, GermanTranslatesMenusHeadersAndTheCoreStatusTexts) {
    ASSERT_TRUE(installTranslations(QLocale(QLocale::German, QLocale::Germany)));
    EXPECT_EQ(installedTranslationLanguage(), "de");
    start("PL35:serial=G1");
    ASSERT_TRUE(waitForProbes(1));

    EXPECT_EQ(window()->windowTitle(), "OVN-Druckerdienstprogramm — simulierte Drucker");
    QStringList menus;
    for (QAction* a : window()->menuBar()->actions()) menus << a->text();
    EXPECT_EQ(menus, (QStringList{"&Datei", "D&rucker", "&Hilfe"}));
    EXPECT_EQ(window()->quitAction()->text(), "&Beenden");
    EXPECT_EQ(window()->updateFirmwareAction()->text(), "Firmware &aktualisieren …");
    EXPECT_EQ(model()->headerData(M::SerialNumberColumn, Qt::Horizontal).toString(), "Seriennummer");
    EXPECT_EQ(model()->headerData(M::PrinterStatusColumn, Qt::Horizontal).toString(), "Druckerstatus");
    // The core's localisable status line, routed through the same translation.
    EXPECT_EQ(cell(0, M::USBStatusColumn), "USB verfügbar");
    // The printer's own status texts are localised too.
    EXPECT_EQ(cell(0, M::PrinterStatusColumn), "Bereit");

    // Back to English: everything follows at once.
    removeTranslations();
    window()->retranslate();
    EXPECT_EQ(model()->headerData(M::SerialNumberColumn, Qt::Horizontal).toString(), "Serial Number");
    EXPECT_EQ(window()->quitAction()->text(), "&Quit");
}

TEST(Localisation, GermanTranslationIsFoundAndCoversTheCoreTexts) {
    // An unfinished message is left out of the compiled file, so the translator answers it with the empty text.
    QTranslator translator;
    bool found = false;
    for (const QString& dir : translationSearchPath())
        if (translator.load(QStringLiteral("ovn-utility_de"), dir)) {
            found = true;
            break;
        }
    ASSERT_TRUE(found);
    for (const char* text : {"&File", "Serial Number", "USB Available", "Quit Anyway",
                             "Please power-cycle the selected printer now to complete the process!",
                             "The Selected Printer is Unavailable. (Busy)"}) {
        const char* context = nullptr;
        for (const char* c : {"ovn::app::MainWindow", "ovn::app::PrinterTableModel", "Localizable"})
            if (!translator.translate(c, text).isEmpty()) context = c;
        EXPECT_TRUE(context) << "no translation for " << text;
    }
}

}  // namespace
}  // namespace ovn::app::test
