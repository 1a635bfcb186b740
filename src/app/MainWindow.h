// The main window: the printer table with the details of the current printer, a toolbar and menus with the
// maintenance commands for the current printer, and a status bar.
//
// Selection: the current printer is the one the user selected; the selection stays with that printer when
// others arrive or leave, and with nothing selected the first row is current. A printer restarting during its
// update keeps its row, and no command reaches any other printer through it. While an update runs on any
// printer, Update Firmware is off for every printer and says why.
#pragma once

#include <QAction>
#include <QLabel>
#include <QPointer>
#include <QMainWindow>
#include <QStackedWidget>
#include <QTableView>

#include <functional>
#include <memory>

#include "Classes/ZVPrinters.h"
#include "GuiPoster.h"
#include "PrinterDetailsPane.h"
#include "PrinterTableModel.h"

namespace ovn::app {

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // `terminate` ends the program (the registry's termination duties and the event loop's end).
    MainWindow(std::shared_ptr<ZVPrinters> registry, bool simulated, std::function<void()> terminate,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    QTableView* tableView() const { return table_; }
    PrinterTableModel* model() const { return model_; }
    PrinterDetailsPane* detailsPane() const { return details_; }
    QAction* updateFirmwareAction() const { return updateFirmwareAction_; }
    QAction* resetCounterAction(char letter) const;
    QAction* quitAction() const { return quitAction_; }
    QAction* aboutAction() const { return aboutAction_; }
    QAction* historyAction() const { return historyAction_; }

    // The printer the commands act on (the selected row's, or the first row's with nothing selected); nothing
    // while that row's printer is away restarting.
    ZVPrinters::PrinterPtr currentPrinter() const;
    // The row of the current printer (-1 without rows).
    int currentRow() const;

    // Quits at once, or asks first while a printer updates its firmware (a write cut short can leave the
    // printer unusable). Answers without waiting; the question is a sheet on this window.
    void requestQuit();
    // A termination signal: every sheet is closed and the program ends, at once or, during the image write or
    // the colour-table step, as soon as that step has ended.
    void terminateOnSignal();

    // Why no printer can be found (USB cannot be used), shown in place of the table.
    void setUnavailableReason(const QString& reason);

    // Window title, menus, toolbar, table headers and details in the current language.
    void retranslate();

    // The table's selection handler (also run after every change of the list).
    void tableViewSelectionDidChange();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void createActions();
    void createMenus();
    void createToolBar();
    void createCentralWidget();
    void fitColumns();
    void updateEmptyText();
    void updateActions();
    void updateStatusBar();
    void selectRow(int row);
    void followUsersSelection();
    void updateFirmware();
    void resetCounter(char letter);
    void resetCounterConfirmed(char letter, const ZVPrinters::PrinterPtr& printer, const QString& name);
    void showPrinterNotBack(const QString& name, int seconds);
    void showUpdateHistory();
    void updateFirmwareStateChanged();
    void about();
    void terminateNow();
    void dismissDialogs();

    std::shared_ptr<ZVPrinters> registry_;
    bool simulated_;
    std::function<void()> terminate_;
    GuiPoster poster_;
    ovn::ObservationToken selectionToken_;
    bool quitting_ = false;
    bool askingToQuit_ = false;
    QPointer<QWidget> quitPrompt_;
    QLabel* updateLabel_ = nullptr;
    bool inSelectionHandler_ = false;
    bool fitPending_ = false;
    QString unavailableReason_;

    PrinterTableModel* model_ = nullptr;
    QTableView* table_ = nullptr;
    PrinterDetailsPane* details_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    QLabel* emptyTitle_ = nullptr;
    QLabel* emptyText_ = nullptr;
    QLabel* countLabel_ = nullptr;
    QLabel* modeLabel_ = nullptr;

    QMenu* fileMenu_ = nullptr;
    QMenu* printerMenu_ = nullptr;
    QMenu* resetMenu_ = nullptr;
    QMenu* helpMenu_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QAction* updateFirmwareAction_ = nullptr;
    QAction* resetAAction_ = nullptr;
    QAction* resetBAction_ = nullptr;
    QAction* resetMAction_ = nullptr;
    QAction* resetMenuAction_ = nullptr;
    QAction* quitAction_ = nullptr;
    QAction* aboutAction_ = nullptr;
    QAction* aboutQtAction_ = nullptr;
    QAction* historyAction_ = nullptr;
};

}  // namespace ovn::app
