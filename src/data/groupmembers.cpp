#include "groupmembers.h"

#include "database.h"
#include "dataset.h"

bool tGroupClientsBeforePost(DataSet &row)
{
    const QVariant client = row.FieldByName(QStringLiteral("id_client"));
    if (client.isNull() || client.toString().trimmed().isEmpty()) {
        row.setLastError(QStringLiteral("Не выбран клиент: выберите код клиента из списка."));
        return false;
    }
    const Database::Rows found =
        row.connection()->fetch(QStringLiteral("SELECT id FROM tClients WHERE id = :id"), {{QStringLiteral("id"), client}});
    if (found.rows.isEmpty()) {
        row.setLastError(QStringLiteral("Клиента с номером %1 нет в списке клиентов: выберите код клиента из списка.")
                             .arg(client.toString()));
        return false;
    }
    return true;
}
