#pragma once

#include <QDialog>

#include "core/formats/sound/sdat.h"

class QLabel;
class QPushButton;
class QTreeWidget;

namespace cartscope::app {

// "Sound Archive": the entries of one SDAT archive of the open image (sequences, sequence
// archives with their sequences, banks, wave archives with their waves, streams), with its own
// extract command. Like the NARC dialog it only shows and asks; the main window extracts.
class SdatDialog final : public QDialog {
    Q_OBJECT
public:
    explicit SdatDialog(core::Sdat sdat, QWidget* parent = nullptr);

    const core::Sdat& sdat() const { return m_sdat; }

Q_SIGNALS:
    // "Extract Sound Archive" was clicked.
    void extractRequested(const core::Sdat& sdat);

private:
    // Construction in three steps.
    void createControls();
    void connectControls();
    void populateControls();

    core::Sdat m_sdat;
    QTreeWidget* SdatListView = nullptr;
    QLabel* SdatNotesLabel = nullptr;
    QPushButton* SdatExtractButton = nullptr;
    QPushButton* SdatCloseButton = nullptr;
};

} // namespace cartscope::app
