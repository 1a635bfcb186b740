#include "PrinterTableModel.h"

#include <QCoreApplication>
#include <QPainter>

#include <algorithm>
#include <cstring>
#include <span>

#include "Classes/OVNFirmwareCatalogue.h"
#include "Classes/OVNProtocol.h"

namespace ovn::app {

namespace {

namespace proto = ovn::protocol;

QString qs(const std::optional<std::string>& text) { return text ? QString::fromStdString(*text) : QString(); }

// The colour tables of each layout: (table, media, version key, checksum key), in the order the details list
// them.
struct TableKeys {
    const char* table;
    const char* media;
    const char* versionKey;
    const char* checksumKey;
};

constexpr TableKeys kSingleTables[] = {
    {"", "", QELMOR_ZVPrinterColorTableVersion, QELMOR_ZVPrinterColorTableChecksum300},
};
constexpr TableKeys kTripleTables[] = {
    {"300", "", QELMOR_ZVPrinterColorTableVersion, QELMOR_ZVPrinterColorTableChecksum300},
    {"600", "", QELMOR_ZVPrinterColorTableVersion600, QELMOR_ZVPrinterColorTableChecksum600},
    {"610", "", QELMOR_ZVPrinterColorTableVersion610, QELMOR_ZVPrinterColorTableChecksum610},
};
constexpr TableKeys kOctupleTables[] = {
    {"300", "SD", QELMOR_ZVPrinterColorTableVersion, QELMOR_ZVPrinterColorTableChecksum300},
    {"600", "SD", QELMOR_ZVPrinterColorTableVersion600, QELMOR_ZVPrinterColorTableChecksum600},
    {"610", "SD", QELMOR_ZVPrinterColorTableVersion610, QELMOR_ZVPrinterColorTableChecksum610},
    {"620", "SD", QELMOR_ZVPrinterColorTableVersion620, QELMOR_ZVPrinterColorTableChecksum620},
    {"300", "PP", QELMOR_ZVPrinterColorTableVersion300HD, QELMOR_ZVPrinterColorTableChecksum300HD},
    {"600", "PP", QELMOR_ZVPrinterColorTableVersion600HD, QELMOR_ZVPrinterColorTableChecksum600HD},
    {"610", "PP", QELMOR_ZVPrinterColorTableVersion610HD, QELMOR_ZVPrinterColorTableChecksum610HD},
    {"620", "PP", QELMOR_ZVPrinterColorTableVersion620HD, QELMOR_ZVPrinterColorTableChecksum620HD},
};

std::span<const TableKeys> tablesOf(proto::ColorTableLayout layout) {
    switch (layout) {
        case proto::ColorTableLayout::Single: return kSingleTables;
        case proto::ColorTableLayout::Triple: return kTripleTables;
        case proto::ColorTableLayout::Octuple: return kOctupleTables;
        case proto::ColorTableLayout::None: break;
    }
    return {};
}

bool isVersionKey(const std::string& key) { return key.rfind("colorTableVersion", 0) == 0; }
bool isChecksumKey(const std::string& key) { return key.rfind("colorTableChecksum", 0) == 0; }

// A list of colour-table values for one cell: one value as it is; several equal ones once with their count;
// differing ones in table order.
QString summarize(const QStringList& values) {
    if (values.isEmpty()) return {};
    if (values.size() == 1) return values.front();
    QStringList known;
    for (const QString& v : values)
        if (!v.isEmpty()) known << v;
    if (known.isEmpty()) return {};
    if (known.size() == values.size() && known.count(known.front()) == known.size())
        return PrinterTableModel::tr("%1 (all %n tables)", nullptr, static_cast<int>(values.size())).arg(known.front());
    return known.join(QStringLiteral(" · "));
}

// What the printer status column's dot shows.
enum class StatusKind { Unknown, Ready, Busy, Attention, Updating };

StatusKind statusKind(const QString& status, bool updating) {
    if (updating) return StatusKind::Updating;
    if (status.isEmpty()) return StatusKind::Unknown;
    if (status == QLatin1String("Idle")) return StatusKind::Ready;
    if (status == QLatin1String("Printing") || status.contains(QLatin1String("cool down")) ||
        status.startsWith(QLatin1String("Sleeping")))
        return StatusKind::Busy;
    if (status == QLatin1String("Firmware Update Mode") || status.endsWith(QLatin1String("...")))
        return StatusKind::Updating;
    if (status == QLatin1String("<NULL>") || status == QLatin1String("Unknown Status")) return StatusKind::Unknown;
    return StatusKind::Attention;
}

QPixmap statusDot(StatusKind kind) {
    QColor colour;
    switch (kind) {
        case StatusKind::Ready: colour = QColor(0x2e, 0xa0, 0x43); break;
        case StatusKind::Busy: colour = QColor(0xd9, 0x9a, 0x06); break;
        case StatusKind::Attention: colour = QColor(0xd0, 0x2c, 0x2c); break;
        case StatusKind::Updating: colour = QColor(0x2a, 0x6f, 0xdb); break;
        case StatusKind::Unknown: colour = QColor(0x9a, 0x9a, 0x9a); break;
    }
    QPixmap dot(12, 12);
    dot.fill(Qt::transparent);
    QPainter p(&dot);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(colour.darker(130));
    p.setBrush(colour);
    p.drawEllipse(QRectF(1.5, 1.5, 9, 9));
    return dot;
}

}  // namespace

std::vector<int> columnsForKey(const std::string& key) {
    using M = PrinterTableModel;
    if (key == "image") return {M::PictureColumn};
    if (key == "manufacturer" || key == "vendorUSB") return {M::ManufacturerColumn};
    if (key == "model" || key == "productUSB") return {M::ModelColumn};
    if (key == QELMOR_ZVPrinterSerialNumber || key == "serialNumberUSB") return {M::SerialNumberColumn};
    // The PL-MV1's iSerial support depends on its firmware version.
    if (key == QELMOR_ZVPrinterFirmwareVersion) return {M::FirmwareColumn, M::ISerialColumn};
    if (key == "newFirmwareVersion") return {M::OfferedFirmwareColumn};
    if (isVersionKey(key)) return {M::ColorTableVersionColumn};
    if (isChecksumKey(key)) return {M::ColorTableChecksumColumn};
    if (key == "lifetimeCounter") return {M::LifetimeCounterColumn};
    if (key == "usbISerial" || key == "usbISerialString") return {M::ISerialColumn};
    if (key == QELMOR_ZVPrinterStatus || key == "inFirmwareUpdate") return {M::PrinterStatusColumn};
    if (key == "status") return {M::USBStatusColumn};
    return {};
}

PrinterTableModel::PrinterTableModel(std::shared_ptr<ZVPrinters> registry, QObject* parent)
    : QAbstractTableModel(parent),
      registry_(std::move(registry)),
      poster_(this),
      catalogueQueue_(ovn::DispatchQueue::createSerial("com.ovn.utility.catalogue")) {
    if (!registry_) return;
    auto handle = poster_.handle();
    printersToken_ = registry_->observe(ZVPrinters::kPrintersKey, [handle, this](const std::string&, const ovn::KeyValueChange&) {
        GuiPoster::post(handle, [this] { syncRows(); });
    });
    syncRows();
}

PrinterTableModel::~PrinterTableModel() {
    printersToken_.reset();
    for (Row& row : rows_) row.tokens.clear();
}

QString PrinterTableModel::columnTitle(int column) {
    switch (column) {
        case PictureColumn: return tr("Printer");
        case ManufacturerColumn: return tr("Manufacturer");
        case ModelColumn: return tr("Model");
        case SerialNumberColumn: return tr("Serial Number");
        case FirmwareColumn: return tr("Firmware");
        case OfferedFirmwareColumn: return tr("Available Firmware");
        case ColorTableVersionColumn: return tr("Color Tables");
        case ColorTableChecksumColumn: return tr("Checksums");
        case LifetimeCounterColumn: return tr("Lifetime Prints");
        case ISerialColumn: return tr("USB Serial");
        case PrinterStatusColumn: return tr("Printer Status");
        case USBStatusColumn: return tr("USB Status");
        default: return {};
    }
}

void PrinterTableModel::retranslate() {
    emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
    if (!rows_.empty()) {
        for (Row& row : rows_) readAll(row);
        emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
    }
}

int PrinterTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int PrinterTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant PrinterTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) return {};
    if (role == Qt::DisplayRole) return section == PictureColumn ? QString() : columnTitle(section);
    if (role == Qt::ToolTipRole) return columnTitle(section);
    if (role == Qt::TextAlignmentRole)
        return QVariant((section == LifetimeCounterColumn ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
    return {};
}

Qt::ItemFlags PrinterTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid() || index.row() >= rowCount()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == ISerialColumn) {
        const Row& row = rows_[static_cast<size_t>(index.row())];
        f |= Qt::ItemIsUserCheckable;
        // The setting cannot be changed on a model without it, nor while the printer updates its firmware.
        if (!row.iSerialAvailable || row.inFirmwareUpdate) f &= ~Qt::ItemIsUserCheckable;
    }
    return f;
}

