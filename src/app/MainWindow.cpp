#include "MainWindow.h"

#include <QApplication>
#include <QFontMetrics>
#include <QCloseEvent>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "AppLocalization.h"
#include "Classes/UpdateHistory.h"
#include "Classes/UpdateSteps.h"
#include "QtAlertPresenter.h"
#include "platform/Bundle.h"
#include "platform/SystemLog.h"

#include <QDialog>
#include <QScrollArea>
#include <QStyleOptionProgressBar>
#include <QTableWidget>
#include <algorithm>
#include <array>

namespace ovn::app {

namespace {

// Draws the printer's picture centred in its cell.
class PictureDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QPixmap pixmap = qvariant_cast<QPixmap>(index.data(Qt::DecorationRole));
        opt.icon = QIcon();
        opt.features &= ~QStyleOptionViewItem::HasDecoration;
        opt.text.clear();
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
        if (!pixmap.isNull()) {
            const QSize size = pixmap.size() / pixmap.devicePixelRatio();
            const QPoint topLeft(option.rect.x() + (option.rect.width() - size.width()) / 2,
                                 option.rect.y() + (option.rect.height() - size.height()) / 2);
            painter->drawPixmap(topLeft, pixmap);
        }
    }
    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
        return {PrinterTableModel::kPictureSize + 16, PrinterTableModel::kPictureSize + 12};
    }
};

// The iSerial switch: a model without the setting shows it disabled, inside the row's selection like any
// other cell.
class SwitchDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        if (index.data(PrinterTableModel::SwitchAvailableRole).toBool()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);
        QStyleOptionViewItem off = opt;
        off.state &= ~QStyle::State_Enabled;
        off.rect = style->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, widget);
        off.state = (off.state & ~(QStyle::State_On | QStyle::State_NoChange)) |
                    (opt.checkState == Qt::Checked ? QStyle::State_On : QStyle::State_Off);
        style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &off, painter, widget);
        const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
        QColor colour = opt.palette.color(QPalette::Disabled, QPalette::Text);
        if (opt.state & QStyle::State_Selected) {
            colour = opt.palette.color(QPalette::Active, QPalette::HighlightedText);
            colour.setAlphaF(0.6);
        }
        painter->save();
        painter->setPen(colour);
        painter->drawText(textRect.adjusted(2, 0, -2, 0), Qt::AlignLeft | Qt::AlignVCenter,
                          opt.fontMetrics.elidedText(opt.text, Qt::ElideRight, textRect.width() - 4));
        painter->restore();
    }
};

// The printer status: a printer being updated gets a progress bar under its step.
class StatusDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const int progress = index.data(PrinterTableModel::ProgressRole).toInt();
        if (progress < 0) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem top = option;
        top.rect.setBottom(option.rect.center().y() + 4);
        QStyledItemDelegate::paint(painter, top, index);
        QStyleOptionProgressBar bar;
        bar.rect = QRect(option.rect.left() + 6, option.rect.center().y() + 6, option.rect.width() - 12, 10);
        bar.minimum = 0;
        bar.maximum = progress == 0 ? 0 : 100;  // a busy bar without a count
        bar.progress = progress;
        bar.state = QStyle::State_Enabled | QStyle::State_Horizontal;
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ProgressBar, &bar, painter, widget);
    }
};

QIcon themedIcon(const char* name, QStyle::StandardPixmap fallback, const QWidget* widget) {
    return QIcon::fromTheme(QString::fromLatin1(name), widget->style()->standardIcon(fallback));
}

constexpr int kRowHeight = PrinterTableModel::kPictureSize + 12;

// One of the window's own alerts: logged like every alert, shown as a sheet on the window (without waiting: the
// caller may still adjust it).
QMessageBox* openSheet(const ovn::AlertRequest& request, QWidget* window, const char* objectName) {
    ovn::logAlert(request);
    QMessageBox* box = QtAlertPresenter::createMessageBox(request, window);
    box->setObjectName(QString::fromLatin1(objectName));
    box->setWindowModality(Qt::WindowModal);
    box->open();
    return box;
}

}  // namespace

