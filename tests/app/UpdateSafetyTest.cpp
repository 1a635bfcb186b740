// A firmware update among several printers, as the user sees it: the chosen printer stays the target, the
// printer being updated keeps its row while it restarts, a restart that does not end is reported, the counter
// reset asks first and shows its outcome, signals end the program, and German is complete.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QStatusBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <mutex>

#include "AppLocalization.h"
#include "Application.h"
#include "MainWindow.h"
#include "PrinterTableModel.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"

namespace ovn::app {
namespace {

using M = PrinterTableModel;
using Step = PrinterTableModel::UpdateStep;

bool waitFor(const std::function<bool()>& done, int ms = 15000) { return QTest::qWaitFor(done, ms); }

// The alert on screen (there is one at a time in these runs), whatever its language.
QMessageBox* shownAlert(const char* objectName = "ovnAlert") {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box && box->isVisible() && box->objectName() == QLatin1String(objectName)) return box;
    }
    return nullptr;
}

QMessageBox* waitForAlert(const char* objectName = "ovnAlert", int ms = 15000) {
    QMessageBox* box = nullptr;
    waitFor([&] { return (box = shownAlert(objectName)) != nullptr; }, ms);
    return box;
}

// Presses the button asked for as the index-th, and waits until the box has gone.
void press(QMessageBox* box, int index) {
    ASSERT_TRUE(box);
    QPointer<QMessageBox> gone(box);
    for (QAbstractButton* b : box->buttons()) {
        if (b->property("ovnAlertIndex").toInt() != index) continue;
        ASSERT_TRUE(waitFor([&] { return b->isEnabled(); }, 3000));
        b->click();
    }
    ASSERT_TRUE(waitFor([&] { return !gone || !gone->isVisible(); }, 3000));
}

class DesktopRun : public ::testing::Test {
protected:
    void TearDown() override {
        if (app) app->shutdown();
        app.reset();
        SystemLog::setCapture(nullptr);
        removeTranslations();
    }

    void start(const std::string& printers, int rows) {
        SystemLog::setCapture([this](LogChannel, const std::string& line) {
            std::lock_guard<std::mutex> lock(logMutex);
            if (line.rfind("alert: ", 0) == 0) alertLines.push_back(line);
        });
        app = std::make_unique<Application>();
        LaunchOptions options;
        options.simulate = printers;
        options.acceptProducts = {"0x5C01", "0x5D01"};
        ASSERT_EQ(app->start(options).toStdString(), "");
        QObject::connect(app.get(), &Application::terminated, [this] { ++terminations; });
        app->show();
        ASSERT_TRUE(waitFor([&] {
            if (model()->rowCount() != rows) return false;
            for (int r = 0; r < rows; ++r)
                for (int c : {M::FirmwareColumn, M::OfferedFirmwareColumn, M::PrinterStatusColumn, M::USBStatusColumn})
                    if (cell(r, c).isEmpty()) return false;
            return true;
        }));
    }

    MainWindow* window() const { return app->window(); }
    PrinterTableModel* model() const { return app->window()->model(); }
    QString cell(int row, int column) const { return model()->index(row, column).data().toString(); }
    std::shared_ptr<sim::OvnPrinterEmulator> emulator(const char* serial) const {
        return app->simulation()->printers->bySerial(serial);
    }
    std::string lastAlertLine() {
        std::lock_guard<std::mutex> lock(logMutex);
        return alertLines.empty() ? std::string() : alertLines.back();
    }
    void clickRow(int row) {
        QTableView* table = window()->tableView();
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualRect(model()->index(row, M::ModelColumn)).center());
    }

    // The update of the printer in the row, through the warning and the confirmation, until it restarts.
    void startUpdate(int row) {
        clickRow(row);
        window()->updateFirmwareAction()->trigger();
        QMessageBox* warning = waitForAlert();
        ASSERT_TRUE(warning && warning->checkBox());
        warning->checkBox()->setChecked(true);
        press(warning, 1);
        press(waitForAlert(), 1);
    }

    std::unique_ptr<Application> app;
    int terminations = 0;
    std::mutex logMutex;
    std::vector<std::string> alertLines;
};