QVariant PrinterTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount) return {};
    const Row& row = rows_[static_cast<size_t>(index.row())];
    const int column = index.column();
    switch (role) {
        case Qt::DisplayRole:
            return row.text[static_cast<size_t>(column)];
        case Qt::DecorationRole:
            if (column == PictureColumn) return row.thumbnail;
            if (column == PrinterStatusColumn) return statusDot(statusKind(row.text[PrinterStatusColumn], row.inFirmwareUpdate));
            return {};
        case Qt::CheckStateRole:
            if (column == ISerialColumn) return row.iSerial ? Qt::Checked : Qt::Unchecked;
            return {};
        case Qt::ToolTipRole:
            if (column == ColorTableVersionColumn || column == ColorTableChecksumColumn)
                return row.toolTip[static_cast<size_t>(column)];
            if (column == PictureColumn)
                return QStringLiteral("%1 %2").arg(row.text[ManufacturerColumn], row.text[ModelColumn]).trimmed();
            if (column == ISerialColumn && !row.iSerialAvailable)
                return tr("This printer model cannot switch its USB serial number.");
            return row.text[static_cast<size_t>(column)].isEmpty() ? QVariant() : row.text[static_cast<size_t>(column)];
        case SwitchAvailableRole:
            return row.iSerialAvailable && !row.inFirmwareUpdate;
        case Qt::TextAlignmentRole:
            if (column == LifetimeCounterColumn) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
            return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
        default:
            return {};
    }
}

