#include "PrinterTableModel.h"

#include <QCoreApplication>
#include <QPainter>

#include <algorithm>
#include <cstring>
#include <span>

#include "AppLocalization.h"
#include "Classes/OVNFirmwareCatalogue.h"
#include "Classes/OVNProtocol.h"
#include "platform/UserDefaults.h"

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
    ticker_.setInterval(1000);
    connect(&ticker_, &QTimer::timeout, this, &PrinterTableModel::tick);
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
        if (!row.iSerialAvailable || row.inFirmwareUpdate || row.away || row.step != UpdateStep::None)
            f &= ~Qt::ItemIsUserCheckable;
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
            if (column == PrinterStatusColumn)
                return statusDot(statusKind(row.rawStatus, row.inFirmwareUpdate || row.step != UpdateStep::None));
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
            return row.iSerialAvailable && !row.inFirmwareUpdate && !row.away && row.step == UpdateStep::None;
        case ProgressRole:
            if (column != PrinterStatusColumn || row.step == UpdateStep::None) return -1;
            if (row.step == UpdateStep::WritingFirmware && row.printer) {
                // The USB layer counts the image's bytes as they go out (on real USB, piece by piece).
                const auto sent = row.printer->writeProgress();
                if (sent.total > 0 && sent.written > 0 && sent.written < sent.total)
                    return static_cast<int>(std::max<uint64_t>(1, sent.written * 100 / sent.total));
            }
            return 0;  // a busy bar
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
    if (row < 0 || row >= rowCount() || rows_[static_cast<size_t>(row)].away) return nullptr;
    return rows_[static_cast<size_t>(row)].printer;
}

ZVPrinters::PrinterPtr PrinterTableModel::lastPrinterAt(int row) const {
    if (row < 0 || row >= rowCount()) return nullptr;
    return rows_[static_cast<size_t>(row)].printer;
}

bool PrinterTableModel::isAway(int row) const {
    return row >= 0 && row < rowCount() && rows_[static_cast<size_t>(row)].away;
}

PrinterTableModel::UpdateStep PrinterTableModel::updateStep(int row) const {
    if (row < 0 || row >= rowCount()) return UpdateStep::None;
    return rows_[static_cast<size_t>(row)].step;
}

qint64 PrinterTableModel::updateSeconds(int row) const {
    if (row < 0 || row >= rowCount()) return 0;
    auto it = updateClock_.find(rows_[static_cast<size_t>(row)].key);
    return it == updateClock_.end() ? 0 : it->second.elapsed() / 1000;
}

QString PrinterTableModel::printerName(const ZVUSBPrinterOVN& p) {
    const auto maker = p.manufacturer() ? p.manufacturer() : p.vendorUSB();
    const auto kind = p.model() ? p.model() : p.productUSB();
    QString name = QStringLiteral("%1 %2").arg(qs(maker), qs(kind)).simplified();
    if (name.isEmpty()) name = tr("Unknown printer");
    auto serial = p.printerSerialNumber();
    if (!serial || serial->empty()) serial = p.serialNumberUSB();
    const QString number = serial && !serial->empty() ? qs(serial) : tr("unknown");
    return tr("%1 (serial %2)").arg(name, number);
}

QString PrinterTableModel::printerName(int row) const {
    auto printer = lastPrinterAt(row);
    return printer ? printerName(*printer) : QString();
}

QString PrinterTableModel::updateStepText(UpdateStep step) {
    switch (step) {
        case UpdateStep::Restarting: return tr("Restarting…");
        case UpdateStep::WaitingForFirmware: return tr("Waiting for firmware…");
        case UpdateStep::WritingFirmware: return tr("Writing firmware…");
        case UpdateStep::UpdatingColourTables: return tr("Updating colour tables…");
        case UpdateStep::None: break;
    }
    return {};
}

namespace {
QString elapsedText(qint64 seconds) {
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}
}  // namespace

QString PrinterTableModel::updateSummary() const {
    for (int r = 0; r < rowCount(); ++r) {
        const Row& row = rows_[static_cast<size_t>(r)];
        if (row.step == UpdateStep::None) continue;
        return tr("Updating %1: %2 %3").arg(printerName(r), updateStepText(row.step), elapsedText(updateSeconds(r)));
    }
    return {};
}

