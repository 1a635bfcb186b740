// Drives the desktop program against emulated printers: starts it as main() would (minus the event loop, which
// the tests spin themselves), finds the alerts it shows and presses their buttons.
#pragma once

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
