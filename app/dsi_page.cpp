// The DSi-era additions of the window, beside the controls of the original design: the
// Chinese and Korean title tabs, the "Animate" check box of the icon view and the "DSi" page
// with the DSi header fields and every banner CRC-16 with its verdict.

#include <QCheckBox>
#include <QHeaderView>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>

#include "app/design_layout.h"
#include "app/icon_view.h"
#include "app/main_window.h"
#include "app/polish.h"
#include "app/qt_text.h"
#include "core/text.h"

namespace cartscope::app {

namespace {

constexpr std::size_t kOriginalTitleCount = 6;

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

void TForm1::createDsiControls()
{
    for (std::size_t i = kOriginalTitleCount; i < core::kAllTitleLanguages.size(); ++i) {
        auto* sheet = new QWidget;
        sheet->setObjectName(QStringLiteral("%1TabSheet").arg(core::kAllTitleLanguages[i]));
        auto* view = new QTextEdit(sheet);
        view->setObjectName(QStringLiteral("Lang%1TntRichEdit").arg(i + 1));
        m_extraTitleEdits.push_back(view);
        LangPageControl->addTab(sheet, QString::fromLatin1(core::kAllTitleLanguages[i]));
    }

    IconAnimateCheckBox = new QCheckBox(QStringLiteral("Animate"), RomInfoTabSheet);
    IconAnimateCheckBox->setObjectName(QStringLiteral("IconAnimateCheckBox"));

    DsiTabSheet = new QWidget;
    DsiTabSheet->setObjectName(QStringLiteral("DsiTabSheet"));
    DsiInfoView = new QTreeWidget(DsiTabSheet);
    DsiInfoView->setObjectName(QStringLiteral("DsiInfoView"));
    PageControl->addTab(DsiTabSheet, QStringLiteral("DSi"));
}

void TForm1::connectDsiControls()
{
    connect(IconAnimateCheckBox, &QCheckBox::toggled, this, &TForm1::IconAnimateCheckBoxClick);
}

void TForm1::populateDsiControls()
{
    const QColor face = palette().color(QPalette::Button);
    for (QTextEdit* view : m_extraTitleEdits) {
        view->setReadOnly(true);
        view->setAcceptRichText(false);
        view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        view->setLineWrapMode(QTextEdit::WidgetWidth);
        QPalette p = view->palette();
        p.setColor(QPalette::Base, face);
        view->setPalette(p);
    }
    IconAnimateCheckBox->setChecked(false);
    IconAnimateCheckBox->setEnabled(false);

    DsiInfoView->setColumnCount(2);
    DsiInfoView->setHeaderLabels({QStringLiteral("Field"), QStringLiteral("Value")});
    DsiInfoView->setRootIsDecorated(true);
    DsiInfoView->setUniformRowHeights(true);
    DsiInfoView->setSelectionMode(QAbstractItemView::SingleSelection);
    DsiInfoView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DsiInfoView->header()->setStretchLastSection(true);
}

void TForm1::layoutDsiControls(DesignLayout& grid)
{
    // Under the icon, the one free room beside "Show Icon Transparency". The design leaves 16
    // rows there; the box takes the 17 of its neighbour (reaching one row into the top edge of
    // the language tabs) so it never makes the whole window taller.
    grid.place(IconAnimateCheckBox, 370, 296, 55, 17);
    grid.requireHint(IconAnimateCheckBox);
    for (QTextEdit* view : m_extraTitleEdits)
        grid.place(view, 8, 4, 377, 65);
    grid.place(DsiInfoView, 8, 8, 417, 409);
}

void TForm1::clearDsiInfo()
{
    for (QTextEdit* view : m_extraTitleEdits)
        view->clear();
    // The checked state stays, as the transparency box's does.
    IconAnimateCheckBox->setEnabled(false);
    DsiInfoView->clear();
}

void TForm1::PopulateDsiInfo(const core::BannerInfo& banner)
{
    const core::DsiInfo& dsi = m_header.dsi;

    for (std::size_t i = 0; i < m_extraTitleEdits.size(); ++i)
        m_extraTitleEdits[i]->setPlainText(QString::fromStdU16String(
            core::markInvisible(banner.titles[kOriginalTitleCount + i]))); // as the six

    IconImage->setAnimation(banner.animated ? core::decodeAnimation(banner.animation)
                                            : std::vector<core::AnimationFrame>{});
    IconAnimateCheckBox->setChecked(banner.animated);
    IconAnimateCheckBox->setEnabled(banner.animated);
    IconImage->setAnimating(banner.animated);

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

void TForm1::IconAnimateCheckBoxClick()
{
    IconImage->setAnimating(IconAnimateCheckBox->isChecked() && IconAnimateCheckBox->isEnabled());
}

} // namespace cartscope::app
