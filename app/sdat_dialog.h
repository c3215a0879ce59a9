#pragma once

#include <memory>
#include <optional>

#include <QDialog>

#include "app/preview_content.h"
#include "core/formats/sound/sdat.h"

class QLabel;
class QPushButton;
class QTreeWidget;

namespace cartscope::app {

// "Sound Archive": the entries of one SDAT archive of the open image (sequences, sequence
// archives with their sequences, banks, wave archives with their waves, streams), with its own
// extract command and a preview of the selected entry (streams and waves play). Like the NARC
// dialog it only shows and asks; the main window extracts and previews.
class SdatDialog final : public QDialog {
    Q_OBJECT
public:
    explicit SdatDialog(core::Sdat sdat, QWidget* parent = nullptr);

    const core::Sdat& sdat() const { return *m_sdat; }
    // The selected entry as the preview reads it (through the archive); none when no entry is
    // selected.
    std::optional<PreviewSource> selectedPreview() const;

Q_SIGNALS:
    // "Extract Sound Archive" was clicked.
    void extractRequested(const core::Sdat& sdat);
    // "Preview" was clicked, or an entry was double-clicked.
    void previewRequested();
    // Another entry was selected.
    void entrySelected();

private:
    // Construction in three steps.
    void createControls();
    void connectControls();
    void populateControls();
    void selectionChanged();
    int selectedIndex() const;

    std::shared_ptr<const core::Sdat> m_sdat;
    QTreeWidget* SdatListView = nullptr;
    QLabel* SdatNotesLabel = nullptr;
    QPushButton* SdatExtractButton = nullptr;
    QPushButton* SdatPreviewButton = nullptr;
    QPushButton* SdatCloseButton = nullptr;
};

} // namespace cartscope::app
