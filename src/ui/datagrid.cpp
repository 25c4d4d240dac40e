#include "datagrid.h"

#include "config/displayformat.h"
#include "data/dataset.h"
#include "dialogs.h"
#include "navigatorbar.h"

#include <QAction>
#include <QComboBox>
#include <QStyledItemDelegate>

#include <QDateTime>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLocale>
#include <QPainter>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

// The footer row under a grid: one text under each column, kept under it
// when columns are resized, moved or scrolled.
class FooterBar : public QWidget {
public:
    FooterBar(QTableView *view, QWidget *parent) : QWidget(parent), m_view(view)
    {
        setObjectName(QStringLiteral("footer"));
        QHeaderView *h = view->horizontalHeader();
        connect(h, &QHeaderView::sectionResized, this, [this] { update(); });
        connect(h, &QHeaderView::sectionMoved, this, [this] { update(); });
        connect(h, &QHeaderView::geometriesChanged, this, [this] { update(); });
        connect(view->horizontalScrollBar(), &QScrollBar::valueChanged, this, [this] { update(); });
        setFixedHeight(fontMetrics().height() + 8);
        setAutoFillBackground(true);
        setBackgroundRole(QPalette::Button);
    }

    void setTexts(const QStringList &texts)
    {
        if (texts == m_texts)
            return;
        m_texts = texts;
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        const QHeaderView *h = m_view->horizontalHeader();
        // The grid's vertical header sits left of the columns.
        const int left = m_view->verticalHeader()->isVisible() ? m_view->verticalHeader()->width() : 0;
        const int frame = m_view->frameWidth();
        p.setPen(palette().color(QPalette::Mid));
        p.drawLine(0, 0, width(), 0);
        p.setPen(palette().color(QPalette::ButtonText));
        QFont bold = font();
        bold.setBold(true);
        p.setFont(bold);
        for (int logical = 0; logical < m_texts.size(); ++logical) {
            if (m_texts[logical].isEmpty() || h->isSectionHidden(logical))
                continue;
            const int x = frame + left + h->sectionViewportPosition(logical);
            const QRect cell(x + 3, 0, h->sectionSize(logical) - 6, height());
            p.drawText(cell, Qt::AlignVCenter | Qt::AlignRight, m_texts[logical]);
        }
    }

private:
    QTableView *m_view;
    QStringList m_texts;
};

