// The main window's side of the preview window: which file it shows, and when.

#include <string_view>

#include "app/files_page.h"
#include "app/main_window.h"
#include "app/narc_dialog.h"
#include "app/preview_window.h"
#include "app/sdat_dialog.h"

namespace cartscope::app {

PreviewSource TForm1::previewOfRow(const core::FileRow& row) const
{
    PreviewSource source;
    source.path = row.path;
    source.offset = row.offset;
    source.size = static_cast<std::uint64_t>(std::max<std::int64_t>(row.size, 0));
    // Only the rows of the file's own folder can go with it: in an image of 65,000 files a copy
    // of every row would cost more than the preview.
    const std::size_t slash = row.path.rfind('/');
    const std::string_view folder(row.path.data(), slash == std::string::npos ? 0 : slash + 1);
    for (const core::FileRow& r : FSTabSheet->rows()) {
        if (!r.system && r.path.size() > folder.size() && r.path.starts_with(folder) &&
            r.path.find('/', folder.size()) == std::string::npos)
            source.siblings.push_back(r);
    }
    return source;
}

void TForm1::PreviewFile1Click()
{
    const std::optional<core::FileRow> row = FSTabSheet->currentRow();
    if (row)
        openPreview(previewOfRow(*row));
}

void TForm1::openPreview(const PreviewSource& source)
{
    if (!ImageStream)
        return;
    if (!m_preview)
        m_preview = new PreviewWindow(*m_dialogs, this);
    m_preview->show();
    m_preview->raise();
    m_preview->showFile(*ImageStream, source);
}

void TForm1::showInPreview(const PreviewSource& source)
{
    if (ImageStream && m_preview && m_preview->isVisible())
        m_preview->showFile(*ImageStream, source);
}

void TForm1::followSelection()
{
    if (const std::optional<core::FileRow> row = FSTabSheet->currentRow())
        showInPreview(previewOfRow(*row));
}

void TForm1::connectNarcPreview(NarcDialog* dialog)
{
    connect(dialog, &NarcDialog::previewRequested, this, [this, dialog] {
        if (const std::optional<PreviewSource> source = dialog->selectedPreview())
            openPreview(*source);
    });
    connect(dialog, &NarcDialog::memberSelected, this, [this, dialog] {
        if (const std::optional<PreviewSource> source = dialog->selectedPreview())
            showInPreview(*source);
    });
}

void TForm1::connectSdatPreview(SdatDialog* dialog)
{
    connect(dialog, &SdatDialog::previewRequested, this, [this, dialog] {
        if (const std::optional<PreviewSource> source = dialog->selectedPreview())
            openPreview(*source);
    });
    connect(dialog, &SdatDialog::entrySelected, this, [this, dialog] {
        if (const std::optional<PreviewSource> source = dialog->selectedPreview())
            showInPreview(*source);
    });
}

void TForm1::closePreview()
{
    if (m_preview)
        m_preview->clear();
}

} // namespace cartscope::app
