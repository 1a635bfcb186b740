// The printer table: one row per printer of the registry, in the registry's order, one column per shown
// property. Every row observes its printer; a change announced for a property re-reads that property on the
// GUI thread and updates only the cells that show it (dataChanged for those cells alone).
//
// The core announces changes on the thread that made them (the main queue, which is the GUI thread here, or a
// printer's command queue); the model always hands them to the GUI thread as queued calls, so views are only
// ever touched there. Values are read when a change is announced and kept, so painting never calls into the
// printer.
#pragma once

#include <QAbstractTableModel>
#include <QPixmap>
#include <QString>
#include <QStringList>

#include <array>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Classes/ZVPrinters.h"
#include "GuiPoster.h"
#include "platform/DispatchQueue.h"

namespace ovn::app {

class PrinterTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        PictureColumn,
        ManufacturerColumn,
        ModelColumn,
        SerialNumberColumn,
        FirmwareColumn,
        OfferedFirmwareColumn,
        ColorTableVersionColumn,
        ColorTableChecksumColumn,
        LifetimeCounterColumn,
        ISerialColumn,
        PrinterStatusColumn,
        USBStatusColumn,
        ColumnCount
    };

    // One colour table of a printer, as the details show it.
    struct ColorTableEntry {
        QString table;     // "300", "600", ...; empty for the single table of the smaller models
        QString media;     // "SD" or "PP" for the models with two media types, else empty
        QString version;   // empty while unknown
        QString checksum;
    };

    // Whether the row's model has the iSerial setting (the switch is drawn disabled without it).
    static constexpr int SwitchAvailableRole = Qt::UserRole + 1;

    // Size of the picture in the table.
    static constexpr int kPictureSize = 48;

    // Observes the registry's list (and builds the rows of printers already listed).
    explicit PrinterTableModel(std::shared_ptr<ZVPrinters> registry, QObject* parent = nullptr);
    ~PrinterTableModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // The iSerial switch: asks the printer for the change (the cell follows the printer's answer).
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

    // The header title of a column, in the current language.
    static QString columnTitle(int column);

    ZVPrinters::PrinterPtr printerAt(int row) const;
    int rowOfPrinter(const ZVUSBPrinterOVN* printer) const;
    std::vector<ColorTableEntry> colorTables(int row) const;
    // The full-size picture of a row (for the details).
    QPixmap picture(int row) const;
    // The raw printer status text of a row.
    QString printerStatus(int row) const;

    // True while a listed printer runs a firmware update, or a printer that left the bus in the middle of
    // one has not come back to finish it.
    bool firmwareUpdateUnderWay() const;

    // Header titles again after the language changed.
    void retranslate();

signals:
    // A row's firmware-update flag changed (the window enables its commands by it).
    void firmwareUpdateStateChanged();

private:
    struct Row {
        ZVPrinters::PrinterPtr printer;
        std::vector<ovn::ObservationToken> tokens;
        std::array<QString, ColumnCount> text;
        std::array<QString, ColumnCount> toolTip;
        QPixmap picture;
        QPixmap thumbnail;
        bool iSerial = false;
        bool iSerialAvailable = false;
        bool inFirmwareUpdate = false;
        bool offeredRequested = false;
    };

    void syncRows();
    void observeRow(Row& row);
    void propertyChanged(const ZVUSBPrinterOVN* printer, const std::string& key);
    // Reads the values of a column into the row; answers whether anything shown changed.
    bool readColumn(Row& row, int column);
    void readAll(Row& row);
    void requestOfferedFirmware(Row& row);
    QString statusTextFor(const Row& row) const;

    std::shared_ptr<ZVPrinters> registry_;
    GuiPoster poster_;
    ovn::ObservationToken printersToken_;
    std::vector<Row> rows_;
    // keyUSBdevice of printers that left the bus while updating.
    std::set<std::string> departedDuringUpdate_;
    std::shared_ptr<ovn::DispatchQueue> catalogueQueue_;
};

// The columns a property key is shown in (for tests and the model itself).
std::vector<int> columnsForKey(const std::string& key);

}  // namespace ovn::app
