#pragma once

#include <optional>
#include <vector>

#include <QImage>
#include <QTimer>
#include <QWidget>

#include "core/banner/banner.h"
#include "core/banner/banner_info.h"

namespace cartscope::app {

// The 32x32 icon view. It holds the decoded picture and draws it unscaled, either opaque or
// transparent: transparent leaves undrawn every pixel whose colour equals the bottom-left
// pixel's, so the window background shows through.
class IconView final : public QWidget {
    Q_OBJECT
public:
    explicit IconView(QWidget* parent = nullptr);

    void setPicture(const core::IconPicture& picture);
    // Removes the picture and the animation.
    void clearPicture();

    // The animated icon's frames (none for a still icon). While animating, the view shows the
    // current frame and moves on after its duration; its index-0 pixels are left undrawn when
    // the view is transparent.
    void setAnimation(std::vector<core::AnimationFrame> frames);
    const std::vector<core::AnimationFrame>& animation() const { return m_frames; }
    bool hasAnimation() const { return !m_frames.empty(); }
    void setAnimating(bool on);
    bool isAnimating() const { return m_animating; }
    std::size_t currentFrame() const { return m_frame; }
    // Shows the next frame at once (the timer calls this; tests step with it).
    void advanceFrame();
    bool hasPicture() const { return m_picture.has_value(); }
    const std::optional<core::IconPicture>& picture() const { return m_picture; }

    void setTransparent(bool transparent);
    bool isTransparent() const { return m_transparent; }

    // What the view draws: 32x32 ARGB, keyed pixels with alpha 0 when transparent (while
    // animating: the current frame, its index-0 pixels with alpha 0 when transparent); a null
    // image when there is no picture.
    QImage shownImage() const;

    QSize sizeHint() const override { return {32, 32}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void scheduleNextFrame();

    std::optional<core::IconPicture> m_picture;
    bool m_transparent = false;
    std::vector<core::AnimationFrame> m_frames;
    bool m_animating = false;
    std::size_t m_frame = 0;
    QTimer m_timer;
};

} // namespace cartscope::app
