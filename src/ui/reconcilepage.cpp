#include "reconcilepage.h"

#include "datagrid.h"
#include "dialogs.h"

#include "config/korvinaerror.h"
#include "data/dataset.h"
#include "engine/robot.h"

#include <QAction>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

namespace {

GridColumn column(const char *field, const char *caption, const char *format = "")
{
    GridColumn c;
    c.field = QLatin1String(field);
    c.caption = QString::fromUtf8(caption);
    c.format = QString::fromUtf8(format);
    return c;
}

QString units(double v)
{
    return v == std::trunc(v) ? QLocale().toString(qint64(v)) : QLocale().toString(v, 'f', 2);
}

} // namespace

ReconcilePage::ReconcilePage(Robot &robot, QWidget *parent) : QWidget(parent), m_robot(robot)
{
    setObjectName(QStringLiteral("tshReconcile"));
    Reconciliation &rec = m_robot.desk().reconciliation();

    chReconcileDiffOnly = new QCheckBox(QStringLiteral("только расхождения"), this);
    chReconcileDiffOnly->setObjectName(QStringLiteral("chReconcileDiffOnly"));
    connect(chReconcileDiffOnly, &QCheckBox::toggled, this, [this](bool on) {
        m_robot.runTick([this, on] { m_robot.desk().reconciliation().setOnlyDifferences(on); });
    });

    actReconcileAlign = new QAction(QStringLiteral("Выровнять по терминалу..."), this);
    actReconcileAlign->setObjectName(QStringLiteral("actReconcileAlign"));
    actReconcileAlign->setToolTip(QStringLiteral("Переписать позицию робота по выбранной строке по остатку в терминале"));
    connect(actReconcileAlign, &QAction::triggered, this, &ReconcilePage::alignSelected);
    auto *align = new QPushButton(actReconcileAlign->text(), this);
    align->setObjectName(QStringLiteral("btnReconcileAlign"));
    align->setToolTip(actReconcileAlign->toolTip());
    connect(align, &QPushButton::clicked, actReconcileAlign, &QAction::trigger);

    lblReconcileCount = new QLabel(this);
    lblReconcileCount->setObjectName(QStringLiteral("lblReconcileCount"));

    GridColumn since;
    since.field = QStringLiteral("since");
    since.caption = QStringLiteral("Расходится с");
    since.text = [this](const DataSet &, int row) {
        const QDateTime t = m_robot.desk().reconciliation().Since(row);
        if (!t.isValid())
            return QString();
        return t.date() == QDate::currentDate() ? t.toString(QStringLiteral("HH:mm:ss")) : t.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
    };
    m_grid = new DataGrid(&rec.view(),
                          {column("quikname", "Квик"), column("code", "Код клиента"), column("seccode", "Бумага"), column("ticker", "Символ"),
                           column("lots", "Робот, лот", "### ### ##0"), column("units", "Робот, шт.", "### ### ### ##0"),
                           column("currentbal", "Терминал, шт.", "### ### ### ##0"), column("diff", "Разница, шт.", "### ### ### ##0"), since},
                          this);
    m_grid->setObjectName(QStringLiteral("grdReconcile"));
    m_grid->setAccessibleName(QStringLiteral("Сверка"));
    m_grid->setRowLook([](const DataSet &d, int row) {
        GridRowLook look;
        const double diff = d.value(row, QStringLiteral("diff")).toDouble();
        if (diff == 0)
            return look;
        look.foreground = QColor(0xc0, 0, 0);
        look.background = QColor(0xff, 0xe4, 0xe4);
        look.toolTip = QStringLiteral("Позиция робота расходится с терминалом на ") + units(diff) + QStringLiteral(" шт.");
        return look;
    });
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("pmReconcile"));
    menu->addAction(actReconcileAlign);
    m_grid->setContextMenu(menu);
    connect(m_grid, &DataGrid::doubleClicked, actReconcileAlign, &QAction::trigger);

    auto *bar = new QHBoxLayout;
    bar->addWidget(chReconcileDiffOnly);
    bar->addSpacing(16);
    bar->addWidget(align);
    bar->addSpacing(16);
    bar->addWidget(lblReconcileCount);
    bar->addStretch(1);
    auto *l = new QVBoxLayout(this);
    l->setContentsMargins(2, 2, 2, 2);
    l->addLayout(bar);
    l->addWidget(m_grid, 1);

    connect(&rec, &Reconciliation::changed, this, &ReconcilePage::showCount);
    showCount();
}

void ReconcilePage::showCount()
{
    const DataSet &v = m_robot.desk().reconciliation().view();
    int differences = 0;
    for (int i = 0; i < v.RecordCount(); ++i)
        if (v.value(i, QStringLiteral("diff")).toDouble() != 0)
            ++differences;
    lblReconcileCount->setText(QStringLiteral("Расхождений: ") + QString::number(differences));
    QPalette p = lblReconcileCount->palette();
    p.setColor(QPalette::WindowText, differences ? QColor(0xc0, 0, 0) : palette().color(QPalette::WindowText));
    lblReconcileCount->setPalette(p);
    // The times beside the rows move on even when the rows do not.
    m_grid->view()->viewport()->update();
}

void ReconcilePage::alignSelected()
{
    Reconciliation &rec = m_robot.desk().reconciliation();
    const DataSet &v = rec.view();
    const int row = v.currentRow();
    if (!v.Active() || row < 0 || row >= v.RecordCount()) {
        Dialogs::information(this, QStringLiteral("Выберите строку сверки."), QStringLiteral("Сверка"));
        return;
    }
    const TReconcileRow r = rec.row(row);
    if (r.diff == 0) {
        Dialogs::information(this,
                             QStringLiteral("Позиция робота по клиенту ") + r.code + QStringLiteral(", бумага ") + r.secCode
                                 + QStringLiteral(" совпадает с терминалом."),
                             QStringLiteral("Сверка"));
        return;
    }
    const QString text = QStringLiteral("Выровнять позицию робота по терминалу?\n\nКлиент: ") + r.code + QStringLiteral(" (") + r.quikName
        + QStringLiteral(")\nБумага: ") + r.secCode + QStringLiteral("\nУ робота: ") + QString::number(r.lots) + QStringLiteral(" лот (")
        + units(r.units) + QStringLiteral(" шт.)\nВ терминале: ") + units(r.terminal)
        + QStringLiteral(" шт.\n\nЗаписи робота по этой бумаге будут переписаны, действие попадет в историю.");
    if (!Dialogs::question(this, text, QStringLiteral("Сверка")))
        return;
    QString error;
    bool done = false;
    m_robot.runTick([&] { done = rec.Align(r, m_robot.session(), &error); });
    if (!done && !error.isEmpty())
        Dialogs::warning(this, QStringLiteral("Позиция робота не выровнена: ") + error, QStringLiteral("Сверка"));
}