namespace {

QString dateTimeText(const QVariant &v)
{
    static const QRegularExpression iso(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d[T ]\\d\\d:\\d\\d(:\\d\\d)?"));
    QDateTime t;
    if (v.typeId() == QMetaType::QDateTime)
        t = v.toDateTime();
    else if (v.typeId() == QMetaType::QString && iso.match(v.toString()).hasMatch())
        t = QDateTime::fromString(v.toString().left(19).replace(QLatin1Char(' '), QLatin1Char('T')), Qt::ISODate);
    if (!t.isValid())
        return QString();
    const QLocale l;
    return l.toString(t.date(), QLocale::ShortFormat) + QLatin1Char(' ') + t.time().toString(QStringLiteral("HH:mm:ss"));
}

bool isNumber(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

} // namespace

namespace {

// Editing a lookup column: the operator picks a shown value, the row stores
// its key.
class LookupDelegate : public QStyledItemDelegate {
public:
    LookupDelegate(const GridColumn &column, QObject *parent) : QStyledItemDelegate(parent), m_column(column) {}

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &, const QModelIndex &) const override
    {
        auto *box = new QComboBox(parent);
        box->setObjectName(QStringLiteral("lookupEditor"));
        // The value may be typed too. What is typed stays as typed (no
        // completion), so a code that is not in the list is refused by its
        // own text instead of being completed to another one.
        box->setEditable(true);
        box->setInsertPolicy(QComboBox::NoInsert);
        box->setCompleter(nullptr);
        DataSet &l = *m_column.lookupSet;
        const int key = l.fieldIndex(m_column.lookupKey);
        const int show = l.fieldIndex(m_column.lookupShow);
        if (key >= 0 && show >= 0)
            for (int r = 0; r < l.rowCount(); ++r)
                box->addItem(l.value(r, show).toString(), l.value(r, key));
        return box;
    }
    void setEditorData(QWidget *editor, const QModelIndex &index) const override
    {
        auto *box = static_cast<QComboBox *>(editor);
        const QVariant key = index.data(Qt::EditRole);
        int at = -1;
        for (int i = 0; i < box->count() && at < 0; ++i)
            if (!key.isNull() && box->itemData(i) == key)
                at = i;
        box->setCurrentIndex(at);
    }
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override
    {
        auto *box = static_cast<QComboBox *>(editor);
        const QString typed = box->currentText();
        if (typed.trimmed().isEmpty())
            return;
        // The item picked gives its key; a typed text is looked up (and
        // refused when it is not in the list) by the model.
        if (box->currentIndex() >= 0 && box->itemText(box->currentIndex()) == typed)
            model->setData(index, box->currentData(), Qt::EditRole);
        else
            model->setData(index, typed, Qt::EditRole);
    }

private:
    GridColumn m_column;
};

} // namespace

void FillLookupBox(QComboBox *box, const DataSet &set, const QString &key, const QString &shown)
{
    box->clear();
    const int k = set.fieldIndex(key);
    const int s = set.fieldIndex(shown);
    if (set.Active() && k >= 0 && s >= 0)
        for (int r = 0; r < set.RecordCount(); ++r)
            box->addItem(set.value(r, s).toString(), set.value(r, k));
}

// --- GridModel -----------------------------------------------------------------

GridModel::GridModel(DataSet *dataset, QList<GridColumn> columns, QObject *parent)
    : QAbstractTableModel(parent), m_dataset(dataset), m_columns(std::move(columns))
{
    remap();
    connect(m_dataset, &QAbstractItemModel::modelAboutToBeReset, this, [this] { beginResetModel(); });
    connect(m_dataset, &QAbstractItemModel::modelReset, this, [this] {
        remap();
        endResetModel();
    });
    connect(m_dataset, &QAbstractItemModel::dataChanged, this, [this](const QModelIndex &a, const QModelIndex &b) {
        emit dataChanged(index(a.row(), 0), index(b.row(), columnCount() - 1));
    });
    connect(m_dataset, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [this](const QModelIndex &, int first, int last) { beginInsertRows({}, first, last); });
    connect(m_dataset, &QAbstractItemModel::rowsInserted, this, [this] { endInsertRows(); });
    connect(m_dataset, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex &, int first, int last) { beginRemoveRows({}, first, last); });
    connect(m_dataset, &QAbstractItemModel::rowsRemoved, this, [this] { endRemoveRows(); });
    // A new row that is posted moves to where the table keeps it: the
    // view's current row, selection and open editor move with it.
    connect(m_dataset, &QAbstractItemModel::rowsAboutToBeMoved, this,
            [this](const QModelIndex &, int first, int last, const QModelIndex &, int to) {
                beginMoveRows({}, first, last, {}, to);
            });
    connect(m_dataset, &QAbstractItemModel::rowsMoved, this, [this] { endMoveRows(); });
}

void GridModel::remap()
{
    m_fields.resize(m_columns.size());
    for (int c = 0; c < m_columns.size(); ++c)
        m_fields[c] = m_dataset->fieldIndex(m_columns[c].field);
}

int GridModel::columnOf(const QString &field) const
{
    for (int c = 0; c < m_columns.size(); ++c)
        if (m_columns[c].field.compare(field, Qt::CaseInsensitive) == 0)
            return c;
    return -1;
}

int GridModel::fieldOf(int column) const { return column >= 0 && column < m_fields.size() ? m_fields[column] : -1; }

int GridModel::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : m_dataset->rowCount(); }
int GridModel::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : m_columns.size(); }

