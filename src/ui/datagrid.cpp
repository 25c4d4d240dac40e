#include "datagrid.h"

#include "config/displayformat.h"
#include "data/dataset.h"
#include "dialogs.h"
#include "navigatorbar.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHelpEvent>
#include <QMenu>
#include <QSaveFile>
#include <QScopedValueRollback>
#include <QSettings>
#include <QStyledItemDelegate>
#include <QToolTip>

#include <QDateTime>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLocale>
#include <QMap>
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

    void setTexts(const QStringList &texts, const QStringList &tips)
    {
        m_tips = tips;
        if (texts == m_texts)
            return;
        m_texts = texts;
        update();
    }

protected:
    bool event(QEvent *e) override
    {
        if (e->type() == QEvent::ToolTip) {
            // The tooltip of the cell under the pointer: the totals a cell
            // of several groups stands for.
            auto *help = static_cast<QHelpEvent *>(e);
            const int x = help->pos().x() - m_view->frameWidth()
                - (m_view->verticalHeader()->isVisible() ? m_view->verticalHeader()->width() : 0);
            const int logical = m_view->horizontalHeader()->logicalIndexAt(x);
            const QString tip = logical >= 0 ? m_tips.value(logical) : QString();
            if (tip.isEmpty())
                QToolTip::hideText();
            else
                QToolTip::showText(help->globalPos(), tip, this);
            return true;
        }
        return QWidget::event(e);
    }

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
    QStringList m_tips;
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
        m_order.clear();
        m_shown.clear();
        if (m_sortColumn >= 0) {
            m_order = sortedOrder();
            m_shown = QVector<int>(m_order.size(), -1);
            for (int i = 0; i < m_order.size(); ++i)
                m_shown[m_order[i]] = i;
        }
        endResetModel();
    });
    connect(m_dataset, &QAbstractItemModel::dataChanged, this, [this](const QModelIndex &a, const QModelIndex &b) {
        if (m_sortColumn < 0) {
            emit dataChanged(index(a.row(), 0), index(b.row(), columnCount() - 1));
            return;
        }
        // Sorted: the changed rows are anywhere, and may belong elsewhere now.
        if (rowCount() > 0)
            emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
        applyOrder(sortedOrder());
    });
    // Rows added or taken away: in the dataset's order told as they are;
    // sorted, as a reset, after which the rows are sorted again.
    auto aboutToChange = [this](bool insert, int first, int last) {
        if (m_sortColumn >= 0) {
            m_resetting = true;
            beginResetModel();
        } else if (insert) {
            beginInsertRows({}, first, last);
        } else {
            beginRemoveRows({}, first, last);
        }
    };
    auto changed = [this](bool insert) {
        if (m_resetting) {
            m_resetting = false;
            m_order = sortedOrder();
            m_shown = QVector<int>(m_order.size(), -1);
            for (int i = 0; i < m_order.size(); ++i)
                m_shown[m_order[i]] = i;
            endResetModel();
        } else if (insert) {
            endInsertRows();
        } else {
            endRemoveRows();
        }
    };
    connect(m_dataset, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [aboutToChange](const QModelIndex &, int first, int last) { aboutToChange(true, first, last); });
    connect(m_dataset, &QAbstractItemModel::rowsInserted, this, [changed] { changed(true); });
    connect(m_dataset, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [aboutToChange](const QModelIndex &, int first, int last) { aboutToChange(false, first, last); });
    connect(m_dataset, &QAbstractItemModel::rowsRemoved, this, [changed] { changed(false); });
    // A new row that is posted moves to where the table keeps it: the
    // view's current row, selection and open editor move with it (sorted,
    // its place is the sort's, and the rows are sorted again).
    connect(m_dataset, &QAbstractItemModel::rowsAboutToBeMoved, this,
            [this](const QModelIndex &, int first, int last, const QModelIndex &, int to) {
                if (m_sortColumn >= 0) {
                    m_resetting = true;
                    beginResetModel();
                } else {
                    beginMoveRows({}, first, last, {}, to);
                }
            });
    connect(m_dataset, &QAbstractItemModel::rowsMoved, this, [this, changed] {
        if (m_resetting)
            changed(true);
        else
            endMoveRows();
    });
}