MainWindow::MainWindow(std::shared_ptr<ZVPrinters> registry, bool simulated, std::function<void()> terminate,
                       QWidget* parent)
    : QMainWindow(parent),
      registry_(std::move(registry)),
      simulated_(simulated),
      terminate_(std::move(terminate)),
      poster_(this) {
    setObjectName(QStringLiteral("mainWindow"));
    model_ = new PrinterTableModel(registry_, this);
    createActions();
    createMenus();
    createToolBar();
    createCentralWidget();

    countLabel_ = new QLabel(this);
    modeLabel_ = new QLabel(this);
    updateLabel_ = new QLabel(this);
    updateLabel_->setObjectName(QStringLiteral("updateStatusLabel"));
    statusBar()->addWidget(countLabel_, 1);
    statusBar()->addPermanentWidget(updateLabel_);
    statusBar()->addPermanentWidget(modeLabel_);
    modeLabel_->setVisible(simulated_);

    connect(model_, &QAbstractItemModel::rowsInserted, this, [this] {
        fitColumns();
        updateStatusBar();
        tableViewSelectionDidChange();
    });
    connect(model_, &QAbstractItemModel::rowsRemoved, this, [this] {
        updateStatusBar();
        tableViewSelectionDidChange();
    });
    connect(model_, &QAbstractItemModel::modelReset, this, [this] {
        updateStatusBar();
        tableViewSelectionDidChange();
    });
    connect(model_, &PrinterTableModel::firmwareUpdateStateChanged, this, &MainWindow::updateFirmwareStateChanged);
    connect(model_, &QAbstractItemModel::dataChanged, this, [this] {
        updateLabel_->setText(model_->updateSummary());
        // Values arrive one by one: the columns are fitted once they have settled.
        if (!fitPending_) {
            fitPending_ = true;
            QTimer::singleShot(300, this, [this] {
                fitPending_ = false;
                fitColumns();
            });
        }
    });
    connect(model_, &PrinterTableModel::printerNotBack, this, &MainWindow::showPrinterNotBack);
    connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::tableViewSelectionDidChange);

    // The registry selects printers of its own accord (one that arrives, or whose firmware version becomes
    // known); the user's choice stands, and the registry is brought back to it.
    if (registry_) {
        auto handle = poster_.handle();
        selectionToken_ = registry_->observe(ZVPrinters::kSelectionIndexKey,
                                             [handle, this](const std::string&, const ovn::KeyValueChange&) {
                                                 GuiPoster::post(handle, [this] { followUsersSelection(); });
                                             });
    }

    // A printer that is seen but not accepted changes no row: the empty page looks again every second.
    auto* unacceptedCheck = new QTimer(this);
    connect(unacceptedCheck, &QTimer::timeout, this, &MainWindow::updateEmptyText);
    unacceptedCheck->start(1000);

    resize(1320, 680);
    retranslate();
    updateStatusBar();
    updateActions();
}

MainWindow::~MainWindow() { selectionToken_.reset(); }

// ---- construction ----

