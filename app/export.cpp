// The two exports of page "Rom Info": the header information report (to a text file or the
// clipboard) and the icon as PNG.

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>

#include "app/icon_view.h"
#include "app/main_window.h"
#include "app/qt_text.h"
#include "core/error.h"
#include "core/paths.h"
#include "core/png.h"
#include "core/report.h"
#include "core/whole_file.h"

namespace cartscope::app {

namespace {

// The report's own message for a file that cannot be made: "Cannot create file <path>" (the
// error display adds the full stop).
std::string cannotCreateReport(const std::string& path, int)
{
    return "Cannot create file " + path;
}

// Creates or replaces the file with exactly these bytes, whole: a failed write keeps the report
// that was there.
void writeReportFile(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    core::writeWholeFile(path, bytes, cannotCreateReport);
}

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

core::DisplayValues TForm1::reportValues() const
{
    // The report says what the page says, from the values as loaded: the card size in the
    // locale's digits, as its field shows it; the internal name as it is (the field marks
    // invisible characters for display only).
    core::DisplayValues v = m_shown;
    v.CardSize = toCoreText(localisedNumbers(fromCoreText(v.CardSize)));
    return v;
}

void TForm1::SaveInfoButtonClick()
{
    guarded([&] {
        if (m_job != Job::None)
            return;
        // The titles come from the banner record, never through 8-bit text.
        const std::vector<std::u16string> lines =
            core::BuildHeaderInfoReport(core::namePart(m_fileName), reportValues(), CurrentBanner);
        const QString text = QString::fromStdU16String(core::reportText(lines));
        OutputTntMemo->setPlainText(text);

        if (SaveToFileRadioButton->isChecked()) {
            const std::optional<QString> chosen = m_dialogs->getSaveFileName(
                this, fromLocalPath(core::replaceExtension(m_fileName, ".txt")), reportFilter());
            if (!chosen)
                return;
            writeReportFile(toLocalPath(*chosen), core::reportFileBytes(lines));
            m_dialogs->information(this, QStringLiteral("Header Info Saved To ") + *chosen);
        } else {
            // Linux has no 8-bit code page beside UTF-8: the clipboard's plain text is the
            // report as Unicode, which every application here reads as UTF-8 text.
            QGuiApplication::clipboard()->setText(text);
            m_dialogs->information(this, QStringLiteral("Header Info Saved To Clipboard"));
        }
    });
}

void TForm1::SaveIconButtonClick()
{
    guarded([&] {
        if (m_job != Job::None)
            return;
        const std::optional<QString> chosen = m_dialogs->getSaveFileName(
            this, fromLocalPath(core::replaceExtension(m_fileName, ".png")), iconFilter());
        if (!chosen)
            return;
        const std::string name = toLocalPath(*chosen);
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
        m_dialogs->information(this, QStringLiteral("Icon Saved"));
    });
}

void TForm1::IconTransparencyCheckBoxClick()
{
    // During a load the box is changed by the program; the view is set by the load itself.
    if (ImageLoaded)
        IconImage->setTransparent(IconTransparencyCheckBox->isChecked());
}

} // namespace cartscope::app
