// The main window's commands on the merged views: the positions filter, the
// client list of a group, the instrument list, the portfolios.

#include "robot.h"

#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "data/views.h"

void Robot::FilterClientsByGroup(std::optional<int> group)
{
    DataSet &q = m_data.qClientsByGroup;
    q.Close();
    QStringList sql{QStringLiteral("SELECT DISTINCT tclients.code, tclients.client, tclients.id"),
                    QStringLiteral("FROM tClients INNER JOIN tGroupClients ON tClients.id=tGroupClients.id_client")};
    if (group)
        sql << QStringLiteral("WHERE id_group = ") + QString::number(*group);
    q.setSQL(sql);
    q.Open();
}

void Robot::SelectLimits(const QString &group, const QString &client, const QString &security, bool allLimits)
{
    DataSet &q = m_data.qLimits;
    q.Close();
    std::optional<int> groupKey;
    bool isNumber = false;
    const int key = group.trimmed().toInt(&isNumber);
    if (isNumber)
        groupKey = key;
    const AccountMode mode = m_settings.accountMode();
    const QVector<TQuikTerminal> terminals = mode == AccountMode::Multi ? ReadTerminals(m_data.tQuik) : QVector<TQuikTerminal>();
    q.setSQL(BuildLimitsQuery(allLimits, groupKey, client.trimmed(), security.trimmed(), mode, terminals));
    q.Open();
}

void Robot::ReopenSecCodeList()
{
    m_data.qSecCodeList.Close();
    m_data.qSecCodeList.Open();
}

void Robot::RefreshPortfolios()
{
    RefreshQuery(m_data.qPortfolioAll);
    RefreshQuery(m_data.qPortfolioFutAll);
    UpdatePortfolioTotals();
}
