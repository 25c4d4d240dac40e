#pragma once

#include <QAbstractTableModel>
#include <QPointer>
#include <QTableView>
#include <QWidget>

#include <functional>
#include <optional>

class DataSet;
class FooterBar;
class QComboBox;

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
    Kind kind = None;
    QString format; // Sum: the display format of the total
    QString text;   // Text: set by the program
};

// The model a grid shows: the dataset's rows through the grid's columns.
class GridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    GridModel(DataSet *dataset, QList<GridColumn> columns, QObject *parent = nullptr);

    DataSet *dataset() const { return m_dataset; }
    const QList<GridColumn> &columns() const { return m_columns; }
    int columnOf(const QString &field) const; // -1 when the grid has no such column
    // The dataset's field index of a grid column; -1 when the dataset has none.
    int fieldOf(int column) const;
    // The text a cell shows.
    QString text(int row, int column) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;

private:
    void remap();
    // The key of the lookup row whose shown value is `shown` (letter case
    // and blanks around ignored); null for an empty text, none when no row has it.
    std::optional<QVariant> lookupKey(const GridColumn &column, const QString &shown) const;

    DataSet *m_dataset;
    QList<GridColumn> m_columns;
    QVector<int> m_fields; // grid column -> dataset field index
};

// A grid on a dataset (the program's tables and views): the columns it is
// given, in order, with their captions and display formats; an optional
// footer row; the grid's current row and the dataset's kept in step both
// ways. Reused by every window of the program.
class DataGrid : public QWidget {
    Q_OBJECT
public:
    DataGrid(DataSet *dataset, QList<GridColumn> columns, QWidget *parent = nullptr);

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

    // The name screen readers and scripted checks know the grid by.
    void setAccessibleName(const QString &name);

signals:
    void doubleClicked();

private:
    void followDataset(int row);
    void followView(const QModelIndex &current);
    void fitOnce();
    void growColumns();

    QTableView *m_view;
    GridModel *m_model;
    FooterBar *m_footer;
    QVector<GridFooter> m_footers; // by grid column
    bool m_fit = false;
    bool m_syncing = false;
    bool m_fitted = false;
    class QAction *m_deleteAction = nullptr;
    class QTimer *m_growTimer = nullptr;
};
