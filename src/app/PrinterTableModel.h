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
#include <QElapsedTimer>
#include <QPixmap>
#include <QTimer>
#include <QString>
#include <QStringList>

#include <array>
#include <map>
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
    // The printer status cell of a printer being updated: the step's progress as a bar (-1: no bar, 0: busy,
    // 1..100: per cent).
    static constexpr int ProgressRole = Qt::UserRole + 2;

    // What a printer being updated is doing.
    enum class UpdateStep { None, Restarting, WaitingForFirmware, WritingFirmware, UpdatingColourTables };
    static QString updateStepText(UpdateStep step);

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

    // The printer of a row; nothing for the row of a printer that is away (restarting during its update).
    ZVPrinters::PrinterPtr printerAt(int row) const;
    // The row's printer, also while it is away (its last known values).
    ZVPrinters::PrinterPtr lastPrinterAt(int row) const;
    bool isAway(int row) const;
    UpdateStep updateStep(int row) const;
    // Seconds since the row's update began (0 without one).
    qint64 updateSeconds(int row) const;
    // The printer as a person names it: model and serial number ("OVN PL35 (serial 7C1004721)").
    QString printerName(int row) const;
    static QString printerName(const ZVUSBPrinterOVN& printer);
    // "Updating OVN PL35 (serial …): Writing firmware… 0:42" for the update under way, or empty.
    QString updateSummary() const;
    int rowOfPrinter(const ZVUSBPrinterOVN* printer) const;
    std::vector<ColorTableEntry> colorTables(int row) const;
    // The full-size picture of a row (for the details).
    QPixmap picture(int row) const;
    // The raw printer status text of a row.
    QString printerStatus(int row) const;

    // True while a listed printer runs a firmware update, or a printer that left the bus in the middle of
    // one is still awaited (within the "printerRestartTimeout" user default, 120 s unless set).
    bool firmwareUpdateUnderWay() const;
    // True while any row's printer is in the middle of an update (awaited or not).
    bool anyUpdateInProgress() const;
    // The wait for a restarting printer, in seconds.
    static int restartTimeoutSeconds();

    // Header titles again after the language changed.
    void retranslate();

signals:
    // A row's firmware-update flag changed (the window enables its commands by it).
    void firmwareUpdateStateChanged();
    // A printer that restarted during its update was not back within the restart time-out (once per wait).
    void printerNotBack(const QString& printerName, int seconds);

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
        bool away = false;  // left the bus during its update; the printer is its last object
        std::string key;    // keyUSBdevice
        QString rawStatus;  // the printer status as the core gives it (English)
        UpdateStep step = UpdateStep::None;
    };

    void syncRows();
    void observeRow(Row& row);
    void propertyChanged(const ZVUSBPrinterOVN* printer, const std::string& key);
    // Reads the values of a column into the row; answers whether anything shown changed.
    bool readColumn(Row& row, int column);
    void readAll(Row& row);
    void requestOfferedFirmware(Row& row);
    QString statusTextFor(const Row& row) const;
    UpdateStep stepOf(const Row& row) const;
    // Once a second while an update runs: steps, time elapsed, the restart time-out.
    void tick();
    void refreshStep(int r);

    std::shared_ptr<ZVPrinters> registry_;
    GuiPoster poster_;
    ovn::ObservationToken printersToken_;
    std::vector<Row> rows_;
    // Per keyUSBdevice: when its update began, and when it left the bus during it.
    std::map<std::string, QElapsedTimer> updateClock_;
    std::map<std::string, QElapsedTimer> awayClock_;
    std::set<std::string> timedOut_;
    QTimer ticker_;
    std::shared_ptr<ovn::DispatchQueue> catalogueQueue_;
};

// The columns a property key is shown in (for tests and the model itself).
std::vector<int> columnsForKey(const std::string& key);

}  // namespace ovn::app