void MainWindow::createActions() {
    updateFirmwareAction_ = new QAction(themedIcon("system-software-update", QStyle::SP_ArrowUp, this), QString(), this);
    updateFirmwareAction_->setObjectName(QStringLiteral("updateFirmwareAction"));
    updateFirmwareAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_U));
    connect(updateFirmwareAction_, &QAction::triggered, this, &MainWindow::updateFirmware);

    resetAAction_ = new QAction(this);
    resetBAction_ = new QAction(this);
    resetMAction_ = new QAction(this);
    resetAAction_->setObjectName(QStringLiteral("resetCounterAAction"));
    resetBAction_->setObjectName(QStringLiteral("resetCounterBAction"));
    resetMAction_->setObjectName(QStringLiteral("resetCounterMAction"));
    connect(resetAAction_, &QAction::triggered, this, [this] { resetCounter('A'); });
    connect(resetBAction_, &QAction::triggered, this, [this] { resetCounter('B'); });
    connect(resetMAction_, &QAction::triggered, this, [this] { resetCounter('M'); });

    quitAction_ = new QAction(themedIcon("application-exit", QStyle::SP_DialogCloseButton, this), QString(), this);
    quitAction_->setObjectName(QStringLiteral("quitAction"));
    quitAction_->setShortcut(QKeySequence::Quit);
    quitAction_->setMenuRole(QAction::QuitRole);
    connect(quitAction_, &QAction::triggered, this, &MainWindow::requestQuit);

    aboutAction_ = new QAction(themedIcon("help-about", QStyle::SP_MessageBoxInformation, this), QString(), this);
    aboutAction_->setObjectName(QStringLiteral("aboutAction"));
    aboutAction_->setMenuRole(QAction::AboutRole);
    connect(aboutAction_, &QAction::triggered, this, &MainWindow::about);

    historyAction_ = new QAction(this);
    historyAction_->setObjectName(QStringLiteral("updateHistoryAction"));
    connect(historyAction_, &QAction::triggered, this, &MainWindow::showUpdateHistory);

    aboutQtAction_ = new QAction(this);
    aboutQtAction_->setMenuRole(QAction::AboutQtRole);
    connect(aboutQtAction_, &QAction::triggered, qApp, &QApplication::aboutQt);
}

void MainWindow::createMenus() {
    fileMenu_ = menuBar()->addMenu(QString());
    fileMenu_->addAction(quitAction_);

    printerMenu_ = menuBar()->addMenu(QString());
    printerMenu_->addAction(updateFirmwareAction_);
    printerMenu_->addSeparator();
    resetMenu_ = printerMenu_->addMenu(QString());
    resetMenu_->setIcon(themedIcon("edit-clear", QStyle::SP_DialogResetButton, this));
    resetMenu_->addAction(resetAAction_);
    resetMenu_->addAction(resetBAction_);
    resetMenu_->addAction(resetMAction_);
    resetMenuAction_ = resetMenu_->menuAction();
    printerMenu_->addSeparator();
    printerMenu_->addAction(historyAction_);

    helpMenu_ = menuBar()->addMenu(QString());
    helpMenu_->addAction(aboutAction_);
    helpMenu_->addAction(aboutQtAction_);
}

void MainWindow::createToolBar() {
    toolBar_ = addToolBar(QString());
    toolBar_->setObjectName(QStringLiteral("mainToolBar"));
    toolBar_->setMovable(false);
    toolBar_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toolBar_->setIconSize(QSize(22, 22));
    toolBar_->addAction(updateFirmwareAction_);
    // The counter resets sit behind a menu: a single stray click must not clear a counter.
    toolBar_->addAction(resetMenuAction_);
    if (auto* button = qobject_cast<QToolButton*>(toolBar_->widgetForAction(resetMenuAction_)))
        button->setPopupMode(QToolButton::InstantPopup);
    auto* spacer = new QWidget(toolBar_);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolBar_->addWidget(spacer);
    toolBar_->addAction(aboutAction_);
}