QString GridModel::text(int row, int column) const
{
    const GridColumn &c = m_columns[column];
    if (c.text)
        return c.text(*m_dataset, row);
    const int field = m_fields[column];
    if (field < 0)
        return QString();
    const QVariant v = m_dataset->value(row, field);
    if (v.isNull() || c.check)
        return QString();
    if (c.lookupSet) {
        DataSet &l = *c.lookupSet;
        const int key = l.fieldIndex(c.lookupKey);
        const int show = l.fieldIndex(c.lookupShow);
        if (key < 0 || show < 0)
            return QString();
        for (int r = 0; r < l.rowCount(); ++r)
            if (l.value(r, key) == v)
                return l.value(r, show).toString();
        return QString();
    }
    if (!c.format.isEmpty() && (isNumber(v) || v.typeId() == QMetaType::QString))
        return FormatDisplay(v, c.format);
    const QString when = dateTimeText(v);
    if (!when.isEmpty())
        return when;
    // A time of day as the terminals store it, without its milliseconds.
    static const QRegularExpression timeOfDay(QStringLiteral("^(\\d\\d:\\d\\d:\\d\\d)\\.\\d+$"));
    if (v.typeId() == QMetaType::QString) {
        const auto m = timeOfDay.match(v.toString());
        if (m.hasMatch())
            return m.captured(1);
    }
    if (v.typeId() == QMetaType::Double)
        return QLocale().toString(v.toDouble(), 'g', 15);
    return v.toString();
}

QVariant GridModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const GridColumn &c = m_columns[index.column()];
    const int field = m_fields[index.column()];
    switch (role) {
    case Qt::DisplayRole:
        return text(index.row(), index.column());
    case Qt::EditRole:
        return field < 0 ? QVariant() : m_dataset->value(index.row(), field);
    case Qt::CheckStateRole:
        if (!c.check || field < 0)
            return {};
        return m_dataset->value(index.row(), field).toBool() ? Qt::Checked : Qt::Unchecked;
    case Qt::TextAlignmentRole: {
        const QVariant v = field < 0 ? QVariant() : m_dataset->value(index.row(), field);
        if (!c.lookupSet && (isNumber(v) || !c.format.isEmpty()))
            return QVariant(Qt::AlignRight | Qt::AlignVCenter);
        return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    }
    default:
        return {};
    }
}

QVariant GridModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < m_columns.size())
        return m_columns[section].caption;
    if (orientation == Qt::Vertical && role == Qt::DisplayRole)
        return QVariant();
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags GridModel::flags(const QModelIndex &index) const
{
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (!index.isValid())
        return f;
    const GridColumn &c = m_columns[index.column()];
    const int field = m_fields[index.column()];
    if (c.readOnly || field < 0 || c.text)
        return f;
    const Qt::ItemFlags own = m_dataset->flags(m_dataset->index(index.row(), field));
    if (own & Qt::ItemIsEditable)
        f |= c.check ? Qt::ItemIsUserCheckable : Qt::ItemIsEditable;
    return f;
}

