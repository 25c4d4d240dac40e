#include "helpwindow.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

HelpWindow::HelpWindow(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("fmHelp"));
    setWindowTitle(QStringLiteral("Справка Korvina"));
    resize(860, 640);
    m_browser = new QTextBrowser(this);
    m_browser->setObjectName(QStringLiteral("browser"));
    m_browser->setAccessibleName(QStringLiteral("Справка"));
    m_browser->setSearchPaths({QStringLiteral(":/help")});
    m_browser->setOpenExternalLinks(true);
    auto *contents = new QPushButton(QStringLiteral("Содержание"), this);
    contents->setObjectName(QStringLiteral("btnContents"));
    auto *back = new QPushButton(QStringLiteral("Назад"), this);
    back->setObjectName(QStringLiteral("btnBack"));
    connect(contents, &QPushButton::clicked, this, [this] { showTopic(QStringLiteral("index")); });
    connect(back, &QPushButton::clicked, m_browser, &QTextBrowser::backward);
    connect(m_browser, &QTextBrowser::backwardAvailable, back, &QPushButton::setEnabled);
    back->setEnabled(false);
    auto *bar = new QHBoxLayout;
    bar->addWidget(contents);
    bar->addWidget(back);
    bar->addStretch();
    auto *all = new QVBoxLayout(this);
    all->addLayout(bar);
    all->addWidget(m_browser);
}

void HelpWindow::showTopic(const QString &topic)
{
    m_browser->setSource(QUrl(QStringLiteral("qrc:/help/") + topic + QStringLiteral(".html")));
    show();
    raise();
    activateWindow();
}

QString HelpWindow::topic() const
{
    QString name = m_browser->source().fileName();
    if (name.endsWith(QLatin1String(".html")))
        name.chop(5);
    return name;
}
