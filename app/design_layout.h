#pragma once

#include <vector>

#include <QPointer>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>

class QTabWidget;

namespace cartscope::app {

// The windows are drawn on a 96-dpi grid made for an 8-point sans-serif font (character
// height 11 pixels). Every control keeps its grid rectangle, and each axis is stretched by the
// smallest factor (never below 1) that lets every caption and typical value fit in the font
// actually running, so nothing is clipped at any dpi while the arrangement stays the same.
class DesignLayout {
public:
    // Records the grid rectangle of a control, relative to its parent.
    void place(QWidget* widget, int x, int y, int width, int height);
    // The control needs at least this size in its grid rectangle (a caption's size hint).
    void requireSize(QWidget* widget, QSize needed);
    // A caption-bearing control (label, button, radio, check box, tab bar): its size hint.
    void requireHint(QWidget* widget);
    // A single-line edit must show `sample` whole.
    void requireText(QWidget* widget, const QString& sample);
    // A group box's first control lies at gridTop; its title must fit above it.
    void requireTitleRoom(QWidget* groupBox, int gridTop);

    // Computes the two factors and sets every recorded geometry.
    void apply();

    double scaleX() const { return m_sx; }
    double scaleY() const { return m_sy; }
    int x(int gridX) const;
    int y(int gridY) const;
    QRect map(int x, int y, int width, int height) const;

private:
    struct Placement {
        QPointer<QWidget> widget;
        QRect grid;
    };
    struct Need {
        QPointer<QWidget> widget;
        QSize needed;
        bool titleOnly = false;
        int gridTop = 0;
    };
    const Placement* find(const QWidget* widget) const;

    std::vector<Placement> m_places;
    std::vector<Need> m_needs;
    double m_sx = 1.0;
    double m_sy = 1.0;
};

// A tab control's pages start below its tab row, whose height follows the font: the tab control
// grows until each of its pages holds its controls with the grid's margins around them.
void fitTabPages(QTabWidget* tabs, const DesignLayout& grid, int marginX, int marginY);

} // namespace cartscope::app
