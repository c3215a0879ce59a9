#pragma once

#include <memory>
#include <optional>

#include <QImage>
#include <QWidget>

#include "app/background_job.h"
#include "app/preview_content.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QSlider;
class QSpinBox;
class QStackedWidget;
class QTimer;

namespace cartscope::app {

class Dialogs;
class HexView;
class SoundPlayer;

// "Preview": a separate, resizable, non-modal window beside the main window that shows one file
// of the open image as a picture, a text or its bytes, with a line saying what the file is. The
// main window hands it each file the user selects while it is open. The preview is made on a
// thread of its own; a new file cancels the one being made. Streams and waves play (Play, Stop,
// Loop, a position slider) when the system has an audio output.
class PreviewWindow final : public QWidget {
    Q_OBJECT
public:
    explicit PreviewWindow(Dialogs& dialogs, QWidget* parent = nullptr);
    ~PreviewWindow() override;

    // Starts the preview of `source` in `image`, which must stay open until clear() or the next
    // showFile(). The palette chosen for the previous file is kept when it fits this one too.
    void showFile(const core::Stream& image, PreviewSource source);
    // Cancels the preview being made and lets go of everything that reads the image.
    void clear();

    // For the program and its tests.
    bool busy() const { return m_busy; }
    const PreviewContent* content() const { return m_content.get(); }
    // The picture as it is drawn, at the zoom factor.
    QImage shownPicture() const;

Q_SIGNALS:
    // A preview was made and shown (or its failure was).
    void previewShown();

private:
    void createControls();
    void connectControls();
    void populateControls();

    void start();
    void display(std::shared_ptr<const PreviewContent> content);
    void showFailure(const QString& message);
    void updatePicture();
    void PreviewPaletteComboBoxChange(int index);
    void PreviewExportButtonClick();
    void PreviewPlayButtonClick();
    void PreviewStopButtonClick();
    void PreviewPositionSliderRelease();
    void showSound(const PreviewContent& c);
    void stopSound();
    void updatePosition();
    void updateSoundButtons();

    Dialogs& m_dialogs;
    BackgroundJob m_job{this};
    const core::Stream* m_image = nullptr;
    PreviewSource m_source;
    std::string m_palette; // the user's choice; empty for the rule's
    std::shared_ptr<const PreviewContent> m_content;
    QImage m_picture; // the content's picture at its own size
    bool m_busy = false;

    QLabel* PreviewFormatLabel = nullptr;
    QComboBox* PreviewPaletteComboBox = nullptr;
    QLabel* PreviewZoomLabel = nullptr;
    QSpinBox* PreviewZoomSpinBox = nullptr;
    QPushButton* PreviewExportButton = nullptr;
    QStackedWidget* PreviewPages = nullptr;
    QScrollArea* PreviewPictureArea = nullptr;
    QLabel* PreviewPictureLabel = nullptr;
    QPlainTextEdit* PreviewTextEdit = nullptr;
    HexView* PreviewHexView = nullptr;
    QWidget* PreviewSoundControls = nullptr;
    QPushButton* PreviewPlayButton = nullptr;
    QPushButton* PreviewStopButton = nullptr;
    QCheckBox* PreviewLoopCheckBox = nullptr;
    QSlider* PreviewPositionSlider = nullptr;
    QLabel* PreviewPositionLabel = nullptr;
    SoundPlayer* m_player = nullptr;
    QTimer* m_positionTimer = nullptr;
};

} // namespace cartscope::app