bool GridModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid())
        return false;
    const int field = m_fields[index.column()];
    if (field < 0)
        return false;
    QVariant v = value;
    if (role == Qt::CheckStateRole)
        v = value.toInt() == Qt::Checked;
    else if (role != Qt::EditRole)
        return false;
    const GridColumn &c = m_columns[index.column()];
    // A text typed into a lookup column is a shown value: the row stores
    // its key. One that is not in the list is refused by name, and the row
    // stays as it was (a row being edited stays in editing).
    if (c.lookupSet && v.typeId() == QMetaType::QString) {
        const std::optional<QVariant> key = lookupKey(c, v.toString());
        if (!key) {
            Dialogs::error(nullptr, QStringLiteral("Значение \"%1\" не найдено в списке поля \"%2\": выберите его из списка.")
                                        .arg(v.toString().trimmed(), c.caption));
            return false;
        }
        return m_dataset->setData(m_dataset->index(index.row(), field), *key, Qt::EditRole);
    }
    // Typed into a number column: read as a number of the user's locale,
    // or refused with the column named (SQLite would store the text).
    const QMetaType type = m_dataset->fieldType(field);
    const bool whole = type.id() == QMetaType::Int || type.id() == QMetaType::LongLong;
    if ((whole || type.id() == QMetaType::Double) && v.typeId() == QMetaType::QString) {
        const QString text = v.toString().trimmed();
        bool ok = true;
        const QLocale locale;
        if (text.isEmpty())
            v = QVariant();
        else if (whole)
            v = locale.toLongLong(text, &ok);
        else {
            double d = locale.toDouble(text, &ok);
            if (!ok) // a dot typed where the locale has a comma
                d = QLocale::c().toDouble(text, &ok);
            v = d;
        }
        if (!ok) {
            Dialogs::error(nullptr, QStringLiteral("Значение \"%1\" не подходит для поля \"%2\": нужно %3.")
                                        .arg(text, m_columns[index.column()].caption,
                                             whole ? QStringLiteral("целое число") : QStringLiteral("число")));
            return false;
        }
    }
    return m_dataset->setData(m_dataset->index(index.row(), field), v, Qt::EditRole);
}

std::optional<QVariant> GridModel::lookupKey(const GridColumn &c, const QString &shown) const
{
    const QString typed = shown.trimmed();
    if (typed.isEmpty())
        return QVariant();
    const DataSet &l = *c.lookupSet;
    const int key = l.fieldIndex(c.lookupKey);
    const int show = l.fieldIndex(c.lookupShow);
    if (!l.Active() || key < 0 || show < 0)
        return std::nullopt;
    // Only by the shown value: a typed code that happens to be some row's
    // number is no code, and never stands for that row.
    for (int r = 0; r < l.RecordCount(); ++r)
        if (l.value(r, show).toString().trimmed().compare(typed, Qt::CaseInsensitive) == 0)
            return l.value(r, key);
    return std::nullopt;
}

// --- DataGrid ----------------------------------------------------------------------

DataGrid::DataGrid(DataSet *dataset, QList<GridColumn> columns, QWidget *parent) : QWidget(parent)
{
    m_view = new QTableView(this);
    m_view->setObjectName(QStringLiteral("view"));
    m_model = new GridModel(dataset, std::move(columns), this);
    m_view->setModel(m_model);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);
    m_view->setAlternatingRowColors(true);
    m_view->verticalHeader()->setDefaultSectionSize(m_view->fontMetrics().height() + 6);
    m_view->verticalHeader()->setFixedWidth(14);
    m_view->horizontalHeader()->setHighlightSections(false);
    m_view->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
    m_view->setWordWrap(false);
    for (int c = 0; c < m_model->columns().size(); ++c) {
        const GridColumn &column = m_model->columns()[c];
        m_view->setColumnHidden(c, column.hidden);
        if (column.lookupSet && !column.readOnly)
            m_view->setItemDelegateForColumn(c, new LookupDelegate(column, m_view));
        // A name changed in the looked-up table shows at once.
        if (column.lookupSet) {
            auto repaint = [this] { m_view->viewport()->update(); };
            connect(column.lookupSet, &QAbstractItemModel::dataChanged, m_view, repaint);
            connect(column.lookupSet, &QAbstractItemModel::modelReset, m_view, repaint);
            connect(column.lookupSet, &QAbstractItemModel::rowsInserted, m_view, repaint);
            connect(column.lookupSet, &QAbstractItemModel::rowsRemoved, m_view, repaint);
        }
    }
    m_footer = new FooterBar(m_view, this);
    m_footer->hide();
    m_footers.resize(m_model->columns().size());

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_view);
    layout->addWidget(m_footer);

    connect(m_view, &QTableView::doubleClicked, this, [this] { emit doubleClicked(); });
    showDataSetErrors(dataset, this);
    connect(m_view->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex &current) { followView(current); });
    connect(dataset, &DataSet::currentRowChanged, this, &DataGrid::followDataset);
    // The footer follows the rows; the columns fit their contents the first
    // time rows come.
    auto rowsCame = [this] {
        fitOnce();
        updateFooter();
        followDataset(this->dataset()->currentRow());
    };
    connect(m_model, &QAbstractItemModel::modelReset, this, rowsCame);
    connect(m_model, &QAbstractItemModel::rowsInserted, this, rowsCame);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, rowsCame);
    connect(m_model, &QAbstractItemModel::dataChanged, this, [this] {
        updateFooter();
        m_growTimer->start();
    });
    // Rows coming in bursts are measured once.
    m_growTimer = new QTimer(this);
    m_growTimer->setSingleShot(true);
    m_growTimer->setInterval(100);
    connect(m_growTimer, &QTimer::timeout, this, &DataGrid::growColumns);
    connect(m_model, &QAbstractItemModel::rowsInserted, m_growTimer, qOverload<>(&QTimer::start));
    connect(m_model, &QAbstractItemModel::modelReset, m_growTimer, qOverload<>(&QTimer::start));
    fitOnce();
}

