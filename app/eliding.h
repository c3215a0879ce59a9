#pragma once

#include <QLabel>
#include <QLineEdit>

namespace cartscope::app {

// A tool tip that shows `text` as it is: tool tips guess between plain text and markup, and a
// name from an image such as <img src="/dev/zero"> must never be taken for markup.
QString plainToolTip(const QString& text);

// A single-line edit that, when its text does not fit and it does not have the focus, draws the
// text cut with "…" and shows the whole text as a tool tip. Display only: text() is always the
// whole value, so everything that reads the field (the report, the extraction folder's name)
// gets the loaded value, never the shown one.
class ElidingLineEdit final : public QLineEdit {
    Q_OBJECT
public:
    explicit ElidingLineEdit(QWidget* parent = nullptr) : QLineEdit(parent) {}

    // Where the cut goes: the end for values, the middle for paths (the file name stays).
    void setElideMode(Qt::TextElideMode mode);
    Qt::TextElideMode elideMode() const { return m_mode; }

    bool isClipped() const;
    // The text as drawn while the field does not have the focus.
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    QRect textRect() const;
    Qt::TextElideMode m_mode = Qt::ElideRight;
};

// A label of one line that draws a text too long for it cut in the middle with "…" and shows
// the whole text as a tool tip; text() is the whole text.
class ElidingLabel final : public QLabel {
    Q_OBJECT
public:
    explicit ElidingLabel(QWidget* parent = nullptr) : QLabel(parent) {}

    bool isClipped() const;
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    QRect textRect() const;
};

} // namespace cartscope::app
