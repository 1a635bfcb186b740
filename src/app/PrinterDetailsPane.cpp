#include "PrinterDetailsPane.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

#include "Classes/OVNFirmwareCatalogue.h"

namespace ovn::app {

namespace {

constexpr int kPictureSize = 96;

QLabel* valueLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QString orDash(const QString& text) { return text.isEmpty() ? QStringLiteral("–") : text; }

}  // namespace

PrinterDetailsPane::PrinterDetailsPane(PrinterTableModel* model, QWidget* parent) : QWidget(parent), model_(model) {
    picture_ = new QLabel(this);
    picture_->setFixedSize(kPictureSize, kPictureSize);
    picture_->setAlignment(Qt::AlignCenter);

    title_ = new QLabel(this);
    QFont titleFont = title_->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.3);
    titleFont.setBold(true);
    title_->setFont(titleFont);
    title_->setTextFormat(Qt::PlainText);
    subtitle_ = new QLabel(this);
    subtitle_->setTextFormat(Qt::PlainText);
    subtitle_->setEnabled(false);  // drawn in the secondary text colour

    serialLabel_ = new QLabel(this);
    serial_ = valueLabel(this);
    firmwareLabel_ = new QLabel(this);
    firmware_ = valueLabel(this);
    countersLabel_ = new QLabel(this);
    counters_ = valueLabel(this);
    statusLabel_ = new QLabel(this);
    status_ = valueLabel(this);
    iserialLabel_ = new QLabel(this);
    iserial_ = valueLabel(this);

    auto* form = new QFormLayout;
    form->setLabelAlignment(Qt::AlignRight);
    form->setHorizontalSpacing(12);
    form->setVerticalSpacing(4);
    form->addRow(serialLabel_, serial_);
    form->addRow(firmwareLabel_, firmware_);
    form->addRow(countersLabel_, counters_);
    form->addRow(statusLabel_, status_);
    form->addRow(iserialLabel_, iserial_);

    auto* identity = new QVBoxLayout;
    identity->setSpacing(2);
    identity->addWidget(title_);
    identity->addWidget(subtitle_);
    identity->addSpacing(8);
    identity->addLayout(form);
    identity->addStretch(1);

    tablesLabel_ = new QLabel(this);
    QFont bold = tablesLabel_->font();
    bold.setBold(true);
    tablesLabel_->setFont(bold);
    grid_ = new QTableWidget(this);
    grid_->setObjectName(QStringLiteral("colorTableGrid"));
    grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid_->setSelectionMode(QAbstractItemView::NoSelection);
    grid_->setFocusPolicy(Qt::NoFocus);
    grid_->verticalHeader()->setVisible(false);
    grid_->verticalHeader()->setDefaultSectionSize(grid_->fontMetrics().height() + 6);
    grid_->horizontalHeader()->setStretchLastSection(true);
    grid_->setAlternatingRowColors(true);
    grid_->setMinimumWidth(340);
    grid_->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
    grid_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    grid_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Maximum);

    auto* tables = new QVBoxLayout;
    tables->setSpacing(4);
    tables->addWidget(tablesLabel_);
    tables->addWidget(grid_);
    tables->addStretch(1);

    auto* top = new QHBoxLayout(this);
    top->setContentsMargins(12, 10, 12, 10);
    top->setSpacing(16);
    top->addWidget(picture_, 0, Qt::AlignTop);
    top->addLayout(identity, 1);
    top->addLayout(tables, 1);

    connect(model_, &QAbstractItemModel::dataChanged, this, &PrinterDetailsPane::onDataChanged);
    connect(model_, &QAbstractItemModel::modelReset, this, &PrinterDetailsPane::refresh);
    connect(model_, &QAbstractItemModel::rowsInserted, this, &PrinterDetailsPane::refresh);
    connect(model_, &QAbstractItemModel::rowsRemoved, this, &PrinterDetailsPane::refresh);
    retranslate();
}

void PrinterDetailsPane::setRow(int row) {
    row_ = row;
    refresh();
}