DataSet *DataGrid::dataset() const { return m_model->dataset(); }

void DataGrid::setDeleteKey(bool on)
{
    if (!m_deleteAction) {
        m_deleteAction = new QAction(QStringLiteral("Удалить записи"), m_view);
        m_deleteAction->setObjectName(QStringLiteral("actDeleteRows"));
        m_deleteAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Delete));
        m_deleteAction->setShortcutContext(Qt::WidgetShortcut);
        connect(m_deleteAction, &QAction::triggered, this, [this] { deleteSelectedRows(); });
        m_view->addAction(m_deleteAction);
    }
    m_deleteAction->setEnabled(on);
}

bool DataGrid::deleteSelectedRows()
{
    DataSet *ds = dataset();
    const QList<int> rows = selectedRows();
    if (!ds->canModify() || rows.isEmpty())
        return false;
    const QString text = rows.size() == 1 ? QStringLiteral("Удалить запись?")
                                          : QStringLiteral("Удалить выделенные записи (%1)?").arg(rows.size());
    if (!Dialogs::question(this, text))
        return false;
    return ds->DeleteRows(rows); // a refusal is shown through DataSet::error
}

void DataGrid::setMultiSelect(bool on)
{
    m_view->setSelectionMode(on ? QAbstractItemView::ExtendedSelection : QAbstractItemView::SingleSelection);
}

QList<int> DataGrid::selectedRows() const
{
    QList<int> rows;
    for (const QModelIndex &i : m_view->selectionModel()->selectedRows())
        rows << i.row();
    std::sort(rows.begin(), rows.end());
    if (rows.isEmpty() && m_view->currentIndex().isValid())
        rows << m_view->currentIndex().row();
    return rows;
}

void DataGrid::setFitColumns(bool on)
{
    m_fit = on;
    m_view->horizontalHeader()->setSectionResizeMode(on ? QHeaderView::Stretch : QHeaderView::Interactive);
    if (!on) {
        m_fitted = false;
        fitOnce();
    }
}

void DataGrid::fitOnce()
{
    if (m_fit || m_fitted || m_model->rowCount() == 0)
        return;
    m_fitted = true;
    m_view->resizeColumnsToContents();
    // Captions count too, and no column takes the whole screen.
    QHeaderView *h = m_view->horizontalHeader();
    const QFontMetrics metrics(h->font());
    for (int c = 0; c < m_model->columnCount(); ++c) {
        const int caption = metrics.horizontalAdvance(m_model->columns()[c].caption) + 16;
        h->resizeSection(c, std::min(std::max(h->sectionSize(c), caption), 320));
    }
}