void MainWindow::createCentralWidget() {
    table_ = new QTableView(this);
    table_->setObjectName(QStringLiteral("printerTable"));
    table_->setModel(model_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setAlternatingRowColors(true);
    table_->setWordWrap(false);
    table_->setTextElideMode(Qt::ElideRight);
    table_->setShowGrid(false);
    table_->setIconSize(QSize(PrinterTableModel::kPictureSize, PrinterTableModel::kPictureSize));
    table_->setItemDelegateForColumn(PrinterTableModel::PictureColumn, new PictureDelegate(table_));
    table_->setItemDelegateForColumn(PrinterTableModel::ISerialColumn, new SwitchDelegate(table_));
    table_->setItemDelegateForColumn(PrinterTableModel::PrinterStatusColumn, new StatusDelegate(table_));
    // A low window keeps the header and two rows of the table; the details give way first.
    table_->setMinimumHeight(kRowHeight * 2 + 40);
    table_->verticalHeader()->setVisible(false);
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->verticalHeader()->setDefaultSectionSize(kRowHeight);
    QHeaderView* header = table_->horizontalHeader();
    header->setHighlightSections(false);
    header->setStretchLastSection(true);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setSectionResizeMode(PrinterTableModel::PictureColumn, QHeaderView::Fixed);

    details_ = new PrinterDetailsPane(model_, this);
    details_->setObjectName(QStringLiteral("detailsPane"));

    auto* detailsScroll = new QScrollArea(this);
    detailsScroll->setWidget(details_);
    detailsScroll->setWidgetResizable(true);
    detailsScroll->setFrameShape(QFrame::NoFrame);
    detailsScroll->setMinimumHeight(0);

    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(table_);
    splitter->addWidget(detailsScroll);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    splitter->setSizes({380, 260});
    splitter->setChildrenCollapsible(false);

    // Shown while no printer is attached.
    auto* empty = new QWidget(this);
    emptyTitle_ = new QLabel(empty);
    QFont big = emptyTitle_->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    emptyTitle_->setFont(big);
    emptyTitle_->setAlignment(Qt::AlignCenter);
    emptyText_ = new QLabel(empty);
    emptyText_->setAlignment(Qt::AlignCenter);
    emptyText_->setWordWrap(true);
    emptyText_->setEnabled(false);
    auto* emptyLayout = new QVBoxLayout(empty);
    emptyLayout->addStretch(1);
    emptyLayout->addWidget(emptyTitle_);
    emptyLayout->addWidget(emptyText_);
    emptyLayout->addStretch(2);

    stack_ = new QStackedWidget(this);
    stack_->addWidget(empty);
    stack_->addWidget(splitter);
    setCentralWidget(stack_);
}

void MainWindow::retranslate() {
    setWindowTitle(simulated_ ? tr("OVN Printer Utility — simulated printers") : tr("OVN Printer Utility"));
    fileMenu_->setTitle(tr("&File"));
    printerMenu_->setTitle(tr("&Printer"));
    helpMenu_->setTitle(tr("&Help"));
    resetMenu_->setTitle(tr("&Reset Counter"));
    toolBar_->setWindowTitle(tr("Toolbar"));

    updateFirmwareAction_->setText(tr("&Update Firmware…"));
    updateFirmwareAction_->setToolTip(tr("Update the firmware and color tables of the selected printer"));
    updateFirmwareAction_->setStatusTip(updateFirmwareAction_->toolTip());
    resetAAction_->setText(tr("Reset Counter &A"));
    resetBAction_->setText(tr("Reset Counter &B"));
    resetMAction_->setText(tr("Reset Counter &M"));
    for (QAction* a : {resetAAction_, resetBAction_, resetMAction_}) a->setStatusTip(tr("Reset a media counter of the selected printer"));
    resetMenuAction_->setToolTip(tr("Reset a media counter of the selected printer"));
    quitAction_->setText(tr("&Quit"));
    quitAction_->setStatusTip(tr("Quit the application"));
    aboutAction_->setText(tr("&About OVN Printer Utility"));
    aboutAction_->setIconText(tr("About"));
    aboutQtAction_->setText(tr("About &Qt"));
    historyAction_->setText(tr("Update &History…"));
    historyAction_->setStatusTip(tr("Show the firmware updates done on this computer"));

    emptyTitle_->setText(tr("No printers found"));
    updateEmptyText();
    modeLabel_->setText(tr("Simulated printers"));

    model_->retranslate();
    details_->retranslate();
    fitColumns();
    updateStatusBar();
}

void MainWindow::updateEmptyText() {
    QString text = unavailableReason_.isEmpty()
                       ? tr("Connect an OVN printer by USB and switch it on. It appears here as soon as it is "
                            "recognised.")
                       : tr("USB cannot be used: %1").arg(unavailableReason_);
    // OVN printers on the bus that the program does not accept, each with the option that would.
    if (registry_)
        for (const auto& seen : registry_->unacceptedPrinters())
            text += QStringLiteral("\n\n") + QString::fromStdString(ZVPrinters::unacceptedPrinterText(seen));
    if (emptyText_->text() != text) emptyText_->setText(text);
}

void MainWindow::fitColumns() {
    // Each column as wide as its title and the texts it holds, in the current language. When the table is
    // wider than the window, the columns with long values give way first (their cells elide, the tool tips
    // keep the whole text), so that the last column stays in view.
    using M = PrinterTableModel;
    static constexpr int kMinWidths[M::ColumnCount] = {64, 60, 56, 84, 96, 96, 80, 80, 70, 80, 110, 96};
    static constexpr int kMaxWidths[M::ColumnCount] = {64, 120, 90, 120, 140, 140, 170, 170, 130, 140, 190, 150};
    const QFontMetrics header(table_->horizontalHeader()->font());
    const QFontMetrics cells(table_->font());
    std::array<int, M::ColumnCount> widths{};
    int total = 0;
    for (int c = 0; c < M::ColumnCount; ++c) {
        int width = header.horizontalAdvance(model_->headerData(c, Qt::Horizontal).toString()) + 24;
        for (int r = 0; r < model_->rowCount(); ++r)
            width = std::max(width, cells.horizontalAdvance(model_->index(r, c).data().toString()) + 44);
        widths[static_cast<size_t>(c)] = std::clamp(width, kMinWidths[c], kMaxWidths[c]);
        total += widths[static_cast<size_t>(c)];
    }
    const int available = std::max(table_->viewport()->width(), width() - 24);
    for (int c : {M::ColorTableChecksumColumn, M::ColorTableVersionColumn, M::OfferedFirmwareColumn, M::FirmwareColumn,
                  M::ISerialColumn, M::LifetimeCounterColumn, M::SerialNumberColumn, M::ManufacturerColumn}) {
        if (total <= available) break;
        int& w = widths[static_cast<size_t>(c)];
        const int give = std::min(total - available, w - kMinWidths[c]);
        w -= give;
        total -= give;
    }
    for (int c = 0; c < M::ColumnCount; ++c) table_->setColumnWidth(c, widths[static_cast<size_t>(c)]);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    fitColumns();
}

void MainWindow::setUnavailableReason(const QString& reason) {
    unavailableReason_ = reason;
    retranslate();
}

void MainWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) retranslate();
    QMainWindow::changeEvent(event);
}