int GridModel::datasetRow(int shown) const
{
    if (shown < 0 || shown >= rowCount())
        return -1;
    return m_order.isEmpty() ? shown : m_order.value(shown, -1);
}

int GridModel::shownRow(int datasetRow) const
{
    if (datasetRow < 0 || datasetRow >= rowCount())
        return -1;
    return m_shown.isEmpty() ? datasetRow : m_shown.value(datasetRow, -1);
}

void GridModel::setRowLook(std::function<GridRowLook(const DataSet &, int)> look)
{
    m_rowLook = std::move(look);
    if (rowCount() > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
}

namespace {

// How two cells of a column compare: numbers as numbers, dates and times
// as such, everything else as the locale orders text; empty first.
int compareCells(const QVariant &a, const QVariant &b, const QString &textA, const QString &textB)
{
    const bool nullA = a.isNull() && textA.isEmpty();
    const bool nullB = b.isNull() && textB.isEmpty();
    if (nullA || nullB)
        return nullA == nullB ? 0 : (nullA ? -1 : 1);
    auto number = [](const QVariant &v) {
        switch (v.typeId()) {
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Double:
        case QMetaType::Float:
        case QMetaType::Bool:
            return true;
        default:
            return false;
        }
    };
    if (number(a) && number(b)) {
        const double x = a.toDouble(), y = b.toDouble();
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    if (a.typeId() == QMetaType::QDateTime && b.typeId() == QMetaType::QDateTime) {
        const QDateTime x = a.toDateTime(), y = b.toDateTime();
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    return QString::localeAwareCompare(textA, textB);
}

} // namespace

QVector<int> GridModel::sortedOrder() const
{
    const int n = m_dataset->rowCount();
    QVector<int> order(n);
    for (int r = 0; r < n; ++r)
        order[r] = r;
    if (m_sortColumn < 0 || m_sortColumn >= m_columns.size())
        return order;
    const GridColumn &c = m_columns[m_sortColumn];
    const int field = m_fields[m_sortColumn];
    // A column shown through a text of its own (a price with its decimals,
    // a looked-up name) compares by the value when it has one, by the
    // text otherwise.
    const bool byText = c.lookupSet || (c.text && field < 0);
    QVector<QVariant> values(n);
    QVector<QString> texts(n);
    for (int r = 0; r < n; ++r) {
        if (!byText && field >= 0)
            values[r] = m_dataset->value(r, field);
        texts[r] = cellText(r, m_sortColumn);
    }
    const bool down = m_sortOrder == Qt::DescendingOrder;
    std::stable_sort(order.begin(), order.end(), [&](int x, int y) {
        const int c = compareCells(values[x], values[y], texts[x], texts[y]);
        return down ? c > 0 : c < 0;
    });
    return order;
}

void GridModel::applyOrder(QVector<int> order)
{
    const bool natural = m_sortColumn < 0;
    const QVector<int> before = m_order;
    if (natural)
        order.clear();
    if (order == before)
        return;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    // Every index the views keep (the current row, the selection) stays on
    // its record.
    const QModelIndexList kept = persistentIndexList();
    QVector<int> keptRows;
    for (const QModelIndex &i : kept)
        keptRows << (before.isEmpty() ? i.row() : before.value(i.row(), -1));
    m_order = order;
    m_shown.clear();
    if (!m_order.isEmpty()) {
        m_shown = QVector<int>(m_order.size(), -1);
        for (int i = 0; i < m_order.size(); ++i)
            m_shown[m_order[i]] = i;
    }
    QModelIndexList moved;
    for (int k = 0; k < kept.size(); ++k) {
        const int row = shownRow(keptRows[k]);
        moved << (row < 0 ? QModelIndex() : index(row, kept[k].column()));
    }
    changePersistentIndexList(kept, moved);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void GridModel::sort(int column, Qt::SortOrder order)
{
    m_sortColumn = column >= 0 && column < m_columns.size() ? column : -1;
    m_sortOrder = order;
    applyOrder(sortedOrder());
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
    const int r = datasetRow(row);
    return r < 0 ? QString() : cellText(r, column);
}

QString GridModel::cellText(int row, int column) const
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
    // A time of day as the terminals store it, without its milliseconds:
    // a text on SQLite, a time on a server.
    if (v.typeId() == QMetaType::QTime)
        return v.toTime().toString(QStringLiteral("HH:mm:ss"));
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
    const int row = datasetRow(index.row());
    if (row < 0)
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return cellText(row, index.column());
    case Qt::EditRole:
        return field < 0 ? QVariant() : m_dataset->value(row, field);
    case Qt::CheckStateRole:
        if (!c.check || field < 0)
            return {};
        return m_dataset->value(row, field).toBool() ? Qt::Checked : Qt::Unchecked;
    case Qt::ForegroundRole:
    case Qt::BackgroundRole: {
        if (!m_rowLook)
            return {};
        const GridRowLook look = m_rowLook(*m_dataset, row);
        const QColor color = role == Qt::ForegroundRole ? look.foreground : look.background;
        return color.isValid() ? QVariant(color) : QVariant();
    }
    case Qt::ToolTipRole: {
        if (!m_rowLook)
            return {};
        const QString tip = m_rowLook(*m_dataset, row).toolTip;
        return tip.isEmpty() ? QVariant() : QVariant(tip);
    }
    case Qt::TextAlignmentRole: {
        const QVariant v = field < 0 ? QVariant() : m_dataset->value(row, field);
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
    // A first click on a header sorts up, the next one down.
    if (orientation == Qt::Horizontal && role == Qt::InitialSortOrderRole)
        return static_cast<int>(Qt::AscendingOrder);
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
    const Qt::ItemFlags own = m_dataset->flags(m_dataset->index(datasetRow(index.row()), field));
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
    return m_dataset->setData(m_dataset->index(datasetRow(index.row()), field), v, Qt::EditRole);
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
    // Sorting by a header's click; the grid starts in the dataset's order.
    m_view->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    m_view->horizontalHeader()->setSectionsMovable(true);
    m_view->setSortingEnabled(true);
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
    // Sorted: the current record stays current, and in view.
    connect(m_model, &QAbstractItemModel::layoutChanged, this, [this] {
        if (m_view->currentIndex().isValid())
            m_view->scrollTo(m_view->currentIndex());
        m_unsortAction->setEnabled(m_model->sortColumn() >= 0);
    });

    // The context menu: the window's commands, then the grid's own.
    m_exportAction = new QAction(QStringLiteral("Экспорт в CSV..."), this);
    m_exportAction->setObjectName(QStringLiteral("actExportCsv"));
    connect(m_exportAction, &QAction::triggered, this, &DataGrid::exportAsked);
    m_unsortAction = new QAction(QStringLiteral("Исходный порядок строк"), this);
    m_unsortAction->setObjectName(QStringLiteral("actSortNone"));
    m_unsortAction->setEnabled(false);
    connect(m_unsortAction, &QAction::triggered, this, [this] {
        m_view->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
        m_model->sort(-1);
    });
    m_view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_view, &QWidget::customContextMenuRequested, this, &DataGrid::showContextMenu);

    // The operator's widths and order of the columns, written shortly after
    // a change.
    m_saveTimer = new QTimer(this);
    m_saveTimer->setSingleShot(true);
    m_saveTimer->setInterval(500);
    connect(m_saveTimer, &QTimer::timeout, this, &DataGrid::saveLayout);
    connect(m_view->horizontalHeader(), &QHeaderView::sectionResized, this, [this](int logical) {
        if (m_adjusting || m_fit)
            return;
        m_keptWidths.insert(logical, m_view->horizontalHeader()->sectionSize(logical));
        layoutChangedByOperator();
    });
    connect(m_view->horizontalHeader(), &QHeaderView::sectionMoved, this, [this] {
        if (!m_adjusting)
            layoutChangedByOperator();
    });
    fitOnce();
}

DataGrid::~DataGrid()
{
    if (m_saveTimer->isActive())
        saveLayout();
}

namespace {
QString g_layoutFile;
} // namespace

void DataGrid::setLayoutFile(const QString &path) { g_layoutFile = path; }
QString DataGrid::layoutFile() { return g_layoutFile; }

void DataGrid::layoutChangedByOperator()
{
    if (!g_layoutFile.isEmpty() && !objectName().isEmpty())
        m_saveTimer->start();
}

void DataGrid::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_layoutRead)
        restoreLayout();
    if (!m_onScreen) {
        m_onScreen = true;
        emit onScreenChanged(true);
    }
}

void DataGrid::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (m_onScreen && !isVisible()) {
        m_onScreen = false;
        emit onScreenChanged(false);
    }
}

