#include "tfmclients.h"

#include "data/datmod.h"
#include "datagrid.h"
#include "navigatorbar.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QVBoxLayout>

namespace {

GridColumn column(const char *field, const char *caption, bool check = false)
{
    GridColumn c;
    c.field = QLatin1String(field);
    c.caption = QString::fromUtf8(caption);
    c.readOnly = false;
    c.check = check;
    return c;
}

GridColumn lookup(const char *field, const char *caption, DataSet *set, const char *key, const char *show)
{
    GridColumn c = column(field, caption);
    c.lookupSet = set;
    c.lookupKey = QLatin1String(key);
    c.lookupShow = QLatin1String(show);
    return c;
}

void centre(QWidget *w)
{
    if (QScreen *screen = w->screen())
        w->move(screen->availableGeometry().center() - w->rect().center());
}

// A captioned group holding a grid with its navigator bar below.
QGroupBox *gridGroup(const char *name, const QString &caption, DataGrid *grid, NavigatorBar *nav)
{
    auto *g = new QGroupBox(caption);
    g->setObjectName(QLatin1String(name));
    grid->setAccessibleName(caption.trimmed());
    auto *l = new QVBoxLayout(g);
    l->addWidget(grid);
    l->addWidget(nav);
    return g;
}

} // namespace

TfmClients::TfmClients(TDatMod &data, QWidget *parent) : QDialog(parent), m_data(data)
{
    setObjectName(QStringLiteral("fmClients"));
    setWindowTitle(QStringLiteral("Клиенты"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint);
    setModal(true);
    m_data.tClients.setReadOnly(false);
    grdClients = new DataGrid(&m_data.tClients,
                              {column("Code", "Код клиента"), column("Active", "Активен", true), column("client", "Владелец счета"),
                               lookup("id_quik", "Терминал", &m_data.tQuik, "id_quik", "quik"), column("LongEnb", "Лонги", true),
                               column("ShortEnb", "Шорты", true), column("MicexEnb", "ММВБ", true), column("FortsEnb", "ФОРТС", true),
                               column("Leverage", "Плечо"), column("Ebs", "Единый счет", true), column("AccountMicex", "Счет на ММВБ"),
                               column("AccountFORTS", "Счет на ФОРТС"), column("note", "Комментарии")});
    grdClients->setObjectName(QStringLiteral("grdClients"));
    grdClients->setMultiSelect(true);
    grdClients->setDeleteKey(true);
    nbClients = new NavigatorBar(&m_data.tClients);
    nbClients->setObjectName(QStringLiteral("nbClients"));

    auto *ok = new QPushButton(QStringLiteral("OK"));
    ok->setObjectName(QStringLiteral("btOK"));
    ok->setDefault(true);
    auto *cancel = new QPushButton(QStringLiteral("Отмена"));
    cancel->setObjectName(QStringLiteral("btCancel"));
    connect(ok, &QPushButton::clicked, this, &TfmClients::accept);
    connect(cancel, &QPushButton::clicked, this, &TfmClients::reject);
    auto *bar = new QHBoxLayout;
    bar->addStretch();
    bar->addWidget(ok);
    bar->addWidget(cancel);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(gridGroup("gbClients", QStringLiteral(" Список клиентов "), grdClients, nbClients));
    layout->addLayout(bar);
    resize(1167, 632);
}

void TfmClients::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    centre(this);
}

void TfmClients::accept()
{
    // A row the database refuses stays in editing, its reason shown.
    if (m_data.tClients.editing() && !m_data.tClients.Post())
        return;
    QDialog::accept();
}

void TfmClients::reject()
{
    if (m_data.tClients.editing())
        m_data.tClients.Cancel();
    QDialog::reject();
}

TfmGroup::TfmGroup(TDatMod &data, QWidget *parent) : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint), m_data(data)
{
    setObjectName(QStringLiteral("fmGroup"));
    setWindowTitle(QStringLiteral("Группы клиентов"));
    m_data.tGroup.setReadOnly(false);
    m_data.tGroupClients.setReadOnly(false);

    grdGroup = new DataGrid(&m_data.tGroup, {column("id_group", "Номер"), column("group", "Имя")});
    grdGroup->setObjectName(QStringLiteral("grdGroup"));
    grdGroup->setFitColumns(true);
    nbGroup = new NavigatorBar(&m_data.tGroup);
    nbGroup->setObjectName(QStringLiteral("nbGroup"));
    grdGroupClients = new DataGrid(&m_data.tGroupClients, {lookup("id_client", "Код клиента", &m_data.tClients, "id", "Code")});
    grdGroupClients->setObjectName(QStringLiteral("grdGroupClients"));
    grdGroupClients->setFitColumns(true);
    grdGroupClients->setMultiSelect(true);
    grdGroupClients->setDeleteKey(true);
    nbGroupClients = new NavigatorBar(&m_data.tGroupClients);
    nbGroupClients->setObjectName(QStringLiteral("nbGroupClients"));

    auto *split = new QSplitter(Qt::Horizontal);
    split->setObjectName(QStringLiteral("Splitter1"));
    split->setOpaqueResize(true); // the halves follow the splitter while it is dragged
    split->addWidget(gridGroup("gbGroup", QStringLiteral(" Группы клиентов "), grdGroup, nbGroup));
    split->addWidget(gridGroup("gbGroupClients", QStringLiteral(" Состав группы "), grdGroupClients, nbGroupClients));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(split);
    setFixedSize(670, 398);

    connect(&m_data.tGroup, &DataSet::currentRowChanged, this, &TfmGroup::followGroup);
    connect(&m_data.tGroup, &DataSet::opened, this, &TfmGroup::followGroup);
    connect(&m_data.tGroup, &DataSet::closed, this, &TfmGroup::followGroup);
    connect(&m_data.tGroup, &DataSet::posted, this, &TfmGroup::followGroup);
}

void TfmGroup::followGroup()
{
    DataSet &groups = m_data.tGroup;
    DataSet &members = m_data.tGroupClients;
    // A new group not yet posted has no number: no members to show.
    QVariant id;
    if (groups.Active() && !groups.IsEmpty() && groups.state() != DataSet::State::Insert)
        id = groups.FieldByName(QStringLiteral("id_group"));
    if (members.editing() && members.rangeValue() != id && !members.Post())
        members.Cancel();
    const bool wasOpen = members.Active();
    members.setRange(QStringLiteral("id_group"), id.isNull() ? QVariant(-1) : id);
    if (!wasOpen && groups.Active() && m_data.conQuikData.isOpen()) {
        try {
            members.Open();
        } catch (const std::exception &) {
            // shown empty; the refresh tick or a reconnection opens it
        }
    }
}

void TfmGroup::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    centre(this);
    followGroup();
}