bool PrinterTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || index.column() != ISerialColumn || role != Qt::CheckStateRole) return false;
    if (!(flags(index) & Qt::ItemIsUserCheckable)) return false;
    auto printer = printerAt(index.row());
    if (!printer) return false;
    const bool enable = value.toInt() == Qt::Checked;
    // The printer is asked; the cell shows the new state once the printer reports it back.
    runAsMainQueueBlock([&] { printer->setUsbISerial(enable); });
    return true;
}

ZVPrinters::PrinterPtr PrinterTableModel::printerAt(int row) const {
    if (row < 0 || row >= rowCount()) return nullptr;
    return rows_[static_cast<size_t>(row)].printer;
}

int PrinterTableModel::rowOfPrinter(const ZVUSBPrinterOVN* printer) const {
    for (size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].printer.get() == printer) return static_cast<int>(i);
    return -1;
}

QPixmap PrinterTableModel::picture(int row) const {
    if (row < 0 || row >= rowCount()) return {};
    return rows_[static_cast<size_t>(row)].picture;
}

QString PrinterTableModel::printerStatus(int row) const {
    if (row < 0 || row >= rowCount()) return {};
    return rows_[static_cast<size_t>(row)].text[PrinterStatusColumn];
}

std::vector<PrinterTableModel::ColorTableEntry> PrinterTableModel::colorTables(int row) const {
    std::vector<ColorTableEntry> entries;
    auto printer = printerAt(row);
    if (!printer) return entries;
    for (const TableKeys& t : tablesOf(printer->colorTableLayout())) {
        entries.push_back({QString::fromLatin1(t.table), QString::fromLatin1(t.media),
                           qs(printer->colorTableValue(t.versionKey)), qs(printer->colorTableValue(t.checksumKey))});
    }
    return entries;
}

bool PrinterTableModel::firmwareUpdateUnderWay() const {
    std::set<std::string> listedKeys;
    for (const Row& row : rows_) {
        if (row.printer->inFirmwareUpdate()) return true;
        listedKeys.insert(row.printer->keyUSBdevice());
    }
    // A printer restarting during its update is off the bus for a while; its saved device information tells
    // whether it is expected back to go on.
    for (const std::string& key : departedDuringUpdate_) {
        if (listedKeys.count(key)) continue;
        auto phase = ZVUSBPrinter::deviceInfoForKey(key)->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus);
        if (phase && (*phase == ZVFirmwareUpdateWaiting || *phase == ZVFirmwareUpdateRebooting)) return true;
    }
    return false;
}

