// Page "Rom Info", banner side: the icon with its transparency and animation, its export as
// PNG, and the titles in every language (the six of the original banner and, from later
// versions, Chinese and Korean).

#include <QCheckBox>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTextEdit>

#include "app/design_layout.h"
#include "app/icon_view.h"
#include "app/rom_info_page.h"
#include "app/widgets.h"
#include "core/banner/png.h"
#include "core/banner_fields.h"
#include "core/base/paths.h"
#include "core/base/text.h"

namespace cartscope::app {

namespace {

constexpr std::size_t kOriginalTitleCount = 6;

// Puts the check box back to a remembered state when the export ends, also when a write fails.
class CheckedStateRestorer {
public:
    explicit CheckedStateRestorer(QCheckBox* box) : m_box(box), m_checked(box->isChecked()) {}
    ~CheckedStateRestorer() { m_box->setChecked(m_checked); }
    CheckedStateRestorer(const CheckedStateRestorer&) = delete;
    CheckedStateRestorer& operator=(const CheckedStateRestorer&) = delete;

private:
    QCheckBox* m_box;
    bool m_checked;
};

} // namespace

void RomInfoPage::createBannerControls()
{
    SaveIconButton =
        named(new QPushButton(QStringLiteral("Save Icon As File"), this), "SaveIconButton");
    IconTransparencyCheckBox = named(new QCheckBox(QStringLiteral("Show Icon Transparency"), this),
                                     "IconTransparencyCheckBox");
    IconImage = named(new IconView(this), "IconImage");

    LangPageControl = named(new QTabWidget(this), "LangPageControl");
    for (std::size_t i = 0; i < core::kBannerTitleFields.size(); ++i) {
        const char* language = core::kBannerTitleFields[i].label;
        auto* sheet = new QWidget;
        sheet->setObjectName(QStringLiteral("%1TabSheet").arg(QLatin1String(language)));
        auto* view = new QTextEdit(sheet);
        view->setObjectName(QStringLiteral("Lang%1TntRichEdit").arg(i + 1));
        (i < kOriginalTitleCount ? LangTntRichEdits : m_extraTitleEdits).push_back(view);
        LangPageControl->addTab(sheet, QString::fromLatin1(language));
    }

    IconAnimateCheckBox =
        named(new QCheckBox(QStringLiteral("Animate"), this), "IconAnimateCheckBox");
}

void RomInfoPage::placeBannerControls(DesignLayout& grid)
{
    grid.place(SaveIconButton, 232, 256, 137, 25);
    grid.requireHint(SaveIconButton);
    grid.place(IconTransparencyCheckBox, 232, 288, 137, 17);
    grid.requireHint(IconTransparencyCheckBox);
    grid.place(IconImage, 384, 264, 32, 32);
    grid.place(LangPageControl, 16, 312, 401, 105);
    grid.requireHint(LangPageControl->tabBar());
    for (QTextEdit* view : LangTntRichEdits)
        grid.place(view, 8, 4, 377, 65);
    // Under the icon, the one free room beside "Show Icon Transparency". The design leaves 16
    // rows there; the box takes the 17 of its neighbour (reaching one row into the top edge of
    // the language tabs) so it never makes the whole window taller.
    grid.place(IconAnimateCheckBox, 370, 296, 55, 17);
    grid.requireHint(IconAnimateCheckBox);
    for (QTextEdit* view : m_extraTitleEdits)
        grid.place(view, 8, 4, 377, 65);
}

void RomInfoPage::fitTitleTabs(const DesignLayout& grid)
{
    fitTabPages(LangPageControl, grid, 8, 4);
}

void RomInfoPage::clearBanner()
{
    SaveIconButton->setEnabled(false);
    IconImage->clearPicture();
    IconTransparencyCheckBox->setEnabled(false);
    for (QTextEdit* view : LangTntRichEdits)
        view->clear();
    for (QTextEdit* view : m_extraTitleEdits)
        view->clear();
    // The checked state stays, as the transparency box's does.
    IconAnimateCheckBox->setEnabled(false);
}

void RomInfoPage::bannerStepBegins()
{
    IconTransparencyCheckBox->setChecked(false);
}

void RomInfoPage::showIcon(const core::IconPicture& icon, bool hasTransparency)
{
    // The box's own handler is the window's and does nothing during a load, so the view is
    // set directly.
    IconImage->setTransparent(hasTransparency);
    IconTransparencyCheckBox->setChecked(hasTransparency);
    IconTransparencyCheckBox->setEnabled(hasTransparency);
    IconImage->setPicture(icon);
}

void RomInfoPage::showBannerExtras(const core::BannerInfo& banner)
{
    // The slots after the six the header values carry, marked as the six are.
    for (std::size_t i = 0; i < m_extraTitleEdits.size(); ++i) {
        const auto& field = core::kBannerTitleFields[kOriginalTitleCount + i];
        const auto title = std::get<std::u16string_view>(field.get(banner));
        m_extraTitleEdits[i]->setPlainText(QString::fromStdU16String(core::markInvisible(title)));
    }

    IconImage->setAnimation(banner.animated ? core::decodeAnimation(banner.animation)
                                            : std::vector<core::AnimationFrame>{});
    IconAnimateCheckBox->setChecked(banner.animated);
    IconAnimateCheckBox->setEnabled(banner.animated);
    IconImage->setAnimating(banner.animated);
}

void RomInfoPage::setSaveIconEnabled(bool enabled)
{
    SaveIconButton->setEnabled(enabled);
}

void RomInfoPage::setIconTransparent(bool transparent)
{
    IconImage->setTransparent(transparent);
}

void RomInfoPage::IconAnimateCheckBoxClick()
{
    IconImage->setAnimating(IconAnimateCheckBox->isChecked() && IconAnimateCheckBox->isEnabled());
}

void RomInfoPage::saveIcon(const std::string& name)
{
    const core::IconPicture picture = IconImage->picture().value_or(core::IconPicture{});
    if (IconTransparencyCheckBox->isEnabled()) {
        // The check box passes through checked and unchecked; the view follows it, and the
        // tRNS chunk follows the view. The box ends as it was, also after a failed write.
        const CheckedStateRestorer restore(IconTransparencyCheckBox);
        IconTransparencyCheckBox->setChecked(true);
        core::writeIconPng(core::replaceExtension(name, "-Trans.png"), picture,
                           IconImage->isTransparent());
        IconTransparencyCheckBox->setChecked(false);
        core::writeIconPng(core::replaceExtension(name, "-NoTrans.png"), picture,
                           IconImage->isTransparent());
    } else {
        core::writeIconPng(core::replaceExtension(name, ".png"), picture, false);
    }
    // An animated icon also goes out as an animated PNG, after the still files.
    if (IconImage->hasAnimation())
        core::writeAnimatedPng(core::animatedIconName(name), IconImage->animation());
}

} // namespace cartscope::app