void DataGrid::restoreLayout()
{
    m_layoutRead = true;
    if (g_layoutFile.isEmpty() || objectName().isEmpty())
        return;
    QSettings store(g_layoutFile, QSettings::IniFormat);
    store.beginGroup(objectName());
    const QStringList order = store.value(QStringLiteral("order")).toStringList();
    const QStringList widths = store.value(QStringLiteral("widths")).toStringList();
    store.endGroup();
    if (order.isEmpty())
        return;
    // Kept by field, so that a column added or taken away since leaves the
    // others as they were.
    QHeaderView *h = m_view->horizontalHeader();
    const QScopedValueRollback<bool> adjusting(m_adjusting, true);
    int visual = 0;
    for (int i = 0; i < order.size(); ++i) {
        const int logical = m_model->columnOf(order[i]);
        if (logical < 0)
            continue;
        h->moveSection(h->visualIndex(logical), visual++);
        bool ok = false;
        const int width = widths.value(i).toInt(&ok);
        if (ok && width > 0) {
            h->resizeSection(logical, width);
            m_keptWidths.insert(logical, width);
        }
    }
}

void DataGrid::saveLayout()
{
    m_saveTimer->stop();
    if (g_layoutFile.isEmpty() || objectName().isEmpty())
        return;
    QHeaderView *h = m_view->horizontalHeader();
    QStringList order, widths;
    // The widths the operator chose; 0 for a column sized to its contents.
    for (int visual = 0; visual < h->count(); ++visual) {
        const int logical = h->logicalIndex(visual);
        order << m_model->columns()[logical].field;
        widths << QString::number(m_keptWidths.value(logical, 0));
    }
    QSettings store(g_layoutFile, QSettings::IniFormat);
    store.beginGroup(objectName());
    store.setValue(QStringLiteral("order"), order);
    store.setValue(QStringLiteral("widths"), widths);
    store.endGroup();
    store.sync();
}

