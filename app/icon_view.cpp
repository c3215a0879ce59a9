#include "app/icon_view.h"

#include <algorithm>

#include <QPainter>

namespace cartscope::app {

IconView::IconView(QWidget* parent) : QWidget(parent)
{
    setFixedSize(32, 32);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &IconView::advanceFrame);
}

void IconView::setPicture(const core::IconPicture& picture)
{
    m_picture = picture;
    update();
}

void IconView::clearPicture()
{
    m_picture.reset();
    setAnimation({});
    update();
}

void IconView::setAnimation(std::vector<core::AnimationFrame> frames)
{
    m_timer.stop();
    m_frames = std::move(frames);
    m_frame = 0;
    m_animating = m_animating && !m_frames.empty();
    scheduleNextFrame();
    update();
}

void IconView::setAnimating(bool on)
{
    on = on && !m_frames.empty();
    if (on == m_animating)
        return;
    m_animating = on;
    m_timer.stop();
    m_frame = 0;
    scheduleNextFrame();
    update();
}

void IconView::advanceFrame()
{
    if (m_frames.empty())
        return;
    m_frame = (m_frame + 1) % m_frames.size();
    scheduleNextFrame();
    update();
}

void IconView::scheduleNextFrame()
{
    if (!m_animating || m_frames.empty())
        return;
    // A tick is 1/60 s; every frame lasts at least one.
    const int ticks = std::max(m_frames[m_frame].ticks, 1);
    m_timer.start(ticks * 1000 / 60);
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
    if (m_animating && m_frame < m_frames.size()) {
        const core::AnimationFrame& frame = m_frames[m_frame];
        for (int y = 0; y < 32; ++y) {
            for (int x = 0; x < 32; ++x) {
                const core::Rgb c = frame.picture.at(x, y);
                const int alpha = (m_transparent && frame.isClear(x, y)) ? 0 : 255;
                image.setPixel(x, y, qRgba(c.r, c.g, c.b, alpha));
            }
        }
        return image;
    }
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
