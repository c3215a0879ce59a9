#include "app/design_layout.h"

#include <algorithm>
#include <cmath>

#include <QFontMetrics>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTabWidget>

namespace cartscope::app {

void DesignLayout::place(QWidget* widget, int x, int y, int width, int height)
{
    m_places.push_back({widget, QRect(x, y, width, height)});
}

void DesignLayout::requireSize(QWidget* widget, QSize needed)
{
    m_needs.push_back({widget, needed, false, 0});
}

void DesignLayout::requireHint(QWidget* widget)
{
    requireSize(widget, widget->sizeHint());
}

void DesignLayout::requireText(QWidget* widget, const QString& sample)
{
    // The width a line edit needs for the sample: text advance plus the frame and the text
    // margins the style adds, computed the way QLineEdit computes its own hint.
    const QFontMetrics fm(widget->font());
    QStyleOptionFrame option;
    option.initFrom(widget);
    option.lineWidth = widget->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, widget);
    const int textWidth = fm.horizontalAdvance(sample) + 2 * 2 /* QLineEdit's horizontal margin */
                          + 2 /* cursor */;
    const QSize contents(textWidth, fm.height() + 2);
    const QSize needed =
        widget->style()->sizeFromContents(QStyle::CT_LineEdit, &option, contents, widget);
    requireSize(widget, needed);
}

void DesignLayout::requireTitleRoom(QWidget* groupBox, int gridTop)
{
    const QFontMetrics fm(groupBox->font());
    m_needs.push_back({groupBox, QSize(0, fm.height() + 2), true, gridTop});
}

const DesignLayout::Placement* DesignLayout::find(const QWidget* widget) const
{
    for (const Placement& p : m_places) {
        if (p.widget == widget)
            return &p;
    }
    return nullptr;
}

void DesignLayout::apply()
{
    m_sx = 1.0;
    m_sy = 1.0;
    for (const Need& need : m_needs) {
        const Placement* p = find(need.widget);
        if (!p)
            continue;
        if (need.titleOnly) {
            if (need.gridTop > 0)
                m_sy = std::max(m_sy, double(need.needed.height()) / need.gridTop);
            continue;
        }
        if (p->grid.width() > 0)
            m_sx = std::max(m_sx, double(need.needed.width()) / p->grid.width());
        if (p->grid.height() > 0)
            m_sy = std::max(m_sy, double(need.needed.height()) / p->grid.height());
    }
    for (const Placement& p : m_places) {
        if (p.widget)
            p.widget->setGeometry(map(p.grid.x(), p.grid.y(), p.grid.width(), p.grid.height()));
    }
}

int DesignLayout::x(int gridX) const
{
    return static_cast<int>(std::lround(gridX * m_sx));
}

int DesignLayout::y(int gridY) const
{
    return static_cast<int>(std::lround(gridY * m_sy));
}

QRect DesignLayout::map(int gx, int gy, int width, int height) const
{
    // Both edges are scaled, so controls that touch on the grid still touch.
    const int left = x(gx);
    const int top = y(gy);
    return {left, top, x(gx + width) - left, y(gy + height) - top};
}

void fitTabPages(QTabWidget* tabs, const DesignLayout& grid, int marginX, int marginY)
{
    for (int i = 0; i < tabs->count(); ++i) {
        QWidget* pageWidget = tabs->widget(i);
        QRect extent;
        for (QWidget* child : pageWidget->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            extent |= child->geometry();
        pageWidget->setMinimumSize(extent.right() + 1 + grid.x(marginX),
                                   extent.bottom() + 1 + grid.y(marginY));
    }
    const QSize needed = tabs->minimumSizeHint().expandedTo(tabs->size());
    tabs->resize(needed);
}

} // namespace cartscope::app
