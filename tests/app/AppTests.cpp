// The desktop program driven against emulated printers under Qt's offscreen platform: start-up, the printer
// table, the alerts as sheets and a whole firmware update through them.

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AppLocalization.h"
#include "Classes/ZVPrinters.h"
#include "QtAlertPresenter.h"
#include "platform/Alerts.h"
#include "platform/Bundle.h"
#include "platform/UserDefaults.h"
#include "sim/SimulatedPrinters.h"
#include "usb/USBServices.h"
#include <QFile>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTranslator>
#include <algorithm>
#include <future>
#include <set>
#include "Application.h"
#include "GuiPoster.h"
#include "MainWindow.h"
#include "PrinterTableModel.h"

namespace ovn::app::test {

using M = PrinterTableModel;

inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 15000) {
    return QTest::qWaitFor(done, timeoutMs);
}

// The visible message boxes whose text contains the given part.
inline QMessageBox* findAlert(const QString& textPart) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box && box->isVisible() && box->text().contains(textPart)) return box;
    }
    return nullptr;
}

inline QMessageBox* waitForAlert(const QString& textPart, int timeoutMs = 15000) {
    QMessageBox* box = nullptr;
    waitFor([&] { return (box = findAlert(textPart)) != nullptr; }, timeoutMs);
    return box;
}

inline QAbstractButton* buttonWithText(QMessageBox* box, const QString& text) {
    for (QAbstractButton* b : box->buttons())
        if (b->text() == text) return b;
    return nullptr;
}

inline std::vector<QString> buttonTexts(QMessageBox* box) {
    // In the order the alert was asked for, whatever the platform's layout.
    std::vector<QString> texts(static_cast<size_t>(box->buttons().size()));
    for (QAbstractButton* b : box->buttons()) texts[static_cast<size_t>(b->property("ovnAlertIndex").toInt())] = b->text();
    return texts;
}

class AppTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (app) app->shutdown();
        app.reset();
    }

    // Starts the program with emulated printers (the PL35 and PL45 accepted as well).
    void start(const std::string& printers, std::vector<std::string> accept = {"0x5C01", "0x5D01"}) {
        app = std::make_unique<Application>();
        LaunchOptions options;
        options.simulate = printers;
        options.acceptProducts = std::move(accept);
        ASSERT_EQ(app->start(options).toStdString(), "");
        QObject::connect(app.get(), &Application::terminated, [this] { ++terminations; });
        app->show();
    }

    MainWindow* window() const { return app->window(); }
    PrinterTableModel* model() const { return app->window()->model(); }
    QString cell(int row, int column) const { return model()->index(row, column).data().toString(); }
    int rowOfSerial(const QString& serial) const {
        for (int r = 0; r < model()->rowCount(); ++r)
            if (cell(r, M::SerialNumberColumn) == serial) return r;
        return -1;
    }
    std::shared_ptr<ovn::sim::OvnPrinterEmulator> emulator(const std::string& serial) const {
        return app->simulation()->printers->bySerial(serial);
    }

    // Every row read by the probe: firmware, counter, colour tables, both statuses.
    bool waitForProbes(int rows, int timeoutMs = 20000) {
        return waitFor([&] {
            if (model()->rowCount() != rows) return false;
            for (int r = 0; r < rows; ++r)
                for (int c : {M::FirmwareColumn, M::LifetimeCounterColumn, M::ColorTableChecksumColumn,
                              M::PrinterStatusColumn, M::USBStatusColumn, M::OfferedFirmwareColumn})
                    if (cell(r, c).isEmpty()) return false;
            // The probe's last close has been reported.
            for (int r = 0; r < rows; ++r)
                if (cell(r, M::USBStatusColumn) != QCoreApplication::translate("Localizable", "USB Available"))
                    return false;
            return true;
        }, timeoutMs);
    }

    std::unique_ptr<Application> app;
    int terminations = 0;
};

}  // namespace ovn::app::test



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





