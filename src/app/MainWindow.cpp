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

#include "QtAlertPresenter.h"
#include "platform/Bundle.h"
#include "platform/SystemLog.h"

#include <algorithm>

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

QIcon themedIcon(const char* name, QStyle::StandardPixmap fallback, const QWidget* widget) {
    return QIcon::fromTheme(QString::fromLatin1(name), widget->style()->standardIcon(fallback));
}

constexpr int kRowHeight = PrinterTableModel::kPictureSize + 12;

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
    statusBar()->addWidget(countLabel_, 1);
    statusBar()->addPermanentWidget(modeLabel_);
    modeLabel_->setVisible(simulated_);

    connect(model_, &QAbstractItemModel::rowsInserted, this, [this] {
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
    connect(model_, &PrinterTableModel::firmwareUpdateStateChanged, this, &MainWindow::updateActions);
    connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::tableViewSelectionDidChange);

    // The registry's selection (a printer that arrived, or whose firmware version became known) is shown by
    // the table, whose own rule then brings it back to the first row.
    if (registry_) {
        auto handle = poster_.handle();
        selectionToken_ = registry_->observe(ZVPrinters::kSelectionIndexKey,
                                             [handle, this](const std::string&, const ovn::KeyValueChange&) {
                                                 GuiPoster::post(handle, [this] { registrySelectionChanged(); });
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

    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(table_);
    splitter->addWidget(details_);
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
    // Room for the values the columns usually hold, and at least for their titles in the current language.
    static constexpr int kWidths[PrinterTableModel::ColumnCount] = {64, 110, 70, 100, 124, 124, 130, 130, 96, 112, 130, 100};
    const QFontMetrics metrics(table_->horizontalHeader()->font());
    for (int c = 0; c < PrinterTableModel::ColumnCount; ++c) {
        const int title = metrics.horizontalAdvance(model_->headerData(c, Qt::Horizontal).toString()) + 20;
        table_->setColumnWidth(c, std::max(kWidths[c], title));
    }
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
    if (rows > 0 && selectedRow < 0) {
        ovn::SysLog("selecting row 0");
        selectRow(0);
    }
    ovn::SysLog("really selecting row 0");
    selectRow(0);
    inSelectionHandler_ = false;

    // The registry's selection follows the table's.
    if (registry_ && rows > 0 && registry_->selectionIndex() != 0)
        runAsMainQueueBlock([this] { registry_->setSelectionIndex(0); });
    details_->setRow(rows > 0 ? 0 : -1);
    updateActions();
}

void MainWindow::selectRow(int row) {
    if (row < 0 || row >= model_->rowCount()) return;
    const QModelIndex index = model_->index(row, 0);
    table_->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void MainWindow::registrySelectionChanged() {
    if (!registry_) return;
    const int64_t index = registry_->selectionIndex();
    if (index >= 0 && index < model_->rowCount()) selectRow(static_cast<int>(index));
    tableViewSelectionDidChange();
}

ZVPrinters::PrinterPtr MainWindow::currentPrinter() const {
    const QModelIndexList selected = table_->selectionModel()->selectedRows();
    if (selected.isEmpty()) return nullptr;
    return model_->printerAt(selected.front().row());
}

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
    const bool usable = printer && !printer->inFirmwareUpdate();
    updateFirmwareAction_->setEnabled(usable);
    resetMenuAction_->setEnabled(usable);
    for (QAction* a : {resetAAction_, resetBAction_, resetMAction_}) a->setEnabled(usable);
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
    if (!printer || printer->inFirmwareUpdate()) return;
    // The firmware files are checked before the first question appears.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    runAsMainQueueBlock([&] { printer->updateFirmware(this); });
    QApplication::restoreOverrideCursor();
}

void MainWindow::resetCounter(char letter) {
    auto printer = currentPrinter();
    if (!printer || printer->inFirmwareUpdate()) return;
    runAsMainQueueBlock([&] { printer->resetCounter(letter); });
    // Nothing comes back from the printer for a reset: the message says what was done, no more.
    statusBar()->showMessage(tr("Reset of counter %1 sent to %2.")
                                 .arg(QChar::fromLatin1(letter))
                                 .arg(QString::fromStdString(printer->descriptionUTF8())),
                             5000);
}

void MainWindow::about() {
    const QString version = QString::fromStdString(ovn::Bundle::shortVersionString());
    QMessageBox box(this);
    box.setWindowTitle(tr("About OVN Printer Utility"));
    box.setIconPixmap(windowIcon().pixmap(64, 64));
    box.setTextFormat(Qt::RichText);
    box.setText(QStringLiteral("<h3>%1</h3><p>%2</p>").arg(tr("OVN Printer Utility"), tr("Version %1").arg(version)));
    box.setInformativeText(tr("Maintenance for OVN USB photo printers: firmware and color-table updates, the USB "
                              "serial-number setting and media counters.") +
                           QStringLiteral("<br><br>") + tr("Built with Qt %1.").arg(QString::fromLatin1(qVersion())));
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
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
    request.buttons = {"Cancel", "Quit"};
    request.style = ovn::AlertStyle::Critical;
    QMessageBox* box = QtAlertPresenter::createMessageBox(request, this);
    box->setObjectName(QStringLiteral("quitDuringUpdateAlert"));
    for (QAbstractButton* b : box->buttons())
        b->setText(b->property("ovnAlertIndex").toInt() == 0 ? tr("Cancel") : tr("Quit Anyway"));
    box->setWindowModality(Qt::WindowModal);
    connect(box, &QMessageBox::finished, this, [this, box](int) {
        askingToQuit_ = false;
        QAbstractButton* clicked = box->clickedButton();
        if (clicked && clicked->property("ovnAlertIndex").toInt() == 1) terminateNow();
    });
    box->open();
}

void MainWindow::terminateNow() {
    if (quitting_) return;
    quitting_ = true;
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