// ---- selection ----

void MainWindow::tableViewSelectionDidChange() {
    if (inSelectionHandler_) return;
    inSelectionHandler_ = true;
    const int rows = model_->rowCount();
    const QModelIndexList selected = table_->selectionModel()->selectedRows();
    const int selectedRow = selected.isEmpty() ? -1 : selected.front().row();
    ovn::SysLog("rows = %d; selected row = %d", rows, selectedRow);
    // With nothing selected the first row is the current one.
    if (rows > 0 && selectedRow < 0) selectRow(0);
    inSelectionHandler_ = false;

    followUsersSelection();
    details_->setRow(currentRow());
    updateActions();
}

void MainWindow::followUsersSelection() {
    // A printer away restarting is not listed in the registry: its selection is left alone meanwhile.
    if (auto printer = currentPrinter(); printer && registry_ && registry_->selectedPrinter() != printer)
        runAsMainQueueBlock([this, printer] { registry_->setSelectedPrinter(printer); });
}

void MainWindow::selectRow(int row) {
    if (row < 0 || row >= model_->rowCount()) return;
    const QModelIndex index = model_->index(row, 0);
    table_->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

int MainWindow::currentRow() const {
    const QModelIndexList selected = table_->selectionModel()->selectedRows();
    if (!selected.isEmpty()) return selected.front().row();
    return model_->rowCount() > 0 ? 0 : -1;
}

ZVPrinters::PrinterPtr MainWindow::currentPrinter() const { return model_->printerAt(currentRow()); }

// ---- commands ----

QAction* MainWindow::resetCounterAction(char letter) const {
    switch (letter) {
        case 'A': return resetAAction_;
        case 'B': return resetBAction_;
        case 'M': return resetMAction_;
        default: return nullptr;
    }
}

void MainWindow::updateActions() {
    auto printer = currentPrinter();
    const int row = currentRow();
    const bool usable = printer && !printer->inFirmwareUpdate() &&
                        model_->updateStep(row) == PrinterTableModel::UpdateStep::None;
    // One update at a time: while any printer updates, no other update starts.
    QString busyWith;
    for (int r = 0; r < model_->rowCount() && busyWith.isEmpty(); ++r) {
        auto p = model_->lastPrinterAt(r);
        if (model_->updateStep(r) != PrinterTableModel::UpdateStep::None || (!model_->isAway(r) && p && p->inFirmwareUpdate()))
            busyWith = model_->printerName(r);
    }
    updateFirmwareAction_->setEnabled(usable && busyWith.isEmpty());
    const QString updateTip = tr("Update the firmware and color tables of the selected printer");
    const QString why = busyWith.isEmpty() ? QString()
                                           : tr("Not available while %1 is being updated.").arg(busyWith);
    updateFirmwareAction_->setToolTip(why.isEmpty() ? updateTip : why);
    updateFirmwareAction_->setStatusTip(updateFirmwareAction_->toolTip());
    resetMenuAction_->setEnabled(usable);
    for (QAction* a : {resetAAction_, resetBAction_, resetMAction_}) a->setEnabled(usable);
}

void MainWindow::updateFirmwareStateChanged() {
    updateActions();
    updateLabel_->setText(model_->updateSummary());
    // A quit question asked during the update has no reason to stay once nothing is being written.
    if (quitPrompt_ && !model_->firmwareUpdateUnderWay())
        if (auto* prompt = qobject_cast<QDialog*>(quitPrompt_.data())) prompt->done(QDialog::Rejected);
}

void MainWindow::showPrinterNotBack(const QString& name, int seconds) {
    ovn::AlertRequest request;
    request.title = tr("%1 has not come back").arg(name).toStdString();
    request.message = tr("The printer restarted for its firmware update %1 seconds ago and has not been found since. "
                         "It is probably waiting in firmware update mode, or stopped while restarting. Switch the "
                         "printer off and on again (power-cycle it); the update goes on when it comes back.")
                          .arg(seconds)
                          .toStdString();
    openSheet(request, this, "printerNotBackAlert");
}

void MainWindow::updateStatusBar() {
    if (!countLabel_) return;
    const int rows = model_->rowCount();
    stack_->setCurrentIndex(rows > 0 ? 1 : 0);
    if (rows == 0)
        countLabel_->setText(tr("No printers attached"));
    else if (rows == 1)
        countLabel_->setText(tr("1 printer attached"));
    else
        countLabel_->setText(tr("%1 printers attached").arg(rows));
}

void MainWindow::updateFirmware() {
    auto printer = currentPrinter();
    if (!printer || !updateFirmwareAction_->isEnabled()) return;
    // The firmware files are checked before the first question appears.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    runAsMainQueueBlock([&] { printer->updateFirmware(this); });
    QApplication::restoreOverrideCursor();
}

void MainWindow::resetCounter(char letter) {
    auto printer = currentPrinter();
    if (!printer || !resetCounterAction(letter) || !resetCounterAction(letter)->isEnabled()) return;
    const QString name = PrinterTableModel::printerName(*printer);
    const QString counter = QChar::fromLatin1(letter);
    ovn::AlertRequest request;
    request.title = tr("Reset counter %1 of %2?").arg(counter, name).toStdString();
    QString message = tr("The counter starts again from zero. This cannot be undone.");
    const auto status = printer->printerStatus();
    if (status != std::string("Idle")) {
        const QString shown = status ? translateCoreText(*status) : tr("unknown");
        message += QStringLiteral("\n\n") +
                   tr("The printer is not idle (%1). Resetting a counter now may disturb what it is doing.").arg(shown);
    }
    request.message = message.toStdString();
    request.buttons = {"Cancel", "Reset"};
    QMessageBox* box = openSheet(request, this, "resetCounterAlert");
    for (QAbstractButton* b : box->buttons())
        b->setText(b->property("ovnAlertIndex").toInt() == 0 ? tr("Cancel") : tr("Reset Counter %1").arg(counter));
    std::weak_ptr<ZVUSBPrinterOVN> weak = printer;
    connect(box, &QMessageBox::finished, this, [this, box, letter, weak, name](int) {
        QAbstractButton* clicked = box->clickedButton();
        auto target = weak.lock();
        if (!clicked || clicked->property("ovnAlertIndex").toInt() != 1) return;
        if (!target || model_->rowOfPrinter(target.get()) < 0 || model_->isAway(model_->rowOfPrinter(target.get()))) {
            statusBar()->showMessage(tr("%1 is gone; no counter was reset.").arg(name), 10000);
            return;
        }
        resetCounterConfirmed(letter, target, name);
    });
}

void MainWindow::resetCounterConfirmed(char letter, const ZVPrinters::PrinterPtr& printer, const QString& name) {
    const QString counter = QChar::fromLatin1(letter);
    statusBar()->showMessage(tr("Resetting counter %1 of %2…").arg(counter, name));
    QPointer<MainWindow> self(this);
    std::weak_ptr<ZVUSBPrinterOVN> weak = printer;
    runAsMainQueueBlock([&] {
        printer->resetCounter(letter, [self, weak, counter, name](IOReturn result, const std::string& reason) {
            if (!self) return;
            // The USB status shows the truth again (the reset opened and closed the printer).
            if (auto p = weak.lock()) p->updatePrinterStatus();
            if (result == kIOReturnSuccess) {
                self->statusBar()->showMessage(tr("Counter %1 of %2 was reset.").arg(counter, name), 15000);
                return;
            }
            self->statusBar()->clearMessage();
            ovn::AlertRequest failed;
            failed.title = tr("Counter %1 of %2 was not reset").arg(counter, name).toStdString();
            failed.message = reason.empty() ? tr("The printer did not take the reset.").toStdString() : reason;
            openSheet(failed, self, "resetCounterFailedAlert");
        });
    });
}

void MainWindow::showUpdateHistory() {
    std::string error;
    size_t skipped = 0;
    const auto entries = ovn::update::readUpdateHistory(ovn::update::historyFile(), &error, &skipped);
    auto* dialog = new QDialog(this);
    dialog->setObjectName(QStringLiteral("updateHistoryWindow"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(tr("Update History"));
    auto* layout = new QVBoxLayout(dialog);
    auto* table = new QTableWidget(static_cast<int>(entries.size()), 9, dialog);
    table->setObjectName(QStringLiteral("updateHistoryTable"));
    table->setHorizontalHeaderLabels({tr("Time"), tr("Model"), tr("Serial Number"), tr("From"), tr("To"),
                                      tr("Color Tables Written"), tr("Result"), tr("Duration"), tr("Program")});
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->verticalHeader()->setVisible(false);
    auto orUnknown = [](const std::optional<std::string>& t) {
        return t && !t->empty() ? QString::fromStdString(*t) : tr("unknown");
    };
    auto resultText = [](const std::string& r) {
        if (r == "succeeded") return tr("succeeded");
        if (r == "failed") return tr("failed");
        if (r == "interrupted") return tr("interrupted");
        if (r == "resumed") return tr("resumed");
        if (r == "superseded") return tr("superseded");
        return QString::fromStdString(r);
    };
    // Newest first.
    for (int i = 0; i < static_cast<int>(entries.size()); ++i) {
        const auto& e = entries[entries.size() - 1 - static_cast<size_t>(i)];
        const QStringList cells{QString::fromStdString(e.time), orUnknown(e.model), orUnknown(e.serial),
                                orUnknown(e.from), orUnknown(e.to),
                                QString::number(e.tablesWritten.size()), resultText(e.result),
                                tr("%1 s").arg(e.durationSeconds, 0, 'f', 0), QString::fromStdString(e.program)};
        for (int c = 0; c < cells.size(); ++c) table->setItem(i, c, new QTableWidgetItem(cells[c]));
    }
    table->resizeColumnsToContents();
    auto* note = new QLabel(dialog);
    if (!error.empty())
        note->setText(tr("The update history cannot be read: %1").arg(QString::fromStdString(error)));
    else if (entries.empty())
        note->setText(tr("No firmware update has been recorded on this computer yet."));
    else if (skipped > 0)
        note->setText(tr("%n damaged line(s) of the history were left out.", nullptr, static_cast<int>(skipped)));
    note->setVisible(!note->text().isEmpty());
    note->setWordWrap(true);
    layout->addWidget(table);
    layout->addWidget(note);
    dialog->resize(900, 360);
    dialog->show();
}

void MainWindow::about() {
    const QString version = QString::fromStdString(ovn::Bundle::shortVersionString());
    auto* box = new QMessageBox(this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(tr("About OVN Printer Utility"));
    box->setIconPixmap(windowIcon().pixmap(64, 64));
    box->setTextFormat(Qt::RichText);
    box->setText(QStringLiteral("<h3>%1</h3><p>%2</p>").arg(tr("OVN Printer Utility"), tr("Version %1").arg(version)));
    box->setInformativeText(tr("Maintenance for OVN USB photo printers: firmware and color-table updates, the USB "
                              "serial-number setting and media counters.") +
                           QStringLiteral("<br><br>") + tr("Built with Qt %1.").arg(QString::fromLatin1(qVersion())));
    box->setStandardButtons(QMessageBox::Ok);
    box->open();
}

// ---- termination ----

void MainWindow::requestQuit() {
    if (quitting_ || askingToQuit_) return;
    if (!model_->firmwareUpdateUnderWay()) {
        terminateNow();
        return;
    }
    // Quitting now would cut a firmware or colour-table write short and can leave the printer unusable.
    askingToQuit_ = true;
    ovn::AlertRequest request;
    request.title = tr("A firmware update is in progress.").toStdString();
    request.message = tr("Quitting now can interrupt the update and damage the printer. Wait until the update "
                         "has finished before you quit.")
                          .toStdString();
    request.buttons = {"Cancel", "Quit Anyway"};
    request.style = ovn::AlertStyle::Critical;
    QMessageBox* box = openSheet(request, this, "quitDuringUpdateAlert");
    quitPrompt_ = box;
    for (QAbstractButton* b : box->buttons())
        b->setText(b->property("ovnAlertIndex").toInt() == 0 ? tr("Cancel") : tr("Quit Anyway"));
    connect(box, &QMessageBox::finished, this, [this, box](int) {
        askingToQuit_ = false;
        QAbstractButton* clicked = box->clickedButton();
        if (clicked && clicked->property("ovnAlertIndex").toInt() == 1) terminateNow();
    });
}

void MainWindow::terminateOnSignal() {
    if (quitting_) return;
    dismissDialogs();
    askingToQuit_ = false;
    if (ovn::update::criticalUpdateStepsRunning() > 0) {
        // A write cut short can leave the printer unusable: the step ends first.
        const QString step = QString::fromStdString(ovn::update::currentCriticalUpdateStep());
        ovn::SysLog("termination requested while %s: stopping when it ends", step.toUtf8().constData());
        statusBar()->showMessage(tr("Stopping after the current step of the update (%1) has ended…").arg(step));
        QPointer<MainWindow> self(this);
        ovn::update::setCriticalUpdateStepsEndedHandler([self] {
            ovn::update::setCriticalUpdateStepsEndedHandler(nullptr);
            GuiPoster::post(self ? self->poster_.handle() : GuiPoster::Handle(), [self] {
                if (self) self->terminateNow();
            });
        });
        // The step may have ended before the handler was in place.
        if (ovn::update::criticalUpdateStepsRunning() == 0) {
            ovn::update::setCriticalUpdateStepsEndedHandler(nullptr);
            terminateNow();
        }
        return;
    }
    terminateNow();
}

void MainWindow::dismissDialogs() {
    // Every sheet and dialog goes, also one that refuses to be closed (no Cancel button); none of their
    // completions runs. A dialog left open would keep the program from ending.
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isVisible()) dialog->done(QDialog::Rejected);
}

void MainWindow::terminateNow() {
    if (quitting_) return;
    quitting_ = true;
    dismissDialogs();
    if (registry_) runAsMainQueueBlock([this] { (void)registry_->applicationShouldTerminate(); });
    if (terminate_) terminate_();
    close();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (quitting_) {
        event->accept();
        return;
    }
    // Closing the window quits the application, through the same question as the Quit command.
    event->ignore();
    requestQuit();
}

}  // namespace ovn::app