namespace ovn::app::test {
namespace {

TEST_F(AppTest, RowsAppearInArrivalOrderAndLeaveOnlyAfterTheirQueuedWork) {
    start("PL25D:serial=S1,PL35:serial=S2,PL45:serial=S3");
    ASSERT_TRUE(waitForProbes(3));
    EXPECT_EQ(cell(0, M::SerialNumberColumn), "S1");
    EXPECT_EQ(cell(1, M::SerialNumberColumn), "S2");
    EXPECT_EQ(cell(2, M::SerialNumberColumn), "S3");
    EXPECT_EQ(cell(0, M::ModelColumn), "PL25D");
    EXPECT_EQ(cell(1, M::ModelColumn), "PL35");
    EXPECT_EQ(cell(2, M::ModelColumn), "PL45");

    // A printer plugged in later goes to the end.
    ASSERT_EQ(app->simulation()->printers->addFromText("PL25D:serial=S4"), "");
    ASSERT_TRUE(waitFor([&] { return model()->rowCount() == 4 && cell(3, M::SerialNumberColumn) == "S4"; }));

    // Work still queued for the second printer holds its row back.
    auto printer = model()->printerAt(1);
    ASSERT_TRUE(printer && printer->printerCommandQueue());
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    printer->printerCommandQueue()->async([opened] { opened.wait(); });
    const auto device = emulator("S2")->deviceId();
    ASSERT_TRUE(device);
    app->simulation()->bus->unplug(*device);
    QTest::qWait(600);
    EXPECT_EQ(model()->rowCount(), 4);
    EXPECT_EQ(model()->rowOfPrinter(printer.get()), 1);

    gate.set_value();
    ASSERT_TRUE(waitFor([&] { return model()->rowCount() == 3; }));
    EXPECT_EQ(model()->rowOfPrinter(printer.get()), -1);
    EXPECT_EQ(cell(0, M::SerialNumberColumn), "S1");
    EXPECT_EQ(cell(1, M::SerialNumberColumn), "S3");
    EXPECT_EQ(cell(2, M::SerialNumberColumn), "S4");
}

TEST_F(AppTest, CellsFollowPropertyChangesOneCellAtATime) {
    start("PL35:serial=C1:status=00000,PL25D:serial=C2");
    ASSERT_TRUE(waitForProbes(2));
    const int row = rowOfSerial("C1");
    ASSERT_GE(row, 0);
    EXPECT_EQ(cell(row, M::PrinterStatusColumn), "Idle");
    EXPECT_EQ(cell(row, M::USBStatusColumn), "USB Available");
    QTest::qWait(500);  // let the last replies of the probes settle

    QSignalSpy changes(model(), &QAbstractItemModel::dataChanged);
    auto printer = model()->printerAt(row);

    // Another program takes the interface, then lets it go: the platform's interest messages change the USB
    // status line (on the main queue).
    emulator("C1")->setHeldByOtherApplication(true);
    ASSERT_TRUE(waitFor([&] { return cell(row, M::USBStatusColumn) == "USB Busy"; }));
    emulator("C1")->setHeldByOtherApplication(false);
    ASSERT_TRUE(waitFor([&] { return cell(row, M::USBStatusColumn) == "USB Available"; }));

    // A status read on the printer's command queue, published on the main queue.
    emulator("C1")->setRawStatus("01100");
    runAsMainQueueBlock([&] { printer->updatePrinterStatus(); });
    ASSERT_TRUE(waitFor([&] { return cell(row, M::PrinterStatusColumn) == "Paper End"; }));

    // The lifetime counter, read again.
    emulator("C1")->setLifetimeCounter(4242);
    runAsMainQueueBlock([&] { printer->getPrinterLifetimeCounter(); });
    ASSERT_TRUE(waitFor([&] { return cell(row, M::LifetimeCounterColumn) == "4242"; }));
    QTest::qWait(200);

    std::set<int> columns;
    for (const QList<QVariant>& args : changes) {
        const QModelIndex topLeft = args.at(0).toModelIndex();
        const QModelIndex bottomRight = args.at(1).toModelIndex();
        EXPECT_EQ(topLeft, bottomRight) << "a change covers more than one cell";
        EXPECT_EQ(topLeft.row(), row) << "the other printer did not change";
        columns.insert(topLeft.column());
    }
    EXPECT_EQ(columns, (std::set<int>{M::PrinterStatusColumn, M::USBStatusColumn, M::LifetimeCounterColumn}));

    EXPECT_EQ(cell(rowOfSerial("C2"), M::PrinterStatusColumn), "Idle");
    // The details of the current printer (the first row) follow as well.
    if (row == 0) {
        const auto labels = window()->detailsPane()->findChildren<QLabel*>();
        EXPECT_TRUE(std::any_of(labels.begin(), labels.end(),
                                [](QLabel* l) { return l->text().startsWith("Paper End"); }));
    }
}



// The print-queue clean-up after a change of the setting runs the printing system's tools: harmless stand-ins
// here, for as long as the program runs.
class ISerialTest : public AppTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(tools.isValid());
        for (const char* name : {"lpstat", "lpadmin"}) {
            QFile f(tools.filePath(QString::fromLatin1(name)));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write("#!/bin/sh\nexit 0\n");
            f.close();
            f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        }
        qputenv("PATH", tools.path().toLocal8Bit() + ":" + qgetenv("PATH"));
    }
    QTemporaryDir tools;
};

