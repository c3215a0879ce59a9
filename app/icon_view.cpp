#include "app/icon_view.h"

#include <QPainter>

namespace cartscope::app {

IconView::IconView(QWidget* parent) : QWidget(parent)
{
    setFixedSize(32, 32);
}

void IconView::setPicture(const core::IconPicture& picture)
{
    m_picture = picture;
    update();
}

void IconView::clearPicture()
{
    m_picture.reset();
    update();
}

void IconView::setTransparent(bool transparent)
{
    if (m_transparent == transparent)
        return;
    m_transparent = transparent;
    update();
}

QImage IconView::shownImage() const
{
    if (!m_picture)
        return {};
    QImage image(32, 32, QImage::Format_ARGB32);
    const core::Rgb key = m_picture->transparentKey();
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            const core::Rgb c = m_picture->at(x, y);
            const int alpha = (m_transparent && c == key) ? 0 : 255;
            image.setPixel(x, y, qRgba(c.r, c.g, c.b, alpha));
        }
    }
    return image;
}

void IconView::paintEvent(QPaintEvent*)
{
    if (!m_picture)
        return;
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), shownImage());
}

} // namespace cartscope::app
