#pragma once

#include <string>
#include <utility>
#include <vector>

#include <QWidget>

#include "core/banner/banner_info.h"
#include "core/interpret.h"
#include "core/load.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTextEdit;

namespace cartscope::app {

class DesignLayout;
class IconView;

// The "Rom Info" page: the header's values with their CRC-16 verdicts, the two save commands,
// and the banner: the icon (still or animated, with or without transparency) and the titles in
// every language. It shows what it is given and keeps no image state of its own; the window
// decides when the save commands are offered and runs them.
//
// The header side lives in rom_info_page.cpp, the banner side in rom_info_banner.cpp.
class RomInfoPage final : public QWidget {
    Q_OBJECT
public:
    explicit RomInfoPage(QWidget* parent = nullptr);

    // The grid rectangles of the page's controls, in the window's design units.
    void place(DesignLayout& grid);
    // Once the grid is applied: the title tabs grow until their pages hold their views.
    void fitTitleTabs(const DesignLayout& grid);

    // ---- Header side
    // Shows the values (and, in the six original title tabs, the titles among them).
    void showValues(const core::HeaderValues& values);
    // The CRC-32 field: the progress of the whole-file read, then its result.
    void showCrc32Progress(int percent);
    void showCrc32(const std::string& text);
    // Every value, title, icon and verdict emptied; the commands disabled. Which radio button
    // is checked stays as it was; so do the check boxes' checked states.
    void clear();

    void setSaveInfoEnabled(bool enabled);
    // "Text File" rather than "Clipboard" is chosen.
    bool saveToFile() const;

    // ---- Banner side
    // The header has been read: the transparency box is unchecked as the banner step begins.
    void bannerStepBegins();
    // The banner's icon, transparent exactly when some pixel has palette index 0.
    void showIcon(const core::IconPicture& icon, bool hasTransparency);
    // The Chinese and Korean titles and the animation of a banner of a later version.
    void showBannerExtras(const core::BannerInfo& banner);
    void setSaveIconEnabled(bool enabled);
    // Follows the transparency box (the window calls it once an image is loaded).
    void setIconTransparent(bool transparent);
    // Writes the icon as the export names it from `name`: both transparency variants when the
    // transparency box is enabled (which it passes through, ending as it was), else one file;
    // an animated icon as an animated PNG as well.
    void saveIcon(const std::string& name);

    // The controls a long job disables.
    std::vector<QWidget*> jobControls() const;

Q_SIGNALS:
    void saveInfoRequested();
    void saveIconRequested();
    // The transparency box changed, by the user or by the program.
    void iconTransparencyToggled(bool checked);

private:
    void createValueControls();
    void createBannerControls();
    void connectControls();
    void populateControls();
    void placeValueControls(DesignLayout& grid);
    void placeLabels(DesignLayout& grid);
    void placeBannerControls(DesignLayout& grid);
    void clearBanner();
    void IconAnimateCheckBoxClick();

    std::array<QLineEdit*, core::kHeaderFields.size()> m_valueEdits{}; // in the table's order
    // Labels of the page, kept for the layout step.
    std::vector<std::pair<QLabel*, QLineEdit*>> m_editLabels;

    QLineEdit* IntNameEdit = nullptr;
    QLineEdit* FileSizeEdit = nullptr;
    QLineEdit* SerialEdit = nullptr;
    QLineEdit* CardSizeEdit = nullptr;
    QLineEdit* CRC32Edit = nullptr;
    QLineEdit* MakerCodeEdit = nullptr;
    QLineEdit* MakerNameEdit = nullptr;
    QLineEdit* BadDumpCodeEdit = nullptr;
    QGroupBox* CodesGroupBox = nullptr;
    QLineEdit* DeviceCodeEdit = nullptr;
    QLineEdit* VersionCodeEdit = nullptr;
    QLineEdit* UnitCodeEdit = nullptr;
    QGroupBox* CRC16GroupBox = nullptr;
    QLineEdit* ExpSecAreaCRC16Edit = nullptr;
    QLineEdit* ActSecAreaCRC16Edit = nullptr;
    QLineEdit* SecAreaCheckEdit = nullptr;
    QLineEdit* ExpLogoCRC16Edit = nullptr;
    QLineEdit* ActLogoCRC16Edit = nullptr;
    QLineEdit* LogoCheckEdit = nullptr;
    QLineEdit* ExpHeaderCRC16Edit = nullptr;
    QLineEdit* ActHeaderCRC16Edit = nullptr;
    QLineEdit* HeaderCheckEdit = nullptr;

    QPushButton* SaveInfoButton = nullptr;
    QRadioButton* SaveToFileRadioButton = nullptr;
    QRadioButton* SaveToClipRadioButton = nullptr;
    QPushButton* SaveIconButton = nullptr;
    QCheckBox* IconTransparencyCheckBox = nullptr;
    IconView* IconImage = nullptr;
    QTabWidget* LangPageControl = nullptr;
    std::vector<QTextEdit*> LangTntRichEdits;  // Lang1TntRichEdit .. Lang6TntRichEdit
    std::vector<QTextEdit*> m_extraTitleEdits; // Lang7TntRichEdit (Chinese), Lang8 (Korean)
    QCheckBox* IconAnimateCheckBox = nullptr;
};

} // namespace cartscope::app
