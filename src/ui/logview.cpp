#include "logview.h"

#include "config/operationlog.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace {
// More matches than this are not marked (the search still finds them).
constexpr int MaxMarked = 2000;
} // namespace

LogView::LogView(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("logView"));
    m_memo = new QPlainTextEdit(this);
    m_memo->setObjectName(QStringLiteral("mLog"));
    m_memo->setReadOnly(true);
    m_memo->setAccessibleName(QStringLiteral("Журнал"));
    m_memo->setMaximumBlockCount(OperationLog::MaxScreenLines);
    m_memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Long lines wrap, at a blank where there is one: no horizontal scroll
    // bar ever takes the view away from the newest line.
    m_memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_memo->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    m_memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    m_search = new QLineEdit(this);
    m_search->setObjectName(QStringLiteral("edtLogSearch"));
    m_search->setPlaceholderText(QStringLiteral("Поиск в журнале (Enter — следующее совпадение)"));
    m_search->setAccessibleName(QStringLiteral("Поиск в журнале"));
    m_search->setClearButtonEnabled(true);
    auto *next = new QToolButton(this);
    next->setObjectName(QStringLiteral("btnLogFindNext"));
    next->setText(QStringLiteral("Найти далее"));
    next->setToolTip(QStringLiteral("Следующее совпадение (F3)"));
    m_found = new QLabel(this);
    m_found->setObjectName(QStringLiteral("lblLogSearch"));
    m_found->setMinimumWidth(140);

    auto *bar = new QHBoxLayout;
    bar->setContentsMargins(0, 0, 0, 0);
    auto *label = new QLabel(QStringLiteral("Найти:"), this);
    label->setBuddy(m_search);
    bar->addWidget(label);
    bar->addWidget(m_search, 1);
    bar->addWidget(next);
    bar->addWidget(m_found);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(bar);
    layout->addWidget(m_memo, 1);

    // Ctrl+F goes to the search box, F3 to the next match, while the page
    // has the focus.
    auto *focusSearch = new QAction(this);
    focusSearch->setObjectName(QStringLiteral("actLogSearch"));
    focusSearch->setShortcut(QKeySequence::Find);
    focusSearch->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(focusSearch, &QAction::triggered, this, [this] {
        m_search->setFocus();
        m_search->selectAll();
    });
    addAction(focusSearch);
    auto *findNextAction = new QAction(this);
    findNextAction->setObjectName(QStringLiteral("actLogFindNext"));
    findNextAction->setShortcut(QKeySequence::FindNext);
    findNextAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(findNextAction, &QAction::triggered, this, &LogView::findNext);
    addAction(findNextAction);

    connect(m_search, &QLineEdit::returnPressed, this, &LogView::findNext);
    connect(next, &QToolButton::clicked, this, &LogView::findNext);
    // Typing searches as it goes: from where the last match began.
    connect(m_search, &QLineEdit::textEdited, this, [this] {
        QTextCursor c = m_memo->textCursor();
        c.setPosition(c.selectionStart());
        m_memo->setTextCursor(c);
        findNext();
    });
    connect(m_search, &QLineEdit::textChanged, this, [this](const QString &text) {
        if (text.isEmpty())
            markMatches();
    });

    // The view follows the end for as long as the operator leaves it there.
    QScrollBar *v = m_memo->verticalScrollBar();
    connect(v, &QScrollBar::valueChanged, this, &LogView::scrolled);
    connect(v, &QScrollBar::rangeChanged, this, [this, v] {
        if (m_follow)
            v->setValue(v->maximum());
    });
    // New lines are marked too, a moment after they come.
    m_remark = new QTimer(this);
    m_remark->setSingleShot(true);
    m_remark->setInterval(300);
    connect(m_remark, &QTimer::timeout, this, &LogView::markMatches);
}

void LogView::scrolled()
{
    if (m_appending)
        return;
    QScrollBar *v = m_memo->verticalScrollBar();
    m_follow = v->value() >= v->maximum();
}

void LogView::appendLine(const QString &line)
{
    QScrollBar *v = m_memo->verticalScrollBar();
    const int kept = v->value();
    {
        m_appending = true;
        m_memo->appendPlainText(line);
        m_appending = false;
    }
    // The operator who scrolled up stays there (the oldest lines going away
    // at the top aside); otherwise the newest line shows.
    v->setValue(m_follow ? v->maximum() : std::min(kept, v->maximum()));
    if (!m_search->text().isEmpty() && !m_remark->isActive())
        m_remark->start();
}

void LogView::markMatches()
{
    QList<QTextEdit::ExtraSelection> marks;
    const QString text = m_search->text();
    m_matches = 0;
    if (!text.isEmpty()) {
        QTextDocument *doc = m_memo->document();
        QTextCharFormat look;
        look.setBackground(QColor(255, 230, 120));
        for (QTextCursor c = doc->find(text); !c.isNull(); c = doc->find(text, c)) {
            ++m_matches;
            if (marks.size() < MaxMarked)
                marks.append({c, look});
        }
    }
    m_memo->setExtraSelections(marks);
    if (text.isEmpty())
        m_found->clear();
    else if (m_matches == 0)
        m_found->setText(QStringLiteral("не найдено"));
    else
        m_found->setText(QStringLiteral("совпадений: ") + QString::number(m_matches));
}

bool LogView::findNext()
{
    markMatches();
    const QString text = m_search->text();
    if (text.isEmpty() || m_matches == 0)
        return false;
    QTextDocument *doc = m_memo->document();
    QTextCursor at = doc->find(text, m_memo->textCursor());
    if (at.isNull())
        at = doc->find(text, 0);
    if (at.isNull())
        return false;
    m_memo->setTextCursor(at);
    m_memo->centerCursor();
    // Looking at a match is looking back: the view stays on it.
    QScrollBar *v = m_memo->verticalScrollBar();
    m_follow = v->value() >= v->maximum();
    return true;
}