TEST_F(ISerialTest, SwitchAsksThePrinterAndShowsItsAnswer) {
    start("PL35:serial=I1:iserial=0,PL25D:serial=I2");
    ASSERT_TRUE(waitForProbes(2));
    const int row = rowOfSerial("I1");
    const QModelIndex pl35 = model()->index(row, M::ISerialColumn);
    EXPECT_EQ(pl35.data().toString(), "Disabled");
    EXPECT_EQ(pl35.data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
    EXPECT_TRUE(model()->flags(pl35) & Qt::ItemIsUserCheckable);

    // A model without the setting: shown, not switchable.
    const QModelIndex pl25 = model()->index(rowOfSerial("I2"), M::ISerialColumn);
    EXPECT_EQ(pl25.data().toString(), "Unavailable");
    EXPECT_FALSE(model()->flags(pl25) & Qt::ItemIsUserCheckable);
    EXPECT_FALSE(model()->setData(pl25, Qt::Checked, Qt::CheckStateRole));

    ASSERT_TRUE(model()->setData(pl35, Qt::Checked, Qt::CheckStateRole));
    // The switch shows what the printer reports, not the click.
    EXPECT_EQ(pl35.data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
    ASSERT_TRUE(waitFor([&] { return pl35.data(Qt::CheckStateRole).toInt() == Qt::Checked; }));
    EXPECT_EQ(pl35.data().toString(), "Enabled");
    EXPECT_TRUE(emulator("I1")->iSerialSetting());

    // The printer does not report its serial number until it is power-cycled: the user is told, application-
    // modally, with the printer's picture.
    QMessageBox* notice = waitForAlert("power-cycle");
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->windowModality(), Qt::ApplicationModal);
    EXPECT_FALSE(notice->iconPixmap().isNull());
    EXPECT_EQ(buttonTexts(notice), std::vector<QString>{"OK"});
    buttonWithText(notice, "OK")->click();
    EXPECT_TRUE(waitFor([] { return findAlert("power-cycle") == nullptr; }, 3000));
}

TEST_F(ISerialTest, BusyPrinterShowsTheBusyNoticeAndKeepsItsSetting) {
    start("PL45:serial=B1:iserial=0");
    ASSERT_TRUE(waitForProbes(1));
    // Our own probe's open and close must have been reported first: an open reported while the first probe
    // is still marked counts as our own.
    ASSERT_TRUE(waitFor([&] { return cell(0, M::USBStatusColumn) == "USB Available"; }));
    // The exchanges that follow the probe end too: an open of ours still on its way when the other program
    // takes the printer would wait for it instead.
    QTest::qWait(1500);
    ASSERT_TRUE(waitFor([&] { return cell(0, M::USBStatusColumn) == "USB Available"; }));
    emulator("B1")->setHeldByOtherApplication(true);
    ASSERT_TRUE(waitFor([&] { return cell(0, M::USBStatusColumn) == "USB Busy"; }));
    ASSERT_TRUE(model()->setData(model()->index(0, M::ISerialColumn), Qt::Checked, Qt::CheckStateRole));
    QMessageBox* notice = waitForAlert("Unavailable. (Busy)");
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->windowModality(), Qt::ApplicationModal);
    EXPECT_EQ(model()->index(0, M::ISerialColumn).data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
    EXPECT_FALSE(emulator("B1")->iSerialSetting());
}

}  // namespace
}  // namespace ovn::app::test