void PrinterDetailsPane::retranslate() {
    serialLabel_->setText(tr("Serial number:"));
    firmwareLabel_->setText(tr("Firmware:"));
    countersLabel_->setText(tr("Lifetime prints:"));
    statusLabel_->setText(tr("Status:"));
    iserialLabel_->setText(tr("USB serial number:"));
    tablesLabel_->setText(tr("Color tables"));
    refresh();
}

void PrinterDetailsPane::onDataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight) {
    if (row_ >= topLeft.row() && row_ <= bottomRight.row()) refresh();
}

void PrinterDetailsPane::refresh() {
    using M = PrinterTableModel;
    const bool valid = row_ >= 0 && row_ < model_->rowCount();
    auto text = [&](int column) { return valid ? model_->index(row_, column).data().toString() : QString(); };

    const QPixmap pic = valid ? model_->picture(row_) : QPixmap();
    picture_->setPixmap(pic.isNull() ? QPixmap()
                                     : pic.scaled(kPictureSize, kPictureSize, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    if (!valid) {
        title_->setText(tr("No printer selected"));
        subtitle_->clear();
    } else {
        title_->setText(QStringLiteral("%1 %2").arg(text(M::ManufacturerColumn), text(M::ModelColumn)).trimmed());
        auto printer = model_->lastPrinterAt(row_);
        subtitle_->setText(tr("USB %1:%2 at location %3")
                               .arg(QStringLiteral("%1").arg(printer->idVendorValue(), 4, 16, QLatin1Char('0')).toUpper(),
                                    QStringLiteral("%1").arg(printer->idProductValue(), 4, 16, QLatin1Char('0')).toUpper(),
                                    QString::fromStdString(printer->idLocation())));
    }
    serial_->setText(valid ? orDash(text(M::SerialNumberColumn)) : QString());

    QString firmware;
    if (valid) {
        const QString installed = text(M::FirmwareColumn);
        const QString offered = text(M::OfferedFirmwareColumn);
        firmware = orDash(installed);
        if (!offered.isEmpty() && !installed.isEmpty()) {
            const double have = OVNFirmwareCatalogue::versionNumber(installed.toStdString());
            const double offer = OVNFirmwareCatalogue::versionNumber(offered.toStdString());
            if (offer > have)
                firmware = tr("%1 (update to %2 available)").arg(installed, offered);
            else
                firmware = tr("%1 (up to date)").arg(installed);
        }
    }
    firmware_->setText(firmware);
    counters_->setText(valid ? orDash(text(M::LifetimeCounterColumn)) : QString());
    QString status;
    if (valid) {
        const QString printerStatus = text(M::PrinterStatusColumn);
        const QString usb = text(M::USBStatusColumn);
        status = printerStatus.isEmpty() ? orDash(usb) : usb.isEmpty() ? printerStatus
                                                                        : QStringLiteral("%1 · %2").arg(printerStatus, usb);
    }
    status_->setText(status);
    iserial_->setText(valid ? orDash(text(M::ISerialColumn)) : QString());

    // The colour tables.
    const auto tables = valid ? model_->colorTables(row_) : std::vector<M::ColorTableEntry>{};
    bool withMedia = false;
    for (const auto& t : tables) withMedia = withMedia || !t.media.isEmpty();
    QStringList headers{tr("Table"), tr("Version"), tr("Checksum")};
    if (withMedia) headers.insert(1, tr("Media"));
    grid_->setColumnCount(static_cast<int>(headers.size()));
    grid_->setHorizontalHeaderLabels(headers);
    grid_->setRowCount(static_cast<int>(tables.size()));
    for (int r = 0; r < static_cast<int>(tables.size()); ++r) {
        const auto& t = tables[static_cast<size_t>(r)];
        QStringList cells{t.table.isEmpty() ? tr("Color table") : t.table};
        if (withMedia) cells << t.media;
        cells << orDash(t.version) << orDash(t.checksum);
        for (int c = 0; c < cells.size(); ++c) {
            auto* item = grid_->item(r, c);
            if (!item) {
                item = new QTableWidgetItem;
                grid_->setItem(r, c, item);
            }
            item->setText(cells[c]);
        }
    }
    grid_->setVisible(!tables.empty());
    tablesLabel_->setVisible(!tables.empty());
}

}  // namespace ovn::app