// ---- rows ----

void PrinterTableModel::syncRows() {
    const ZVPrinters::PrinterList listed = registry_ ? registry_->printers() : ZVPrinters::PrinterList{};
    bool updateStateChanged = false;

    // Rows whose printer left the list, from the bottom up.
    for (int i = rowCount() - 1; i >= 0; --i) {
        const auto& printer = rows_[static_cast<size_t>(i)].printer;
        if (std::find(listed.begin(), listed.end(), printer) != listed.end()) continue;
        if (printer->inFirmwareUpdate() || rows_[static_cast<size_t>(i)].inFirmwareUpdate) {
            departedDuringUpdate_.insert(printer->keyUSBdevice());
            updateStateChanged = true;
        }
        beginRemoveRows(QModelIndex(), i, i);
        rows_[static_cast<size_t>(i)].tokens.clear();
        rows_.erase(rows_.begin() + i);
        endRemoveRows();
    }

    // The remaining rows keep the list's order (the registry only appends and removes); a list in another
    // order is taken over as a whole.
    bool sameOrder = true;
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (i >= listed.size() || rows_[i].printer != listed[i]) {
            sameOrder = false;
            break;
        }
    }
    if (!sameOrder) {
        beginResetModel();
        rows_.clear();
        for (const auto& printer : listed) {
            rows_.push_back(Row{});
            rows_.back().printer = printer;
            readAll(rows_.back());
            observeRow(rows_.back());
        }
        endResetModel();
        emit firmwareUpdateStateChanged();
        return;
    }

    if (listed.size() > rows_.size()) {
        const int first = rowCount();
        const int last = static_cast<int>(listed.size()) - 1;
        beginInsertRows(QModelIndex(), first, last);
        for (size_t i = rows_.size(); i < listed.size(); ++i) {
            rows_.push_back(Row{});
            rows_.back().printer = listed[i];
            readAll(rows_.back());
        }
        endInsertRows();
        for (int i = first; i <= last; ++i) {
            observeRow(rows_[static_cast<size_t>(i)]);
            if (rows_[static_cast<size_t>(i)].inFirmwareUpdate) updateStateChanged = true;
        }
    }
    if (updateStateChanged) emit firmwareUpdateStateChanged();
}

void PrinterTableModel::observeRow(Row& row) {
    static const char* const kKeys[] = {
        "image", "manufacturer", "vendorUSB", "model", "productUSB", QELMOR_ZVPrinterSerialNumber,
        "serialNumberUSB", QELMOR_ZVPrinterFirmwareVersion, "newFirmwareVersion", "lifetimeCounter", "usbISerial",
        "usbISerialString", QELMOR_ZVPrinterStatus, "inFirmwareUpdate", "status",
    };
    auto handle = poster_.handle();
    const ZVUSBPrinterOVN* raw = row.printer.get();
    auto observeKey = [&](const std::string& key) {
        row.tokens.push_back(row.printer->observe(key, [handle, this, raw, key](const std::string&, const ovn::KeyValueChange&) {
            // Any thread: the value is read on the GUI thread, when the row is looked up again.
            GuiPoster::post(handle, [this, raw, key] { propertyChanged(raw, key); });
        }));
    };
    for (const char* key : kKeys) observeKey(key);
    for (const char* key : proto::colorTableKeys()) observeKey(key);
}

void PrinterTableModel::propertyChanged(const ZVUSBPrinterOVN* printer, const std::string& key) {
    const int r = rowOfPrinter(printer);
    if (r < 0) return;  // the row is gone
    Row& row = rows_[static_cast<size_t>(r)];
    const bool wasUpdating = row.inFirmwareUpdate;
    for (int column : columnsForKey(key)) {
        if (readColumn(row, column)) emit dataChanged(index(r, column), index(r, column));
    }
    // The flag is read with the printer status, whichever announcement brought it.
    if (wasUpdating != row.inFirmwareUpdate) {
        // The iSerial switch is locked during an update.
        emit dataChanged(index(r, ISerialColumn), index(r, ISerialColumn));
        emit firmwareUpdateStateChanged();
    }
}