TEST_F(DesktopRun, ThePrinterBeingUpdatedKeepsItsRowAndNoCommandReachesAnother) {
    start("PL35:serial=W1:delay=3000,PL45:serial=W2", 2);
    clickRow(1);
    ASSERT_TRUE(waitFor([&] { return window()->currentPrinter() == model()->printerAt(1); }, 3000));
    startUpdate(0);
    ASSERT_TRUE(waitFor([&] { return model()->isAway(0); }));

    // Away: the row stays, selected, and shows the step, a busy bar, the time; the status bar names the printer.
    EXPECT_EQ(model()->rowCount(), 2);
    EXPECT_EQ(window()->tableView()->selectionModel()->selectedRows().value(0).row(), 0);
    EXPECT_EQ(window()->currentPrinter(), nullptr);
    EXPECT_TRUE(cell(0, M::PrinterStatusColumn).startsWith("Restarting…")) << cell(0, M::PrinterStatusColumn).toStdString();
    EXPECT_EQ(model()->index(0, M::PrinterStatusColumn).data(M::ProgressRole).toInt(), 0);
    EXPECT_EQ(model()->index(1, M::PrinterStatusColumn).data(M::ProgressRole).toInt(), -1);
    auto* label = window()->findChild<QLabel*>("updateStatusLabel");
    ASSERT_TRUE(label);
    EXPECT_TRUE(label->text().contains("OVN PL35") && label->text().contains("W1") && label->text().contains("Restarting"))
        << label->text().toStdString();

    // Update Firmware is off for every printer and says why; nothing reaches the other printer.
    EXPECT_FALSE(window()->updateFirmwareAction()->isEnabled());
    EXPECT_TRUE(window()->updateFirmwareAction()->toolTip().contains("W1"));
    const size_t framesBefore = emulator("W2")->frameCount();
    window()->updateFirmwareAction()->trigger();
    window()->resetCounterAction('A')->trigger();
    QTest::qWait(400);
    EXPECT_EQ(shownAlert(), nullptr);
    EXPECT_EQ(emulator("W2")->frameCount(), framesBefore);
    clickRow(1);
    EXPECT_FALSE(window()->updateFirmwareAction()->isEnabled());
    clickRow(0);

    // Back in update mode, then with the new firmware: the same row, still the selected one.
    QMessageBox* result = waitForAlert("ovnAlert", 30000);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->text().toStdString(), "Firmware update was successful!");
    EXPECT_EQ(model()->rowCount(), 2);
    EXPECT_FALSE(model()->isAway(0));
    ASSERT_TRUE(window()->currentPrinter());
    EXPECT_EQ(window()->currentPrinter()->printerSerialNumber().value_or(""), "W1");
    press(result, 0);
    EXPECT_TRUE(waitFor([&] { return window()->updateFirmwareAction()->isEnabled(); }, 10000));
}

TEST_F(DesktopRun, APrinterNotBackInTimeIsReportedAndStillResumes) {
    start("PL35:serial=T1:delay=5000", 1);
    UserDefaults::standard().setObject("printerRestartTimeout", Value(int64_t{1}));
    startUpdate(0);
    ASSERT_TRUE(waitFor([&] { return model()->isAway(0); }));
    const std::string key = model()->lastPrinterAt(0)->keyUSBdevice();

    // A quit question asked meanwhile goes away once nothing is being waited for.
    window()->quitAction()->trigger();
    ASSERT_TRUE(waitForAlert("quitDuringUpdateAlert", 2000));
    QMessageBox* late = waitForAlert("printerNotBackAlert", 5000);
    ASSERT_TRUE(late);
    EXPECT_TRUE(late->text().contains("OVN PL35") && late->text().contains("T1")) << late->text().toStdString();
    EXPECT_TRUE(late->informativeText().contains("firmware update mode"));
    EXPECT_TRUE(late->informativeText().contains("power-cycle"));
    EXPECT_EQ(lastAlertLine().rfind("alert: OVN PL35 (serial T1) has not come back | The printer restarted", 0), 0u)
        << lastAlertLine();
    EXPECT_TRUE(waitFor([] { return shownAlert("quitDuringUpdateAlert") == nullptr; }, 3000));
    EXPECT_EQ(terminations, 0);
    EXPECT_FALSE(model()->firmwareUpdateUnderWay());
    EXPECT_EQ(ZVUSBPrinter::deviceInfoForKey(key)->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus).value_or(0),
              ZVFirmwareUpdateWaiting);
    press(late, 0);

    // The printer comes back after all: the update goes on to its end.
    QMessageBox* result = waitForAlert("ovnAlert", 30000);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->text().toStdString(), "Firmware update was successful!");
}

