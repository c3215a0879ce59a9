#pragma once

#include <optional>

#include <QImage>
#include <QWidget>

#include "core/banner.h"

namespace cartscope::app {

// The 32x32 icon view. It holds the decoded picture and draws it unscaled, either opaque or
// transparent: transparent leaves undrawn every pixel whose colour equals the bottom-left
// pixel's, so the window background shows through.
class IconView final : public QWidget {
    Q_OBJECT
public:
    explicit IconView(QWidget* parent = nullptr);

    void setPicture(const core::IconPicture& picture);
    void clearPicture();
    bool hasPicture() const { return m_picture.has_value(); }
    const std::optional<core::IconPicture>& picture() const { return m_picture; }

    void setTransparent(bool transparent);
    bool isTransparent() const { return m_transparent; }

    // What the view draws: 32x32 ARGB, keyed pixels with alpha 0 when transparent; a null
    // image when there is no picture.
    QImage shownImage() const;

    QSize sizeHint() const override { return {32, 32}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<core::IconPicture> m_picture;
    bool m_transparent = false;
};

} // namespace cartscope::app
