#pragma once

#include <QColor>
#include <QLineEdit>
#include <QPalette>
#include <QString>
#include <QWidget>

#include "app/eliding.h"

namespace cartscope::app {

// Gives a control its name, by which the layout table and the tests find it.
template <class T> T* named(T* widget, const char* name)
{
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

// A value field: read-only, and eliding what does not fit.
inline QLineEdit* readOnlyEdit(QWidget* parent, const char* name)
{
    auto* edit = named(new ElidingLineEdit(parent), name);
    edit->setReadOnly(true);
    return edit;
}

// The colour an edit draws behind its text.
inline void setBackground(QWidget* widget, const QColor& colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Base, colour);
    widget->setPalette(palette);
}

} // namespace cartscope::app
