#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QMap>
#include <QMenu>
#include <QPointer>
#include <QTableView>
#include <QHash>
#include <QWidget>

#include <functional>
#include <optional>

class DataSet;
class FooterBar;
class QAction;
class QComboBox;
class QTimer;

// Fills a list box with the rows of a dataset: the `shown` field as the
// text, the `key` field as the item's data (nothing when the dataset is
// closed or lacks them).
void FillLookupBox(QComboBox *box, const DataSet &set, const QString &key, const QString &shown);

// One column of a grid: the dataset's field it shows, its caption, and how
// its values read.
struct GridColumn {
    QString field;            // the dataset's field (letter case ignored)
    QString caption;
    QString format;           // a display format for numbers ("### ### ##0.00"); empty: as stored
    bool hidden = false;
    bool readOnly = true;     // editable only when the dataset is, too
    bool check = false;       // a yes/no column, shown as a check box
    // A lookup column: the value shown is `lookupShow` of the row of
    // `lookupSet` whose `lookupKey` equals this field's value.
    DataSet *lookupSet = nullptr;
    QString lookupKey;
    QString lookupShow;
    // The text of a cell computed by the program (e.g. a price with its
    // instrument's decimals); nullptr: the value, formatted.
    std::function<QString(const DataSet &, int row)> text;
};

// What a footer cell shows.
struct GridFooter {
    enum Kind { None, Text, Count, Sum };
    GridFooter(Kind kind = None, QString format = QString(), QString text = QString())
        : kind(kind), format(std::move(format)), text(std::move(text))
    {
    }
    Kind kind = None;
    QString format; // Sum: the display format of the total
    QString text;   // Text: set by the program
    // Sum: what may be added together. Rows with different keys (another
    // security, another currency) are totalled apart: one key shows its
    // total, several show `groupsCaption` with their number, each total in
    // the cell's tooltip. Rows whose value is 0 or empty add nothing and
    // make no group. Empty: every row adds to one total.
    std::function<QString(const DataSet &, int row)> groupBy;
    QString groupsCaption; // "валют", "клиентов": shown as "валют: 3"
};

// How a whole row looks: its text and background colours and a tooltip
// (invalid / empty: as every row).
struct GridRowLook {
    QColor foreground;
    QColor background;
    QString toolTip;
};

// The model a grid shows: the dataset's rows through the grid's columns,
// in the dataset's order or sorted by a column. Its rows are the rows as
// shown; datasetRow() and shownRow() translate.
class GridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    GridModel(DataSet *dataset, QList<GridColumn> columns, QObject *parent = nullptr);

    DataSet *dataset() const { return m_dataset; }
    const QList<GridColumn> &columns() const { return m_columns; }
    int columnOf(const QString &field) const; // -1 when the grid has no such column
    // The dataset's field index of a grid column; -1 when the dataset has none.
    int fieldOf(int column) const;
    // The text a cell shows (the row as shown).
    QString text(int row, int column) const;
    // The dataset's row shown at a row, and the reverse (-1 when none).
    int datasetRow(int shown) const;
    int shownRow(int datasetRow) const;

    // Sorted by a column (-1: the dataset's own order), kept sorted as the
    // rows change. Numbers compare as numbers, texts as the locale orders
    // them, empty cells first; rows alike keep the dataset's order.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    int sortColumn() const { return m_sortColumn; }
    Qt::SortOrder sortOrder() const { return m_sortOrder; }

    // How each row looks (given the dataset's row); none: as every row.
    void setRowLook(std::function<GridRowLook(const DataSet &, int row)> look);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;

private:
    void remap();
    // The dataset's rows in the order of the sort column (m_order), and the
    // views told of it with every row kept on its record.
    QVector<int> sortedOrder() const;
    void applyOrder(QVector<int> order);
    QString cellText(int datasetRow, int column) const;
    // The key of the lookup row whose shown value is `shown` (letter case
    // and blanks around ignored); null for an empty text, none when no row has it.
    std::optional<QVariant> lookupKey(const GridColumn &column, const QString &shown) const;

    DataSet *m_dataset;
    QList<GridColumn> m_columns;
    QVector<int> m_fields; // grid column -> dataset field index
    int m_sortColumn = -1;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
    QVector<int> m_order;  // shown row -> dataset row; empty while not sorted
    QVector<int> m_shown;  // dataset row -> shown row
    bool m_resetting = false; // sorted rows added or taken away: told as a reset
    std::function<GridRowLook(const DataSet &, int)> m_rowLook;
};

