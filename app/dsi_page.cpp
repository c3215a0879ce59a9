// The "DSi" page: the DSi header fields and every banner CRC-16 with its verdict.

#include "app/dsi_page.h"

#include <QHeaderView>
#include <QTreeWidget>

#include "app/design_layout.h"
#include "app/polish.h"
#include "app/qt_text.h"

namespace cartscope::app {

namespace {

// Dark red and green on a light base; on a dark one, lightened until they read as well.
QColor verdictColour(core::InfoRow::Verdict verdict, const QColor& base)
{
    return readableOn(
        verdict == core::InfoRow::Verdict::Bad ? QColor(192, 0, 0) : QColor(0, 128, 0), base);
}

// Tabs, line feeds and the like stay visible as text in a one-line cell; every other
// character, invisible ones included, is shown as it is (the cell never reads markup).
QString cellText(const std::string& utf8)
{
    QString text = fromCoreText(utf8);
    text.replace(QLatin1Char('\n'), QChar(0x21B5));
    return text;
}

} // namespace

DsiPage::DsiPage(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("DsiTabSheet"));
    DsiInfoView = new QTreeWidget(this);
    DsiInfoView->setObjectName(QStringLiteral("DsiInfoView"));

    DsiInfoView->setColumnCount(2);
    DsiInfoView->setHeaderLabels({QStringLiteral("Field"), QStringLiteral("Value")});
    DsiInfoView->setRootIsDecorated(true);
    DsiInfoView->setUniformRowHeights(true);
    DsiInfoView->setSelectionMode(QAbstractItemView::SingleSelection);
    DsiInfoView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DsiInfoView->header()->setStretchLastSection(true);
}

void DsiPage::place(DesignLayout& grid)
{
    grid.place(DsiInfoView, 8, 8, 417, 409);
}

void DsiPage::clear()
{
    DsiInfoView->clear();
}

void DsiPage::show(const core::BannerInfo& banner, const core::DsiInfo& dsi)
{
    DsiInfoView->clear();
    const QColor base = DsiInfoView->palette().color(QPalette::Base);
    QTreeWidgetItem* group = nullptr;
    for (const core::InfoRow& row : core::dsiPageRows(banner, dsi)) {
        if (!group || group->text(0) != fromCoreText(row.group)) {
            group = new QTreeWidgetItem(DsiInfoView, {fromCoreText(row.group)});
            group->setFirstColumnSpanned(true);
        }
        auto* item = new QTreeWidgetItem(group, {cellText(row.field), cellText(row.value)});
        if (row.verdict != core::InfoRow::Verdict::None)
            item->setForeground(1, verdictColour(row.verdict, base));
    }
    DsiInfoView->expandAll();
    DsiInfoView->resizeColumnToContents(0);
}

} // namespace cartscope::app