void PrinterTableModel::readAll(Row& row) {
    for (int column = 0; column < ColumnCount; ++column) readColumn(row, column);
}

void PrinterTableModel::requestOfferedFirmware(Row& row) {
    if (row.offeredRequested) return;
    row.offeredRequested = true;
    // Without a recorded file list the printer checks its firmware files first, which reads and hashes them:
    // done off the GUI thread. The result is announced as a change of "newFirmwareVersion".
    auto printer = row.printer;
    catalogueQueue_->async([printer] { (void)printer->newFirmwareVersion(); });
}

bool PrinterTableModel::readColumn(Row& row, int column) {
    const auto& p = row.printer;
    QString text;
    switch (column) {
        case PictureColumn: {
            if (row.picture.isNull()) {
                if (auto path = p->imagePath()) row.picture.load(QString::fromStdString(*path));
                if (!row.picture.isNull())
                    row.thumbnail = row.picture.scaled(kPictureSize, kPictureSize, Qt::KeepAspectRatio,
                                                       Qt::SmoothTransformation);
                return !row.picture.isNull();
            }
            return false;
        }
        case ManufacturerColumn: text = qs(p->manufacturer() ? p->manufacturer() : p->vendorUSB()); break;
        case ModelColumn: text = qs(p->model() ? p->model() : p->productUSB()); break;
        case SerialNumberColumn: text = qs(p->printerSerialNumber() ? p->printerSerialNumber() : p->serialNumberUSB()); break;
        case FirmwareColumn: text = qs(p->firmwareVersion()); break;
        case OfferedFirmwareColumn:
            if (OVNFirmwareCatalogue::recordedFilenames(*p->deviceInfoDict()))
                text = qs(p->newFirmwareVersion());
            else
                requestOfferedFirmware(row);
            break;
        case ColorTableVersionColumn:
        case ColorTableChecksumColumn: {
            const bool versions = column == ColorTableVersionColumn;
            QStringList values, tip;
            for (const TableKeys& t : tablesOf(p->colorTableLayout())) {
                const QString v = qs(p->colorTableValue(versions ? t.versionKey : t.checksumKey));
                values << v;
                QString name = *t.table ? tr("Table %1").arg(QString::fromLatin1(t.table)) : tr("Color table");
                if (*t.media) name += QStringLiteral(" (%1)").arg(QString::fromLatin1(t.media));
                tip << QStringLiteral("<tr><td>%1</td><td>&nbsp;&nbsp;%2</td></tr>")
                           .arg(name.toHtmlEscaped(), v.isEmpty() ? QStringLiteral("–") : v.toHtmlEscaped());
            }
            QString toolTip;
            if (!tip.isEmpty())
                toolTip = QStringLiteral("<b>%1</b><table>%2</table>")
                              .arg((versions ? tr("Color table versions") : tr("Color table checksums")).toHtmlEscaped(),
                                   tip.join(QString()));
            text = summarize(values);
            QString& cellTip = row.toolTip[static_cast<size_t>(column)];
            const bool changed = cellTip != toolTip || row.text[static_cast<size_t>(column)] != text;
            cellTip = toolTip;
            row.text[static_cast<size_t>(column)] = text;
            return changed;
        }
        case LifetimeCounterColumn: text = qs(p->lifetimeCounter()); break;
        case ISerialColumn: {
            const bool available = p->hasISerialSupport();
            const bool on = p->usbISerial();
            text = QString::fromStdString(p->usbISerialString());
            const bool changed = available != row.iSerialAvailable || on != row.iSerial || text != row.text[ISerialColumn];
            row.iSerialAvailable = available;
            row.iSerial = on;
            row.text[ISerialColumn] = text;
            return changed;
        }
        case PrinterStatusColumn: {
            const bool updating = p->inFirmwareUpdate();
            text = qs(p->printerStatus());
            const bool changed = updating != row.inFirmwareUpdate || text != row.text[PrinterStatusColumn];
            row.inFirmwareUpdate = updating;
            row.text[PrinterStatusColumn] = text;
            return changed;
        }
        case USBStatusColumn: text = qs(p->status()); break;
        default: return false;
    }
    QString& cell = row.text[static_cast<size_t>(column)];
    if (cell == text) return false;
    cell = text;
    return true;
}

}  // namespace ovn::app