// A grid on a dataset (the program's tables and views): the columns it is
// given, in order, with their captions and display formats; an optional
// footer row; the grid's current row and the dataset's kept in step both
// ways. A click on a column's header sorts by it (again: the other way);
// the widths and order of the columns the operator set are kept for the
// next run (setLayoutFile); the context menu exports the grid to CSV.
// Reused by every window of the program.
class DataGrid : public QWidget {
    Q_OBJECT
public:
    DataGrid(DataSet *dataset, QList<GridColumn> columns, QWidget *parent = nullptr);
    ~DataGrid() override;

    // The file (QSettings' ini format) the grids keep their column widths
    // and order in, each under its objectName; empty (as at start): not kept.
    static void setLayoutFile(const QString &path);
    static QString layoutFile();
    // Reads the kept layout now (done once when the grid is first shown), and
    // writes it (done shortly after the operator changes it, and when the
    // grid goes).
    void restoreLayout();
    void saveLayout();

    QTableView *view() const { return m_view; }
    GridModel *model() const { return m_model; }
    DataSet *dataset() const;

    // Several rows may be selected (for deleting them together).
    void setMultiSelect(bool on);
    QList<int> selectedRows() const;
    // Ctrl+Del deletes the selected rows of an editable dataset, once the
    // operator says yes.
    void setDeleteKey(bool on);
    // What Ctrl+Del does; false when nothing was deleted.
    bool deleteSelectedRows();
    // Columns fitted to the grid's width, or each as wide as its contents.
    void setFitColumns(bool on);
    bool fitColumns() const { return m_fit; }

    // The footer row: shown once any column has a footer.
    void setFooter(const QString &field, GridFooter footer);
    void setFooterText(const QString &field, const QString &text);
    // What the footer shows under a column ("" when nothing).
    QString footerText(const QString &field) const;
    bool footerVisible() const;
    // Computes the counts and sums again (done whenever the dataset changes).
    void updateFooter();

    // The footer's tooltip under a column: every group's total when the
    // column's rows are totalled apart.
    QString footerToolTip(const QString &field) const;

    // How each row looks (red for a refused transaction...).
    void setRowLook(std::function<GridRowLook(const DataSet &, int row)> look) { m_model->setRowLook(std::move(look)); }

    // The name screen readers and scripted checks know the grid by.
    void setAccessibleName(const QString &name);

    // Commands of the window's own for the grid's context menu, shown above
    // the grid's commands (the row under the pointer is made current first).
    void setContextMenu(QMenu *menu) { m_menu = menu; }
    // The grid's context menu as it would show now.
    QList<QAction *> contextActions() const;
    // Writes the rows as shown (the visible columns in their order, their
    // captions first, the shown texts) to a CSV file a Russian Excel opens:
    // UTF-8 with a byte order mark, ";" between fields, readable and
    // writable by its owner only. False with the reason in *error.
    bool exportCsv(const QString &path, QString *error = nullptr) const;
    // "Экспорт в CSV...": asks for the file, then exportCsv.
    void exportAsked();

    // Whether the grid is on screen now (its page is the one shown).
    bool onScreen() const { return m_onScreen; }

signals:
    void doubleClicked();
    // The grid came on screen, or went off it (its page changed, the
    // window was hidden).
    void onScreenChanged(bool onScreen);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void followDataset(int row);
    void followView(const QModelIndex &current);
    void fitOnce();
    void growColumns();
    void showContextMenu(const QPoint &at);
    void layoutChangedByOperator();
    // A grouped sum's totals by group.
    QMap<QString, double> groupTotals(int column) const;

    QTableView *m_view;
    GridModel *m_model;
    FooterBar *m_footer;
    QVector<GridFooter> m_footers; // by grid column
    bool m_fit = false;
    bool m_syncing = false;
    bool m_fitted = false;
    QAction *m_deleteAction = nullptr;
    QTimer *m_growTimer = nullptr;
    QAction *m_exportAction = nullptr;
    QAction *m_unsortAction = nullptr;
    QPointer<QMenu> m_menu;
    // The column layout: read once, written after the operator's changes.
    bool m_layoutRead = false;
    bool m_adjusting = false;   // the program is sizing columns
    QTimer *m_saveTimer = nullptr;
    QHash<int, int> m_keptWidths; // columns the operator sized, by logical index: never fitted or grown
    bool m_onScreen = false;
};