void DataGrid::growColumns()
{
    // Wider values than those the columns were fitted to (a price of
    // another instrument, a larger volume) widen their column; a column the
    // operator made wider stays as wide. Only the rows in view are measured.
    if (m_fit || !m_fitted)
        return;
    QHeaderView *h = m_view->horizontalHeader();
    const int first = std::max(0, m_view->rowAt(0));
    int last = m_view->rowAt(m_view->viewport()->height() - 1);
    if (last < 0)
        last = m_model->rowCount() - 1;
    const QFontMetrics metrics(m_view->font());
    for (int c = 0; c < m_model->columnCount(); ++c) {
        if (m_view->isColumnHidden(c))
            continue;
        int wanted = 0;
        for (int r = first; r <= last; ++r)
            wanted = std::max(wanted, metrics.horizontalAdvance(m_model->text(r, c)) + 12);
        wanted = std::min(wanted, 320);
        if (wanted > h->sectionSize(c))
            h->resizeSection(c, wanted);
    }
}

void DataGrid::followDataset(int row)
{
    if (m_syncing)
        return;
    const QModelIndex current = m_view->currentIndex();
    if (row < 0 || row >= m_model->rowCount() || (current.isValid() && current.row() == row))
        return;
    m_syncing = true;
    const int column = current.isValid() ? current.column() : 0;
    m_view->setCurrentIndex(m_model->index(row, column));
    m_syncing = false;
}

void DataGrid::followView(const QModelIndex &current)
{
    if (m_syncing || !current.isValid())
        return;
    m_syncing = true;
    if (dataset()->currentRow() != current.row())
        dataset()->setCurrentRow(current.row());
    m_syncing = false;
    // A move the dataset refused (a row in editing that cannot be posted)
    // takes the grid back.
    if (dataset()->currentRow() != current.row() && dataset()->currentRow() >= 0)
        followDataset(dataset()->currentRow());
}

void DataGrid::setFooter(const QString &field, GridFooter footer)
{
    const int c = m_model->columnOf(field);
    if (c < 0)
        return;
    m_footers[c] = std::move(footer);
    m_footer->show();
    updateFooter();
}

void DataGrid::setFooterText(const QString &field, const QString &text)
{
    GridFooter f;
    f.kind = GridFooter::Text;
    f.text = text;
    setFooter(field, f);
}

bool DataGrid::footerVisible() const { return !m_footer->isHidden(); }

QString DataGrid::footerText(const QString &field) const
{
    const int c = m_model->columnOf(field);
    if (c < 0)
        return QString();
    const GridFooter &f = m_footers[c];
    switch (f.kind) {
    case GridFooter::Text:
        return f.text;
    case GridFooter::Count:
        return QString::number(m_model->rowCount());
    case GridFooter::Sum: {
        const int field = m_model->fieldOf(c);
        double sum = 0;
        if (field >= 0)
            for (int r = 0; r < m_model->rowCount(); ++r)
                sum += dataset()->value(r, field).toDouble();
        return FormatDisplay(sum, f.format);
    }
    case GridFooter::None:
        break;
    }
    return QString();
}

void DataGrid::updateFooter()
{
    if (m_footer->isHidden())
        return;
    QStringList texts;
    for (int c = 0; c < m_model->columnCount(); ++c)
        texts << footerText(m_model->columns()[c].field);
    m_footer->setTexts(texts);
    // A total is never cut short: its column grows to hold it.
    if (m_fit)
        return;
    QFont bold = m_footer->font();
    bold.setBold(true);
    const QFontMetrics metrics(bold);
    QHeaderView *h = m_view->horizontalHeader();
    for (int c = 0; c < texts.size(); ++c) {
        const int need = metrics.horizontalAdvance(texts[c]) + 10;
        if (!texts[c].isEmpty() && h->sectionSize(c) < need)
            h->resizeSection(c, need);
    }
}

void DataGrid::setAccessibleName(const QString &name)
{
    QWidget::setAccessibleName(name);
    m_view->setAccessibleName(name);
}