int PrinterTableModel::restartTimeoutSeconds() {
    const auto value = ovn::UserDefaults::standard().objectForKey("printerRestartTimeout");
    const auto seconds = value ? ovn::valueAsInteger(*value) : std::nullopt;
    if (seconds && *seconds > 0 && *seconds <= 86400) return static_cast<int>(*seconds);
    return 120;
}

PrinterTableModel::UpdateStep PrinterTableModel::stepOf(const Row& row) const {
    const ovn::DeviceInfoRef info =
        row.away ? ZVUSBPrinter::deviceInfoForKey(row.key) : row.printer->deviceInfoDict();
    const auto phase = info ? info->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus) : std::nullopt;
    const bool midUpdate = phase && (*phase == ZVFirmwareUpdateWaiting || *phase == ZVFirmwareUpdateRebooting);
    if (row.away) return midUpdate ? UpdateStep::Restarting : UpdateStep::None;
    const QString& status = row.rawStatus;
    if (status == QLatin1String("Writing firmware ...")) return UpdateStep::WritingFirmware;
    if (status == QLatin1String("Updating color tables ...")) return UpdateStep::UpdatingColourTables;
    if (!midUpdate) return row.inFirmwareUpdate && status == QLatin1String("Updating firmware ...") ? UpdateStep::Restarting
                                                                                               : UpdateStep::None;
    if (status == QLatin1String("Firmware Update Mode") && *phase == ZVFirmwareUpdateWaiting)
        return UpdateStep::WaitingForFirmware;
    if (!row.inFirmwareUpdate) return UpdateStep::None;
    return *phase == ZVFirmwareUpdateWaiting ? UpdateStep::Restarting : UpdateStep::UpdatingColourTables;
}

void PrinterTableModel::refreshStep(int r) {
    Row& row = rows_[static_cast<size_t>(r)];
    const UpdateStep step = stepOf(row);
    const bool changed = step != row.step;
    row.step = step;
    if (step != UpdateStep::None || row.inFirmwareUpdate) {
        if (!updateClock_.count(row.key)) updateClock_[row.key].start();
    } else if (!row.away) {
        updateClock_.erase(row.key);
        awayClock_.erase(row.key);
        timedOut_.erase(row.key);
    }
    readColumn(row, PrinterStatusColumn);
    emit dataChanged(index(r, PrinterStatusColumn), index(r, PrinterStatusColumn));
    if (changed) {
        emit dataChanged(index(r, ISerialColumn), index(r, ISerialColumn));
        emit firmwareUpdateStateChanged();
    }
    if (anyUpdateInProgress()) {
        if (!ticker_.isActive()) ticker_.start();
    } else {
        ticker_.stop();
    }
}

void PrinterTableModel::tick() {
    const int timeout = restartTimeoutSeconds();
    for (int r = rowCount() - 1; r >= 0; --r) {
        Row& row = rows_[static_cast<size_t>(r)];
        if (row.away && stepOf(row) == UpdateStep::None) {
            // Nothing is left to wait for (the update's phase is gone).
            beginRemoveRows(QModelIndex(), r, r);
            updateClock_.erase(row.key);
            awayClock_.erase(row.key);
            timedOut_.erase(row.key);
            rows_.erase(rows_.begin() + r);
            endRemoveRows();
            emit firmwareUpdateStateChanged();
            continue;
        }
        refreshStep(r);
        if (!row.away || timedOut_.count(row.key)) continue;
        auto clock = awayClock_.find(row.key);
        if (clock != awayClock_.end() && clock->second.elapsed() >= qint64(timeout) * 1000) {
            timedOut_.insert(row.key);
            emit firmwareUpdateStateChanged();
            emit printerNotBack(printerName(r), timeout);
        }
    }
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
    auto printer = lastPrinterAt(row);
    if (!printer) return entries;
    for (const TableKeys& t : tablesOf(printer->colorTableLayout())) {
        entries.push_back({QString::fromLatin1(t.table), QString::fromLatin1(t.media),
                           qs(printer->colorTableValue(t.versionKey)), qs(printer->colorTableValue(t.checksumKey))});
    }
    return entries;
}

bool PrinterTableModel::firmwareUpdateUnderWay() const {
    for (const Row& row : rows_) {
        if (row.away) {
            // A printer restarting during its update is awaited until the restart time-out; after it the user
            // was told what to do, and nothing is being written to it.
            if (row.step != UpdateStep::None && !timedOut_.count(row.key)) return true;
        } else if (row.printer->inFirmwareUpdate()) {
            return true;
        }
    }
    return false;
}

