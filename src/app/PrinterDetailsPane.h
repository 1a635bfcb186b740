// The pane under the printer table: everything known about the current printer at a glance, with the full
// list of its colour tables (one, three, or eight of them by model), which the table itself can only
// summarise.
#pragma once

#include <QLabel>
#include <QTableWidget>
#include <QWidget>

#include "PrinterTableModel.h"

namespace ovn::app {

class PrinterDetailsPane : public QWidget {
    Q_OBJECT
public:
    explicit PrinterDetailsPane(PrinterTableModel* model, QWidget* parent = nullptr);

    // The row shown (-1: none).
    void setRow(int row);
    int row() const { return row_; }

    // The colour-table grid (tests read it).
    QTableWidget* colorTableGrid() const { return grid_; }

    void retranslate();

private:
    void refresh();
    void onDataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight);

    PrinterTableModel* model_;
    int row_ = -1;
    QLabel* picture_;
    QLabel* title_;
    QLabel* subtitle_;
    QLabel* serialLabel_;
    QLabel* serial_;
    QLabel* firmwareLabel_;
    QLabel* firmware_;
    QLabel* countersLabel_;
    QLabel* counters_;
    QLabel* statusLabel_;
    QLabel* status_;
    QLabel* iserialLabel_;
    QLabel* iserial_;
    QLabel* tablesLabel_;
    QTableWidget* grid_;
};

}  // namespace ovn::app
