#include "app/eliding.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QToolTip>

namespace cartscope::app {

namespace {

// QLineEdit keeps this much room between its contents rectangle and the text.
constexpr int kLineEditHorizontalMargin = 2;
constexpr int kLineEditVerticalMargin = 1;

} // namespace

QString plainToolTip(const QString& text)
{
    // Rich text whose only content is the escaped text: shown exactly, never interpreted, and
    // not wrapped (a path reads as one line).
    return QStringLiteral("<p style='white-space:pre'>") + text.toHtmlEscaped() +
           QStringLiteral("</p>");
}

void ElidingLineEdit::setElideMode(Qt::TextElideMode mode)
{
    m_mode = mode;
    update();
}

QRect ElidingLineEdit::textRect() const
{
    QStyleOptionFrame option;
    initStyleOption(&option);
    return style()
        ->subElementRect(QStyle::SE_LineEditContents, &option, this)
        .marginsRemoved(textMargins())
        .adjusted(kLineEditHorizontalMargin, kLineEditVerticalMargin, -kLineEditHorizontalMargin,
                  -kLineEditVerticalMargin);
}

bool ElidingLineEdit::isClipped() const
{
    return fontMetrics().horizontalAdvance(text()) > textRect().width();
}

QString ElidingLineEdit::shownText() const
{
    if (!isClipped())
        return text();
    return fontMetrics().elidedText(text(), m_mode, textRect().width());
}

void ElidingLineEdit::paintEvent(QPaintEvent* event)
{
    // With the focus the field behaves as usual: the caret, selection and scrolling need the
    // whole text.
    if (hasFocus() || echoMode() != Normal || !isClipped()) {
        QLineEdit::paintEvent(event);
        return;
    }
    QPainter painter(this);
    QStyleOptionFrame option;
    initStyleOption(&option);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &painter, this);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    painter.drawText(textRect(), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                     shownText());
}

bool ElidingLineEdit::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip && isClipped()) {
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), plainToolTip(text()),
                           this);
        return true;
    }
    return QLineEdit::event(event);
}

QRect ElidingLabel::textRect() const
{
    const int m = margin();
    return contentsRect().adjusted(m, m, -m, -m);
}

bool ElidingLabel::isClipped() const
{
    return fontMetrics().horizontalAdvance(text()) > textRect().width();
}

QString ElidingLabel::shownText() const
{
    if (!isClipped())
        return text();
    return fontMetrics().elidedText(text(), Qt::ElideMiddle, textRect().width());
}

void ElidingLabel::paintEvent(QPaintEvent* event)
{
    if (!isClipped()) {
        QLabel::paintEvent(event);
        return;
    }
    QFrame::paintEvent(event); // the frame only
    QPainter painter(this);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, foregroundRole()));
    painter.drawText(textRect(), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                     shownText());
}

bool ElidingLabel::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip && isClipped()) {
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), plainToolTip(text()),
                           this);
        return true;
    }
    return QLabel::event(event);
}

} // namespace cartscope::app
