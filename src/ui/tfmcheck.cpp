#include "tfmcheck.h"

#include "engine/connectioncheck.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

QString statusText(ConnectionCheck::Status s)
{
    switch (s) {
    case ConnectionCheck::Status::Ok:
        return QStringLiteral("OK");
    case ConnectionCheck::Status::Problem:
        return QStringLiteral("ОШИБКА");
    case ConnectionCheck::Status::Unknown:
        break;
    }
    return QStringLiteral("НЕТ ДАННЫХ");
}

QColor statusColor(ConnectionCheck::Status s)
{
    switch (s) {
    case ConnectionCheck::Status::Ok:
        return QColor(0, 110, 0);
    case ConnectionCheck::Status::Problem:
        return QColor(190, 0, 0);
    case ConnectionCheck::Status::Unknown:
        break;
    }
    return QColor(140, 100, 0);
}

} // namespace

TfmCheck::TfmCheck(Settings &settings, QWidget *parent) : QDialog(parent), m_settings(settings)
{
    setObjectName(QStringLiteral("fmCheckConnection"));
    setWindowTitle(QStringLiteral("Проверка подключения"));
    resize(960, 420);

    m_summary = new QLabel(this);
    m_summary->setObjectName(QStringLiteral("lblCheckSummary"));
    m_summary->setWordWrap(true);

    m_lines = new QTableWidget(0, 3, this);
    m_lines->setObjectName(QStringLiteral("tblCheckLines"));
    m_lines->setHorizontalHeaderLabels({QStringLiteral("Результат"), QStringLiteral("Проверка"), QStringLiteral("Что найдено и что сделать")});
    m_lines->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_lines->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_lines->setWordWrap(true);
    m_lines->verticalHeader()->hide();
    m_lines->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_lines->horizontalHeader()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    m_lines->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
    m_lines->setAccessibleName(QStringLiteral("Результаты проверки подключения"));

    auto *buttons = new QDialogButtonBox(this);
    m_again = buttons->addButton(QStringLiteral("Проверить снова"), QDialogButtonBox::ActionRole);
    m_again->setObjectName(QStringLiteral("btnCheckAgain"));
    QPushButton *ok = buttons->addButton(QDialogButtonBox::Ok);
    ok->setObjectName(QStringLiteral("btnCheckOk"));
    ok->setDefault(true);
    connect(m_again, &QPushButton::clicked, this, &TfmCheck::runCheck);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_summary);
    layout->addWidget(m_lines, 1);
    layout->addWidget(buttons);
}

void TfmCheck::runCheck()
{
    if (m_running)
        return;
    m_running = true;
    m_again->setEnabled(false);
    m_summary->setText(QStringLiteral("Идет проверка: базы данных, папка транзакций, терминал, котировки и лимиты, фильтры, клиенты, "
                                      "почта..."));
    ConnectionCheck(m_settings).runInBackground(this, [this](const QList<ConnectionCheck::Line> &lines) {
        m_lines->setRowCount(0);
        int problems = 0, unknown = 0;
        for (const ConnectionCheck::Line &line : lines) {
            const int row = m_lines->rowCount();
            m_lines->insertRow(row);
            auto *status = new QTableWidgetItem(statusText(line.status));
            status->setForeground(statusColor(line.status));
            QFont bold = status->font();
            bold.setBold(true);
            status->setFont(bold);
            status->setToolTip(ConnectionCheck::lineText(line));
            m_lines->setItem(row, 0, status);
            m_lines->setItem(row, 1, new QTableWidgetItem(line.title));
            auto *text = new QTableWidgetItem(line.text);
            text->setToolTip(line.text);
            m_lines->setItem(row, 2, text);
            problems += line.status == ConnectionCheck::Status::Problem ? 1 : 0;
            unknown += line.status == ConnectionCheck::Status::Unknown ? 1 : 0;
        }
        m_lines->resizeRowsToContents();
        QString summary = problems == 0 ? QStringLiteral("Исправлять нечего.")
                                        : QStringLiteral("Исправьте отмеченное как ОШИБКА (") + QString::number(problems)
                                              + QStringLiteral(") и проверьте снова.");
        if (unknown > 0)
            summary += QStringLiteral(" Строки «НЕТ ДАННЫХ» отсюда не проверить: проверьте их сами, как сказано в строке.");
        m_summary->setText(summary);
        m_running = false;
        m_again->setEnabled(true);
        emit checked();
    });
}

void TfmCheck::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    // Wrapped texts take the height the new width gives them.
    m_lines->resizeRowsToContents();
}