namespace ovn::app::test {
namespace {

TEST_F(AppTest, CounterResetsGoToTheCurrentPrinterOnly) {
    start("PL35:serial=K1,PL45:serial=K2");
    ASSERT_TRUE(waitForProbes(2));
    for (const char* serial : {"K1", "K2"})
        for (char letter : {'A', 'B', 'M'}) emulator(serial)->setMediaCounter(letter, 100);

    ASSERT_TRUE(window()->resetCounterAction('B')->isEnabled());
    window()->resetCounterAction('B')->trigger();
    buttonWithText(waitForAlert("Reset counter B"), "Reset Counter B")->click();
    ASSERT_TRUE(waitFor([&] { return emulator("K1")->mediaCounter('B') == 0; }, 5000));
    window()->resetCounterAction('M')->trigger();
    buttonWithText(waitForAlert("Reset counter M"), "Reset Counter M")->click();
    ASSERT_TRUE(waitFor([&] { return emulator("K1")->mediaCounter('M') == 0; }, 5000));
    EXPECT_EQ(emulator("K1")->mediaCounter('A'), 100u);
    for (char letter : {'A', 'B', 'M'}) EXPECT_EQ(emulator("K2")->mediaCounter(letter), 100u);
}

TEST_F(AppTest, WithoutPrintersTheCommandsAreOffAndTheWindowSaysWhy) {
    start("PL35:serial=N1");
    ASSERT_TRUE(waitForProbes(1));
    app->simulation()->bus->unplug(*emulator("N1")->deviceId());
    ASSERT_TRUE(waitFor([&] { return model()->rowCount() == 0; }));
    EXPECT_EQ(window()->currentPrinter(), nullptr);
    EXPECT_FALSE(window()->updateFirmwareAction()->isEnabled());
    EXPECT_FALSE(window()->resetCounterAction('A')->isEnabled());
    const auto labels = window()->findChildren<QLabel*>();
    EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [](QLabel* l) {
        return l->isVisible() && l->text() == "No printers found";
    }));
    // Triggered anyway (a shortcut while the action is being disabled): nothing happens and nothing breaks.
    window()->updateFirmwareAction()->setEnabled(true);
    window()->updateFirmwareAction()->trigger();
    QTest::qWait(200);
    EXPECT_EQ(findAlert("Attention:"), nullptr);
}

}  // namespace
}  // namespace ovn::app::test



namespace ovn::app::test {
namespace {


// Starts the update of the first printer and answers the warning with "I Agree" and "Continue".
void acceptWarning(AppTest& t, QMessageBox*& warning) {
    warning = waitForAlert("Attention:");
    ASSERT_TRUE(warning);
    ASSERT_TRUE(warning->checkBox());
    warning->checkBox()->click();
    QAbstractButton* cont = buttonWithText(warning, "Continue");
    ASSERT_TRUE(waitFor([&] { return cont->isEnabled(); }, 3000));
    cont->click();
    (void)t;
}

TEST_F(AppTest, UpdateWarningContinueFollowsTheCheckboxAndReturnQuits) {
    start("PL35:serial=W1:fw=PL35 01.40");
    ASSERT_TRUE(waitForProbes(1));
    ASSERT_TRUE(window()->updateFirmwareAction()->isEnabled());
    window()->updateFirmwareAction()->trigger();

    QMessageBox* warning = waitForAlert("Attention:");
    ASSERT_TRUE(warning);
    EXPECT_EQ(warning->windowModality(), Qt::WindowModal);
    EXPECT_FALSE(warning->iconPixmap().isNull());
    EXPECT_EQ(warning->informativeText(),
              "This update tool will upgrade the printer firmware to version PL35 01.52. This process cannot be undone");
    EXPECT_EQ(buttonTexts(warning), (std::vector<QString>{"Quit", "Continue"}));
    QCheckBox* agree = warning->checkBox();
    ASSERT_TRUE(agree);
    EXPECT_EQ(agree->text(), "I Agree");
    EXPECT_FALSE(agree->isChecked());
    QAbstractButton* cont = buttonWithText(warning, "Continue");
    EXPECT_FALSE(cont->isEnabled());

    agree->click();
    EXPECT_TRUE(waitFor([&] { return cont->isEnabled(); }, 3000));
    agree->click();
    EXPECT_TRUE(waitFor([&] { return !cont->isEnabled(); }, 3000));
    agree->click();
    EXPECT_TRUE(waitFor([&] { return cont->isEnabled(); }, 3000));

    // Return is "Quit", and with no update under way the program ends at once.
    EXPECT_EQ(warning->defaultButton()->text(), "Quit");
    QTest::keyClick(warning, Qt::Key_Return);
    ASSERT_TRUE(waitFor([&] { return terminations == 1; }, 5000));
    EXPECT_EQ(findAlert("firmware update is in progress"), nullptr);
}

TEST_F(AppTest, FullFirmwareUpdateThroughTheSheets) {
    start("PL25D:serial=U1:fw=PL25DUP 1.30PRN:delay=300");
    ASSERT_TRUE(waitForProbes(1));
    EXPECT_EQ(cell(0, M::OfferedFirmwareColumn), "PL25DUP 1.40PRN");
    auto printer = emulator("U1");
    window()->updateFirmwareAction()->trigger();

    QMessageBox* warning = nullptr;
    acceptWarning(*this, warning);
    if (HasFatalFailure()) return;

    QMessageBox* confirm = waitForAlert("Are you certain you want to update the firmware?");
    ASSERT_TRUE(confirm);
    EXPECT_EQ(buttonTexts(confirm), (std::vector<QString>{"Cancel", "Update Firmware to PL25DUP 1.40PRN"}));
    buttonWithText(confirm, "Update Firmware to PL25DUP 1.40PRN")->click();

    // While it runs the commands are locked; the printer leaves and comes back twice.
    ASSERT_TRUE(waitFor([&] { return model()->firmwareUpdateUnderWay(); }, 5000));
    QMessageBox* done = waitForAlert("Firmware update was successful!", 60000);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->informativeText(), "Firmware version updated from PL25DUP 1.30PRN to PL25DUP 1.40PRN");
    EXPECT_EQ(done->windowModality(), Qt::WindowModal);
    EXPECT_EQ(buttonTexts(done), std::vector<QString>{"Finish"});
    buttonWithText(done, "Finish")->click();

