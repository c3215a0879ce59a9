#pragma once

#include <optional>

#include <QDialog>

#include "app/preview_content.h"
#include "core/fs/narc.h"

class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace cartscope::app {

// "NARC Contents": the members of one NARC archive of the open image, with its own extract
// command. A member that is a NARC itself (or a sound archive) can be opened in turn, one level
// at a time, in a dialog of its own. The dialog only shows and asks: the main window opens archives
// and extracts them (it holds the image), and closes every such dialog when the image goes.
class NarcDialog final : public QDialog {
    Q_OBJECT
public:
    explicit NarcDialog(core::Narc narc, QWidget* parent = nullptr);

    const core::Narc& narc() const { return m_narc; }
    // The selected member as the preview reads it (its full path, its range in the image, the
    // archive's members beside it); none when no member is selected.
    std::optional<PreviewSource> selectedPreview() const;

Q_SIGNALS:
    // "Extract NARC Contents" was clicked.
    void extractRequested(const core::Narc& narc);
    // "Open Nested NARC" was clicked on a member that is an archive (a NARC, or a sound archive
    // that opens in its own dialog); `path` is its full path.
    void openRequested(const std::string& path);
    // "Preview" was clicked, or a member that is not an archive was double-clicked.
    void previewRequested();
    // Another member was selected.
    void memberSelected();

private:
    // Construction in three steps.
    void createControls();
    void connectControls();
    void populateControls();
    void selectionChanged();
    void openNestedClick();
    void NarcListViewDblClick(QTreeWidgetItem* item);
    int selectedIndex() const;

    core::Narc m_narc;
    QTreeWidget* NarcListView = nullptr;
    QLabel* NarcNotesLabel = nullptr;
    QPushButton* NarcExtractButton = nullptr;
    QPushButton* NarcOpenButton = nullptr;
    QPushButton* NarcPreviewButton = nullptr;
    QPushButton* NarcCloseButton = nullptr;
};

} // namespace cartscope::app
