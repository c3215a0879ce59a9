// The two exports of page "Rom Info": the header information report (to a text file or the
// clipboard) and the icon as PNG.

#include <QClipboard>
#include <QGuiApplication>
#include <QPlainTextEdit>

#include "app/main_window.h"
#include "app/qt_text.h"
#include "app/rom_info_page.h"
#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/io/whole_file.h"
#include "core/report.h"

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

} // namespace

void TForm1::SaveInfoButtonClick()
{
    guarded([&] {
        if (m_job != Job::None)
            return;
        // The report says what the page says, from the values as loaded: the card size in the
        // locale's digits, as its field shows it; the internal name as it is (the field marks
        // invisible characters for display only). The titles come from the banner record,
        // never through 8-bit text.
        const std::vector<std::u16string> lines = core::BuildHeaderInfoReport(
            core::namePart(m_fileName), m_shown, m_bannerInfo, localeDecimalPoint());
        const QString text = QString::fromStdU16String(core::reportText(lines));
        OutputTntMemo->setPlainText(text);

        if (RomInfoTabSheet->saveToFile()) {
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
        RomInfoTabSheet->saveIcon(toLocalPath(*chosen));
        m_dialogs->information(this, QStringLiteral("Icon Saved"));
    });
}

} // namespace cartscope::app