QList<QAction *> DataGrid::contextActions() const
{
    QList<QAction *> out;
    if (m_menu)
        out << m_menu->actions();
    out << m_exportAction << m_unsortAction;
    return out;
}

void DataGrid::showContextMenu(const QPoint &at)
{
    // The commands act on the row under the pointer (a row of a selection
    // keeps the selection).
    m_view->setFocus();
    const QModelIndex row = m_view->indexAt(at);
    if (row.isValid() && !m_view->selectionModel()->isRowSelected(row.row(), QModelIndex()))
        m_view->setCurrentIndex(row);
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("gridMenu"));
    if (m_menu && !m_menu->actions().isEmpty()) {
        menu.addActions(m_menu->actions());
        menu.addSeparator();
    }
    menu.addAction(m_exportAction);
    menu.addAction(m_unsortAction);
    menu.exec(m_view->viewport()->mapToGlobal(at));
}

namespace {

// One field of a CSV line: quoted when it holds the separator, a quote or
// a line break; a text a spreadsheet would take for a formula is kept a
// text.
QString csvField(QString text)
{
    static const QRegularExpression number(QStringLiteral("^-[\\d\\s\\x{00A0}\\x{202F}]*[\\d][\\d\\s\\x{00A0}\\x{202F},.]*$"));
    if (!text.isEmpty()) {
        const QChar first = text.front();
        if (first == QLatin1Char('=') || first == QLatin1Char('+') || first == QLatin1Char('@') || first == QLatin1Char('\t')
            || first == QLatin1Char('\r') || (first == QLatin1Char('-') && !number.match(text).hasMatch()))
            text.prepend(QLatin1Char('\''));
    }
    if (text.contains(QLatin1Char(';')) || text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\n'))
        || text.contains(QLatin1Char('\r'))) {
        text.replace(QLatin1Char('"'), QStringLiteral("\"\""));
        text = QLatin1Char('"') + text + QLatin1Char('"');
    }
    return text;
}

} // namespace

