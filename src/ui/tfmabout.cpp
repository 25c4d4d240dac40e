#include "tfmabout.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPushButton>
#include <QPainter>
#include <QSvgRenderer>
#include <QUrl>
#include <QVBoxLayout>
#include <QVersionNumber>

LinkLabel::LinkLabel(const QString &text, const QString &target, QWidget *parent) : QLabel(text, parent), m_target(target)
{
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    paintAs(false);
}

void LinkLabel::setTarget(const QString &text, const QString &target)
{
    setText(text);
    m_target = target;
}

void LinkLabel::paintAs(bool hovered)
{
    m_hovered = hovered;
    QPalette p = palette();
    p.setColor(QPalette::WindowText, hovered ? QColor(Qt::blue) : QColor(0, 0, 128)); // navy
    setPalette(p);
    setCursor(hovered ? Qt::PointingHandCursor : Qt::ArrowCursor);
}

void LinkLabel::enterEvent(QEnterEvent *event)
{
    paintAs(true);
    QLabel::enterEvent(event);
}

void LinkLabel::leaveEvent(QEvent *event)
{
    paintAs(false);
    QLabel::leaveEvent(event);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        emit opened(m_target);
        QDesktopServices::openUrl(QUrl(m_target));
    }
    QLabel::mouseReleaseEvent(event);
}

TfmAbout::TfmAbout(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("fmAbout"));
    setWindowTitle(QStringLiteral("О программе"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(507, 248);

    auto *picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("Image1"));
    picture->setFixedSize(153, 206);
    {
        QSvgRenderer svg(QStringLiteral(":/icons/about-picture.svg"));
        const qreal ratio = devicePixelRatioF();
        QPixmap image(QSize(153, 206) * ratio);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::transparent);
        QPainter p(&image);
        svg.render(&p, QRectF(0, 0, 153, 206));
        p.end();
        picture->setPixmap(image);
    }

    auto *title = new QLabel(QStringLiteral("Korvina"), this);
    title->setObjectName(QStringLiteral("lblTitle"));
    QFont big = title->font();
    big.setPointSize(big.pointSize() * 2);
    big.setBold(true);
    title->setFont(big);
    auto *version = new QLabel(versionText(), this);
    version->setObjectName(QStringLiteral("lblVersion"));
    auto *about = new QLabel(QStringLiteral("Программа для автоматизации процесса торговли на фондовом рынке. Korvina позволяет создать "
                                            "торгового робота на основе программ Quik, SmartTrade и Omega Research."),
                             this);
    about->setObjectName(QStringLiteral("lblDescription"));
    about->setWordWrap(true);
    auto *sent = new QLabel(QStringLiteral("Отправленно транзакций:"), this);
    m_counters = new QLabel(QStringLiteral("0/0/0"), this);
    m_counters->setObjectName(QStringLiteral("pnlCounters"));
    m_counters->setFrameShape(QFrame::Panel);
    m_counters->setFrameShadow(QFrame::Sunken);
    m_counters->setMinimumWidth(120);
    // A screen reader reads the numbers themselves and what they count; the
    // label beside them is only their caption.
    m_counters->setAccessibleDescription(QStringLiteral("Номер следующей транзакции, число транзакций, переданных на сервер, "
                                                        "и число исполненных транзакций"));
    setCounters(m_counters->text());
    m_mail = new LinkLabel(QString(), QString(), this);
    m_mail->setObjectName(QStringLiteral("lblMail"));
    m_web = new LinkLabel(QString(), QString(), this);
    m_web->setObjectName(QStringLiteral("lblWeb"));
    setLinks(QString(), QString());
    auto *ok = new QPushButton(QStringLiteral("ОК"), this);
    ok->setObjectName(QStringLiteral("btnOk"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto *counters = new QHBoxLayout;
    counters->addWidget(sent);
    counters->addWidget(m_counters);
    counters->addStretch();
    auto *links = new QHBoxLayout;
    links->addWidget(m_mail);
    links->addSpacing(16);
    links->addWidget(m_web);
    links->addStretch();
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    auto *right = new QVBoxLayout;
    right->addWidget(title);
    right->addWidget(version);
    right->addWidget(about);
    right->addLayout(counters);
    right->addLayout(links);
    right->addStretch();
    right->addLayout(buttons);
    auto *all = new QHBoxLayout(this);
    all->addWidget(picture, 0, Qt::AlignTop);
    all->addLayout(right, 1);
}

void TfmAbout::setCounters(const QString &text)
{
    m_counters->setText(text);
    m_counters->setAccessibleName(QStringLiteral("Отправлено транзакций: ") + text);
}

QString TfmAbout::counters() const { return m_counters->text(); }

void TfmAbout::setLinks(const QString &mail, const QString &web)
{
    const QString m = mail.trimmed();
    const QString w = web.trimmed();
    // A mail address may be given with its "mailto:" or without; a web
    // address without its scheme is an https one.
    const QString mailAddress = m.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive) ? m.mid(7) : m;
    m_mail->setTarget(mailAddress, QStringLiteral("mailto:") + mailAddress);
    m_mail->setVisible(!mailAddress.isEmpty());
    m_web->setTarget(w, w.isEmpty() || w.contains(QLatin1String("://")) ? w : QStringLiteral("https://") + w);
    m_web->setVisible(!w.isEmpty());
}

QString TfmAbout::versionText()
{
    return QStringLiteral("Версия ") + QString::number(QVersionNumber::fromString(QStringLiteral(KORVINA_VERSION)).majorVersion());
}
