#pragma once

#include <QWidget>

#include "core/banner/banner_info.h"
#include "core/dsi_rows.h"

class QTreeWidget;

namespace cartscope::app {

class DesignLayout;

// The "DSi" page: the DSi header fields and every banner CRC-16 with its verdict, as rows
// grouped under their headings.
class DsiPage final : public QWidget {
    Q_OBJECT
public:
    explicit DsiPage(QWidget* parent = nullptr);

    // Shows the rows of this banner and DSi header.
    void show(const core::BannerInfo& banner, const core::DsiInfo& dsi);
    void clear();

    // The grid rectangles of the page's controls, in the window's design units.
    void place(DesignLayout& grid);

private:
    QTreeWidget* DsiInfoView = nullptr;
};

} // namespace cartscope::app