bool DataGrid::exportCsv(const QString &path, QString *error) const
{
    auto fail = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("Не удается записать файл ") + QDir::toNativeSeparators(path) + QStringLiteral(": ") + why;
        return false;
    };
    QHeaderView *h = m_view->horizontalHeader();
    QList<int> columns;
    for (int visual = 0; visual < h->count(); ++visual) {
        const int logical = h->logicalIndex(visual);
        if (!h->isSectionHidden(logical))
            columns << logical;
    }
    const QString separator = QStringLiteral(";");
    QString text;
    QStringList line;
    for (int c : columns)
        line << csvField(m_model->columns()[c].caption);
    text += line.join(separator) + QStringLiteral("\r\n");
    for (int r = 0; r < m_model->rowCount(); ++r) {
        line.clear();
        for (int c : columns) {
            if (m_model->columns()[c].check) {
                const bool on = m_model->data(m_model->index(r, c), Qt::CheckStateRole).toInt() == Qt::Checked;
                line << (on ? QStringLiteral("Да") : QStringLiteral("Нет"));
            } else {
                line << csvField(m_model->text(r, c));
            }
        }
        text += line.join(separator) + QStringLiteral("\r\n");
    }
    // Written whole under another name and renamed when complete; its
    // owner's alone before a byte is written.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return fail(file.errorString());
    const QByteArray bytes = QByteArrayLiteral("\xEF\xBB\xBF") + text.toUtf8();
    if (file.write(bytes) != bytes.size())
        return fail(file.errorString());
    if (!file.commit())
        return fail(file.errorString());
    return true;
}