TEST_F(DesktopRun, CounterResetAsksNamesThePrinterAndShowsTheOutcome) {
    start("PL45:serial=C1,PL45:serial=C2:status=01000,PL45:serial=C3", 3);
    emulator("C3")->setHeldByOtherApplication(true);
    struct Case {
        int row;
        const char* serial;
        char letter;
        bool confirm;
        bool warnsNotIdle;
        uint32_t counterAfter;
        const char* outcome;  // status bar text, or the failure alert's title
    };
    const Case cases[] = {
        {0, "C1", 'A', true, false, 0, "Counter A of OVN PL45 (serial C1) was reset."},
        {1, "C2", 'B', false, true, 100, ""},
        {1, "C2", 'M', true, true, 0, "Counter M of OVN PL45 (serial C2) was reset."},
        {2, "C3", 'A', true, false, 100, "Counter A of OVN PL45 (serial C3) was not reset"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.serial) + " " + c.letter);
        emulator(c.serial)->setMediaCounter(c.letter, 100);
        clickRow(c.row);
        window()->statusBar()->clearMessage();
        window()->resetCounterAction(c.letter)->trigger();
        QMessageBox* ask = waitForAlert("resetCounterAlert", 3000);
        ASSERT_TRUE(ask);
        EXPECT_EQ(ask->text(), QString("Reset counter %1 of OVN PL45 (serial %2)?").arg(QChar(c.letter)).arg(c.serial));
        EXPECT_EQ(ask->informativeText().contains("not idle (Cover Open)"), c.warnsNotIdle);
        press(ask, c.confirm ? 1 : 0);
        if (c.counterAfter == 0) {
            EXPECT_TRUE(waitFor([&] { return emulator(c.serial)->mediaCounter(c.letter) == 0; }, 5000));
        }
        if (QString(c.outcome).endsWith('.')) {
            EXPECT_TRUE(waitFor([&] { return window()->statusBar()->currentMessage() == c.outcome; }, 5000))
                << window()->statusBar()->currentMessage().toStdString();
        } else if (*c.outcome) {
            QMessageBox* failed = waitForAlert("resetCounterFailedAlert", 5000);
            ASSERT_TRUE(failed);
            EXPECT_EQ(failed->text(), c.outcome);
            press(failed, 0);
        } else {
            QTest::qWait(300);
        }
        EXPECT_EQ(emulator(c.serial)->mediaCounter(c.letter), c.counterAfter);
        EXPECT_FALSE(window()->statusBar()->currentMessage().contains("(null)"));
        if (c.confirm && c.serial != std::string("C3")) {
            EXPECT_TRUE(waitFor([&] { return cell(c.row, M::USBStatusColumn) == "USB Available"; }, 5000))
                << cell(c.row, M::USBStatusColumn).toStdString();
        }
    }
}

