// The printer table: rows follow the registry's list, cells follow the printers' properties, the selection
// always ends on the first row, the iSerial switch asks the printer and shows its answer.
#include <QFile>
#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <algorithm>

#include <future>
#include <set>

#include "AppTestSupport.h"
#include "sim/SimulatedPrinters.h"

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

TEST_F(AppTest, ColourTablesOfEveryLayoutAreReachable) {
    start("PL45:serial=T8,PL35:serial=T3,PL25D:serial=T1");
    ASSERT_TRUE(waitForProbes(3));
    auto tablesOf = [&](const QString& serial) { return model()->colorTables(rowOfSerial(serial)); };

    const auto octuple = tablesOf("T8");
    ASSERT_EQ(octuple.size(), 8u);
    auto pl45 = emulator("T8")->colourTables();
    for (const auto& entry : octuple) {
        ovn::sim::ColourTableId id{entry.media.toStdString(), entry.table.toInt()};
        ASSERT_TRUE(pl45.count(id)) << entry.media.toStdString() << entry.table.toStdString();
        EXPECT_EQ(entry.version.toStdString(), pl45[id].version);
        EXPECT_EQ(entry.checksum.toStdString(), pl45[id].checksum);
    }
    EXPECT_EQ(tablesOf("T3").size(), 3u);
    ASSERT_EQ(tablesOf("T1").size(), 1u);
    EXPECT_EQ(tablesOf("T1")[0].version, cell(rowOfSerial("T1"), M::ColorTableVersionColumn));

    // The table's cells name every table in their tooltip; the details list them all for the current printer.
    const QString tip = model()->index(rowOfSerial("T8"), M::ColorTableChecksumColumn).data(Qt::ToolTipRole).toString();
    for (const auto& entry : octuple) EXPECT_TRUE(tip.contains(entry.checksum)) << tip.toStdString();
    EXPECT_EQ(window()->detailsPane()->colorTableGrid()->rowCount(), 8);  // the PL45 is the first row
}

TEST_F(AppTest, EverySelectionChangeEndsOnTheFirstRow) {
    start("PL25D:serial=R1,PL35:serial=R2,PL45:serial=R3");
    ASSERT_TRUE(waitForProbes(3));
    QTableView* table = window()->tableView();
    auto onRow = [&](int row) {
        return [&, row] {
            const QModelIndexList rows = table->selectionModel()->selectedRows();
            return rows.size() == 1 && rows.front().row() == row && app->registry()->selectionIndex() == row &&
                   window()->currentPrinter() == model()->printerAt(row);
        };
    };
    ASSERT_TRUE(waitFor(onRow(0), 5000));

    table->selectRow(1);
    EXPECT_TRUE(waitFor(onRow(1), 3000));

    // A click on the last row.
    const QRect rect = table->visualRect(model()->index(2, M::ModelColumn));
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, rect.center());
    EXPECT_TRUE(waitFor(onRow(2), 3000));

    // The registry selects a printer (as it does when a printer's firmware version becomes known).
    runAsMainQueueBlock([&] { app->registry()->setSelectionIndex(0); });
    EXPECT_TRUE(waitFor(onRow(2), 3000));

    table->clearSelection();
    EXPECT_TRUE(waitFor(onRow(0), 3000));

    // The first printer leaves while the last is selected: the selection stays with that printer.
    table->selectRow(2);
    auto last = model()->printerAt(2);
    app->simulation()->bus->unplug(*emulator("R1")->deviceId());
    ASSERT_TRUE(waitFor([&] { return model()->rowCount() == 2; }));
    EXPECT_TRUE(waitFor(onRow(1), 3000));
    EXPECT_EQ(window()->currentPrinter(), last);
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