void DataGrid::exportAsked()
{
    const QString name = (accessibleName().isEmpty() ? objectName() : accessibleName()) + QLatin1Char(' ')
        + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".csv");
    QString path = Dialogs::saveFileName(this, QStringLiteral("Экспорт в CSV"), QDir(QDir::homePath()).filePath(name),
                                         QStringLiteral("Файлы CSV (*.csv)"));
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".csv");
    QString error;
    if (!exportCsv(path, &error))
        Dialogs::error(this, error);
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
        rows << m_model->datasetRow(i.row());
    if (rows.isEmpty() && m_view->currentIndex().isValid())
        rows << m_model->datasetRow(m_view->currentIndex().row());
    rows.removeAll(-1);
    std::sort(rows.begin(), rows.end());
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
    const QScopedValueRollback<bool> adjusting(m_adjusting, true);
    m_view->resizeColumnsToContents();
    // Captions count too, and no column takes the whole screen.
    QHeaderView *h = m_view->horizontalHeader();
    const QFontMetrics metrics(h->font());
    for (int c = 0; c < m_model->columnCount(); ++c) {
        const int caption = metrics.horizontalAdvance(m_model->columns()[c].caption) + 16;
        h->resizeSection(c, std::min(std::max(h->sectionSize(c), caption), 320));
    }
    // The operator's own widths stand.
    for (auto it = m_keptWidths.cbegin(); it != m_keptWidths.cend(); ++it)
        h->resizeSection(it.key(), it.value());
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
    const QScopedValueRollback<bool> adjusting(m_adjusting, true);
    for (int c = 0; c < m_model->columnCount(); ++c) {
        if (m_view->isColumnHidden(c) || m_keptWidths.contains(c))
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
    const int shown = m_model->shownRow(row);
    if (shown < 0 || (current.isValid() && current.row() == shown))
        return;
    m_syncing = true;
    const int column = current.isValid() ? current.column() : 0;
    m_view->setCurrentIndex(m_model->index(shown, column));
    m_syncing = false;
}

void DataGrid::followView(const QModelIndex &current)
{
    if (m_syncing || !current.isValid())
        return;
    const int row = m_model->datasetRow(current.row());
    m_syncing = true;
    if (dataset()->currentRow() != row)
        dataset()->setCurrentRow(row);
    m_syncing = false;
    // A move the dataset refused (a row in editing that cannot be posted)
    // takes the grid back.
    if (dataset()->currentRow() != row && dataset()->currentRow() >= 0)
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

QMap<QString, double> DataGrid::groupTotals(int column) const
{
    QMap<QString, double> totals;
    const GridFooter &f = m_footers[column];
    const int field = m_model->fieldOf(column);
    if (field < 0 || !f.groupBy)
        return totals;
    const DataSet &d = *dataset();
    for (int r = 0; r < m_model->rowCount(); ++r) {
        const QVariant v = d.value(r, field);
        if (v.isNull() || v.toDouble() == 0)
            continue;
        totals[f.groupBy(d, r)] += v.toDouble();
    }
    return totals;
}

QString DataGrid::footerToolTip(const QString &field) const
{
    const int c = m_model->columnOf(field);
    if (c < 0 || m_footers[c].kind != GridFooter::Sum || !m_footers[c].groupBy)
        return QString();
    const QMap<QString, double> totals = groupTotals(c);
    if (totals.size() <= 1)
        return QString();
    QStringList lines;
    for (auto it = totals.cbegin(); it != totals.cend(); ++it)
        lines << (it.key().isEmpty() ? QStringLiteral("—") : it.key()) + QStringLiteral(": ") + FormatDisplay(it.value(), m_footers[c].format);
    return lines.join(QLatin1Char('\n'));
}

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
        if (!f.groupBy) {
            double sum = 0;
            if (field >= 0)
                for (int r = 0; r < m_model->rowCount(); ++r)
                    sum += dataset()->value(r, field).toDouble();
            return FormatDisplay(sum, f.format);
        }
        const QMap<QString, double> totals = groupTotals(c);
        if (totals.size() <= 1)
            return FormatDisplay(totals.isEmpty() ? 0.0 : totals.first(), f.format);
        return f.groupsCaption + QStringLiteral(": ") + QString::number(totals.size());
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
    QStringList texts, tips;
    for (int c = 0; c < m_model->columnCount(); ++c) {
        texts << footerText(m_model->columns()[c].field);
        tips << footerToolTip(m_model->columns()[c].field);
    }
    m_footer->setTexts(texts, tips);
    // A total is never cut short: its column grows to hold it.
    if (m_fit)
        return;
    QFont bold = m_footer->font();
    bold.setBold(true);
    const QFontMetrics metrics(bold);
    QHeaderView *h = m_view->horizontalHeader();
    const QScopedValueRollback<bool> adjusting(m_adjusting, true);
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