TEST_F(DesktopRun, GermanShowsEveryAlertOfTheUpdateTranslatedAndKeepsTheTableInView) {
    ASSERT_TRUE(installTranslations(QLocale(QLocale::German, QLocale::Germany)));
    start("PL25D:serial=G1,PL35:serial=G2:fw=PL35 01.40,PL45:serial=G3", 3);
    window()->resize(1280, 700);
    QTest::qWait(400);
    QHeaderView* header = window()->tableView()->horizontalHeader();
    EXPECT_LE(header->sectionViewportPosition(M::USBStatusColumn) + header->sectionSize(M::USBStatusColumn),
              window()->tableView()->viewport()->width());
    window()->resize(1280, 260);
    QTest::qWait(200);
    EXPECT_GE(window()->tableView()->height(), 2 * window()->tableView()->rowHeight(0));

    // Each alert of the update against the English it was asked for (its diagnostic line).
    int checked = 0;
    auto checkTranslated = [&](QMessageBox* box) {
        ASSERT_TRUE(box);
        const QString line = QString::fromStdString(lastAlertLine()).mid(7);
        const QStringList english = line.split(" | ");
        ASSERT_EQ(english.size(), 3) << line.toStdString();
        const QString shown = (box->text() + " " + box->informativeText()).simplified();
        EXPECT_NE(box->text().simplified(), english[0]);
        EXPECT_FALSE(shown.contains("(null)"));
        if (!english[1].isEmpty()) {
            EXPECT_FALSE(shown.contains(english[1])) << shown.toStdString();
        }
        for (QAbstractButton* b : box->buttons())
            EXPECT_FALSE(english[2].split(", ").contains(b->text())) << b->text().toStdString();
        ++checked;
    };
    clickRow(1);
    window()->updateFirmwareAction()->trigger();
    QMessageBox* warning = waitForAlert();
    checkTranslated(warning);
    ASSERT_TRUE(warning->checkBox());
    EXPECT_EQ(warning->checkBox()->text(), "Ich stimme zu");
    warning->checkBox()->setChecked(true);
    press(warning, 1);
    QMessageBox* confirm = waitForAlert();
    checkTranslated(confirm);
    press(confirm, 1);
    ASSERT_TRUE(waitFor([&] { return model()->isAway(1); }));
    EXPECT_TRUE(cell(1, M::PrinterStatusColumn).startsWith("Startet neu")) << cell(1, M::PrinterStatusColumn).toStdString();
    QMessageBox* result = waitForAlert("ovnAlert", 30000);
    checkTranslated(result);
    EXPECT_EQ(result->informativeText(), "Firmware-Version von PL35 01.40 auf PL35 01.52 aktualisiert");
    EXPECT_EQ(checked, 3);
    press(result, 0);
    EXPECT_TRUE(waitFor([&] { return cell(1, M::PrinterStatusColumn) == "Bereit"; }, 10000));
    EXPECT_EQ(cell(0, M::ISerialColumn), "Nicht verfügbar");
}

// The real program, run as a user or a service manager would.
TEST(DesktopProgram, AnswersWithoutADisplayEndsOnSignalsAndReportsScreenshotFailures) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    struct Case {
        const char* name;
        QStringList args;
        bool display;
        const char* waitForOnStderr;  // then SIGTERM
        int exitStatus;
        const char* inStdout;
        const char* inStderr;
        const char* notInStderr;
        const char* fileMade;
    };
    const QString shot = dir.filePath("shot.png");
    const QString empty = dir.filePath("empty.png");
    const Case cases[] = {
        {"version", {"--version"}, false, nullptr, 0, "ovn-utility ", "", "", nullptr},
        {"help", {"--help"}, false, nullptr, 0, "--screenshot", "", "", nullptr},
        {"missing folder", {"--simulate", "PL25D", "--screenshot", dir.filePath("no/such/x.png")}, true, nullptr, 2, "",
         "no such folder", "", nullptr},
        {"quiet run", {"--simulate", "PL25D", "--screenshot", shot}, true, nullptr, 0, "", "", "DEBUG", "shot.png"},
        {"no printers", {"--simulate", "PL35", "--screenshot", empty}, true, nullptr, 0, "", "", "", "empty.png"},
        {"SIGTERM with a sheet open", {"-v", "--simulate", "PL35:status=FU00001", "--accept-product", "0x5C01"}, true,
         "alert: Attention: | A printer was unexpectedly found", 0, "", "", "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        if (c.display)
            env.insert("QT_QPA_PLATFORM", "offscreen");
        else
            env.remove("QT_QPA_PLATFORM");
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(OVN_UTILITY_BINARY), c.args);
        ASSERT_TRUE(program.waitForStarted(5000));
        QByteArray err;
        if (c.waitForOnStderr) {
            ASSERT_TRUE(waitFor([&] {
                err += program.readAllStandardError();
                return err.contains(c.waitForOnStderr);
            }, 20000)) << err.toStdString();
            ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
        }
        // A screenshot without printers waits 10 s at most.
        ASSERT_TRUE(program.waitForFinished(15000)) << c.name;
        err += program.readAllStandardError();
        const QByteArray out = program.readAllStandardOutput();
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), c.exitStatus) << err.toStdString();
        EXPECT_TRUE(out.contains(c.inStdout)) << out.toStdString();
        EXPECT_TRUE(err.contains(c.inStderr)) << err.toStdString();
        if (*c.notInStderr) {
            EXPECT_FALSE(err.contains(c.notInStderr)) << err.toStdString();
        }
        if (c.fileMade) {
            EXPECT_GT(QFileInfo(dir.filePath(c.fileMade)).size(), 0);
        }
    }
}

}  // namespace
}  // namespace ovn::app