bool PrinterTableModel::anyUpdateInProgress() const {
    for (const Row& row : rows_)
        if (row.step != UpdateStep::None || (!row.away && row.printer->inFirmwareUpdate())) return true;
    return false;
}

// ---- rows ----

void PrinterTableModel::syncRows() {
    const ZVPrinters::PrinterList listed = registry_ ? registry_->printers() : ZVPrinters::PrinterList{};
    bool updateStateChanged = false;

    // Rows whose printer left the list, from the bottom up. A printer in the middle of an update keeps its row
    // while it restarts: the row shows the step and waits for it to come back.
    for (int i = rowCount() - 1; i >= 0; --i) {
        Row& row = rows_[static_cast<size_t>(i)];
        if (row.away || std::find(listed.begin(), listed.end(), row.printer) != listed.end()) continue;
        row.tokens.clear();
        row.away = true;
        if (stepOf(row) != UpdateStep::None) {
            awayClock_[row.key].start();
            timedOut_.erase(row.key);
            refreshStep(i);
            updateStateChanged = true;
            continue;
        }
        if (row.inFirmwareUpdate) updateStateChanged = true;
        beginRemoveRows(QModelIndex(), i, i);
        rows_.erase(rows_.begin() + i);
        endRemoveRows();
    }

    // New printers: one that comes back from its restart takes its row again; others are added at the end.
    for (const auto& printer : listed) {
        const bool known = std::any_of(rows_.begin(), rows_.end(),
                                       [&](const Row& r) { return !r.away && r.printer == printer; });
        if (known) continue;
        const std::string key = printer->keyUSBdevice();
        auto back = std::find_if(rows_.begin(), rows_.end(), [&](const Row& r) { return r.away && r.key == key; });
        if (back != rows_.end()) {
            const int r = static_cast<int>(back - rows_.begin());
            back->printer = printer;
            back->away = false;
            back->offeredRequested = false;
            awayClock_.erase(key);
            timedOut_.erase(key);
            readAll(*back);
            observeRow(*back);
            refreshStep(r);
            emit dataChanged(index(r, 0), index(r, ColumnCount - 1));
            updateStateChanged = true;
            continue;
        }
        const int r = rowCount();
        beginInsertRows(QModelIndex(), r, r);
        rows_.push_back(Row{});
        rows_.back().printer = printer;
        rows_.back().key = key;
        readAll(rows_.back());
        endInsertRows();
        observeRow(rows_[static_cast<size_t>(r)]);
        refreshStep(r);
        if (rows_[static_cast<size_t>(r)].inFirmwareUpdate) updateStateChanged = true;
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
    if (key == QELMOR_ZVPrinterStatus || key == "inFirmwareUpdate") refreshStep(r);
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
            text = translateCoreText(p->usbISerialString());
            const bool changed = available != row.iSerialAvailable || on != row.iSerial || text != row.text[ISerialColumn];
            row.iSerialAvailable = available;
            row.iSerial = on;
            row.text[ISerialColumn] = text;
            return changed;
        }
        case PrinterStatusColumn: {
            const bool updating = !row.away && p->inFirmwareUpdate();
            if (!row.away) row.rawStatus = qs(p->printerStatus());
            if (row.step != UpdateStep::None) {
                auto clock = updateClock_.find(row.key);
                text = updateStepText(row.step) + QStringLiteral("  ") +
                       elapsedText(clock == updateClock_.end() ? 0 : clock->second.elapsed() / 1000);
            } else {
                text = row.rawStatus.isEmpty() ? QString() : translateCoreText(row.rawStatus.toStdString());
            }
            const bool changed = updating != row.inFirmwareUpdate || text != row.text[PrinterStatusColumn];
            row.inFirmwareUpdate = updating;
            row.text[PrinterStatusColumn] = text;
            return changed;
        }
        case USBStatusColumn:
            text = row.away ? tr("Restarting") : qs(p->status());
            break;
        default: return false;
    }
    QString& cell = row.text[static_cast<size_t>(column)];
    if (cell == text) return false;
    cell = text;
    return true;
}

}  // namespace ovn::app
