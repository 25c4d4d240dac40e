#include "navigatorbar.h"

#include "data/dataset.h"
#include "dialogs.h"

#include "config/korvinaerror.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHBoxLayout>
#include <QPointer>
#include <QIcon>
#include <QToolButton>

namespace {

struct ButtonInfo {
    NavigatorBar::Button button;
    const char *name;
    const char *hint;
    const char *icon; // in the program's resources
};

const ButtonInfo buttons[] = {
    {NavigatorBar::First, "nbFirst", "Первая запись", "nav-first"},
    {NavigatorBar::Prior, "nbPrior", "Предыдущая запись", "nav-prior"},
    {NavigatorBar::Next, "nbNext", "Следующая запись", "nav-next"},
    {NavigatorBar::Last, "nbLast", "Последняя запись", "nav-last"},
    {NavigatorBar::Insert, "nbInsert", "Добавить запись", "nav-insert"},
    {NavigatorBar::Delete, "nbDelete", "Удалить запись", "nav-delete"},
    {NavigatorBar::Edit, "nbEdit", "Изменить запись", "nav-edit"},
    {NavigatorBar::Post, "nbPost", "Сохранить изменения", "nav-post"},
    {NavigatorBar::Cancel, "nbCancel", "Отменить изменения", "nav-cancel"},
    {NavigatorBar::Refresh, "nbRefresh", "Обновить данные", "nav-refresh"},
};

} // namespace

void showDataSetErrors(DataSet *dataset, QWidget *parent)
{
    if (!dataset || dataset->property("korvinaErrorsShown").toBool())
        return;
    dataset->setProperty("korvinaErrorsShown", true);
    QPointer<QWidget> owner(parent);
    QObject::connect(dataset, &DataSet::error, parent, [owner](const QString &reason) { Dialogs::error(owner, reason); });
}

NavigatorBar::NavigatorBar(DataSet *dataset, QWidget *parent) : QWidget(parent), m_dataset(dataset)
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(1);
    for (const ButtonInfo &info : buttons) {
        auto *b = new QToolButton(this);
        b->setObjectName(QLatin1String(info.name));
        const QString hint = QString::fromUtf8(info.hint);
        b->setToolTip(hint);
        b->setAccessibleName(hint);
        b->setIcon(QIcon(QStringLiteral(":/icons/") + QLatin1String(info.icon) + QStringLiteral(".svg")));
        b->setAutoRaise(true);
        const Button which = info.button;
        connect(b, &QToolButton::clicked, this, [this, which] { run(which); });
        layout->addWidget(b);
        m_buttons.insert(which, b);
    }
    layout->addStretch();
    connect(dataset, &DataSet::stateChanged, this, &NavigatorBar::updateButtons);
    connect(dataset, &DataSet::currentRowChanged, this, &NavigatorBar::updateButtons);
    connect(dataset, &QAbstractItemModel::modelReset, this, &NavigatorBar::updateButtons);
    connect(dataset, &QAbstractItemModel::rowsInserted, this, &NavigatorBar::updateButtons);
    connect(dataset, &QAbstractItemModel::rowsRemoved, this, &NavigatorBar::updateButtons);
    showDataSetErrors(dataset, this);
    updateButtons();
}

void NavigatorBar::setVisibleButtons(const QList<Button> &visible)
{
    for (auto it = m_buttons.cbegin(); it != m_buttons.cend(); ++it)
        it.value()->setVisible(visible.contains(static_cast<Button>(it.key())));
}

void NavigatorBar::updateButtons()
{
    const DataSet &ds = *m_dataset;
    const bool active = ds.Active();
    const int rows = ds.RecordCount();
    const int current = ds.currentRow();
    const bool modify = ds.canModify();
    const bool editing = ds.editing();
    auto set = [this](Button b, bool on) { m_buttons.value(b)->setEnabled(on); };
    set(First, active && rows > 0 && current > 0);
    set(Prior, active && rows > 0 && current > 0);
    set(Next, active && rows > 0 && current < rows - 1);
    set(Last, active && rows > 0 && current < rows - 1);
    set(Insert, modify);
    set(Delete, modify && rows > 0);
    set(Edit, modify && !editing && rows > 0);
    set(Post, modify && editing);
    set(Cancel, modify && editing);
    set(Refresh, active && !editing);
}

void NavigatorBar::click(Button b)
{
    QToolButton *button = m_buttons.value(b);
    if (button && button->isEnabled())
        run(b);
}

void NavigatorBar::run(Button b)
{
    // A grid cell still being typed into hands its text to its row first,
    // as leaving the cell does (Post then saves what was typed, not the row
    // without it): the focus goes back to the cell's grid, which keeps it
    // for the typing that follows.
    if (QWidget *typing = QApplication::focusWidget())
        for (QWidget *w = typing->parentWidget(); w; w = w->parentWidget())
            if (auto *grid = qobject_cast<QAbstractItemView *>(w)) {
                if (grid->viewport()->isAncestorOf(typing)) // a cell's editor
                    grid->setFocus(Qt::OtherFocusReason);
                break;
            }
    DataSet &ds = *m_dataset;
    try {
        switch (b) {
        case First:
            ds.First();
            break;
        case Prior:
            ds.Prior();
            break;
        case Next:
            ds.Next();
            break;
        case Last:
            ds.Last();
            break;
        case Insert:
            ds.Insert();
            break;
        case Delete:
            if (Dialogs::question(this, QStringLiteral("Удалить запись?")))
                ds.Delete(); // a refusal is shown through DataSet::error
            break;
        case Edit:
            ds.Edit();
            break;
        case Post:
            ds.Post();
            break;
        case Cancel:
            ds.Cancel();
            break;
        case Refresh:
            RefreshDataSet(ds);
            if (!ds.lastError().isEmpty())
                Dialogs::error(this, ds.lastError());
            break;
        }
    } catch (const std::exception &e) {
        Dialogs::error(this, failureText(e));
    }
    updateButtons();
}