    EXPECT_EQ(printer->firmwareVersion(), "PL25DUP 1.40PRN");
    EXPECT_EQ(printer->forbiddenCount(), 0u);
    EXPECT_EQ(printer->restartCount(), 2);
    // The commands are unlocked again.
    ASSERT_TRUE(waitFor([&] {
        return model()->rowCount() == 1 && cell(0, M::FirmwareColumn) == "PL25DUP 1.40PRN" &&
               window()->updateFirmwareAction()->isEnabled();
    }));
    EXPECT_FALSE(model()->firmwareUpdateUnderWay());

    // Afterwards quitting needs no question.
    window()->quitAction()->trigger();
    EXPECT_TRUE(waitFor([&] { return terminations == 1; }, 3000));
}

TEST_F(AppTest, QuittingDuringAnUpdateAsksFirstWithCancelAsDefault) {
    // A long restart, so that the printer is off the bus for a while.
    start("PL25D:serial=Q1:fw=PL25DUP 1.30PRN:delay=4000,PL35:serial=Q2");
    ASSERT_TRUE(waitForProbes(2));
    window()->updateFirmwareAction()->trigger();
    QMessageBox* warning = nullptr;
    acceptWarning(*this, warning);
    if (HasFatalFailure()) return;
    QMessageBox* confirm = waitForAlert("Are you certain");
    ASSERT_TRUE(confirm);
    buttonWithText(confirm, "Update Firmware to PL25DUP 1.40PRN")->click();
    ASSERT_TRUE(waitFor([&] { return model()->firmwareUpdateUnderWay(); }, 5000));
    EXPECT_TRUE(waitFor([&] { return !window()->updateFirmwareAction()->isEnabled(); }, 3000));

    // Asked while the printer is still listed ...
    window()->quitAction()->trigger();
    QMessageBox* question = waitForAlert("firmware update is in progress", 3000);
    ASSERT_TRUE(question);
    EXPECT_EQ(question->windowModality(), Qt::WindowModal);
    EXPECT_EQ(question->defaultButton()->text(), "Cancel");
    QTest::keyClick(question, Qt::Key_Return);
    ASSERT_TRUE(waitFor([] { return findAlert("firmware update is in progress") == nullptr; }, 3000));
    QTest::qWait(100);
    EXPECT_EQ(terminations, 0);

    // ... and while it is off the bus restarting: closing the window asks the same question.
    ASSERT_TRUE(waitFor([&] { return model()->isAway(0); }, 10000));
    EXPECT_TRUE(model()->firmwareUpdateUnderWay());
    window()->close();
    question = waitForAlert("firmware update is in progress", 3000);
    ASSERT_TRUE(question);
    EXPECT_TRUE(window()->isVisible());
    buttonWithText(question, "Quit Anyway")->click();
    EXPECT_TRUE(waitFor([&] { return terminations == 1; }, 3000));
}


}  // namespace
}  // namespace ovn::app::test
