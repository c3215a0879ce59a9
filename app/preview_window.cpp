#include "app/preview_window.h"

#include <algorithm>
#include <limits>

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "app/dialogs.h"
#include "app/hex_view.h"
#include "app/qt_text.h"
#include "app/sound_player.h"
#include "app/widgets.h"
#include "core/banner/png.h"
#include "core/base/error.h"
#include "core/base/names.h"
#include "core/base/paths.h"
#include "core/base/text.h"
#include "core/io/whole_file.h"

namespace cartscope::app {

namespace {

constexpr int kMaxZoom = 16;
// The largest side of a zoomed picture: a picture may be 4096 pixels wide, and its zoomed copy is
// held whole.
constexpr int kMaxZoomedSide = 8192;

QString shownPath(const std::string& path)
{
    return fromCoreText(core::markInvisible(path));
}

// The slider counts milliseconds.
std::uint64_t milliseconds(std::uint64_t frames, std::uint32_t rate)
{
    return rate ? frames * 1000 / rate : 0;
}

QString clockText(std::uint64_t ms)
{
    const std::uint64_t s = ms / 1000;
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

FileFilter exportFilter(const std::string& extension)
{
    if (extension == ".wav")
        return {QStringLiteral("WAVE Sound (*.wav)"), {QStringLiteral("*.wav")}};
    if (extension == ".mid")
        return {QStringLiteral("Standard MIDI Files (*.mid)"), {QStringLiteral("*.mid")}};
    return {QStringLiteral("SoundFont 2 (*.sf2)"), {QStringLiteral("*.sf2")}};
}

} // namespace

PreviewWindow::PreviewWindow(Dialogs& dialogs, QWidget* parent)
    : QWidget(parent, Qt::Window), m_dialogs(dialogs)
{
    createControls();
    connectControls();
    populateControls();
}

PreviewWindow::~PreviewWindow()
{
    m_job.cancel();
}

void PreviewWindow::createControls()
{
    setObjectName(QStringLiteral("PreviewWindow"));
    PreviewFormatLabel = named(new QLabel(this), "PreviewFormatLabel");
    PreviewPaletteComboBox = named(new QComboBox(this), "PreviewPaletteComboBox");
    PreviewZoomLabel = named(new QLabel(QStringLiteral("Zoom:"), this), "PreviewZoomLabel");
    PreviewZoomSpinBox = named(new QSpinBox(this), "PreviewZoomSpinBox");
    PreviewExportButton =
        named(new QPushButton(QStringLiteral("Export…"), this), "PreviewExportButton");
    PreviewPages = named(new QStackedWidget(this), "PreviewPages");
    PreviewPictureArea = named(new QScrollArea(PreviewPages), "PreviewPictureArea");
    PreviewPictureLabel = named(new QLabel(PreviewPictureArea), "PreviewPictureLabel");
    PreviewTextEdit = named(new QPlainTextEdit(PreviewPages), "PreviewTextEdit");
    PreviewHexView = named(new HexView(PreviewPages), "PreviewHexView");
    PreviewSoundControls = named(new QWidget(this), "PreviewSoundControls");
    PreviewPlayButton =
        named(new QPushButton(QStringLiteral("Play"), PreviewSoundControls), "PreviewPlayButton");
    PreviewStopButton =
        named(new QPushButton(QStringLiteral("Stop"), PreviewSoundControls), "PreviewStopButton");
    PreviewLoopCheckBox =
        named(new QCheckBox(QStringLiteral("Loop"), PreviewSoundControls), "PreviewLoopCheckBox");
    PreviewPositionSlider =
        named(new QSlider(Qt::Horizontal, PreviewSoundControls), "PreviewPositionSlider");
    PreviewPositionLabel = named(new QLabel(PreviewSoundControls), "PreviewPositionLabel");
    m_player = new SoundPlayer(this);
    m_positionTimer = new QTimer(this);

    auto* sound = new QHBoxLayout(PreviewSoundControls);
    sound->setContentsMargins(0, 0, 0, 0);
    sound->addWidget(PreviewPlayButton);
    sound->addWidget(PreviewStopButton);
    sound->addWidget(PreviewLoopCheckBox);
    sound->addWidget(PreviewPositionSlider, 1);
    sound->addWidget(PreviewPositionLabel);

    PreviewPictureArea->setWidget(PreviewPictureLabel);
    PreviewPages->addWidget(PreviewPictureArea);
    PreviewPages->addWidget(PreviewTextEdit);
    PreviewPages->addWidget(PreviewHexView);

    auto* bar = new QHBoxLayout;
    bar->addWidget(PreviewFormatLabel, 1);
    bar->addWidget(PreviewPaletteComboBox);
    bar->addWidget(PreviewZoomLabel);
    bar->addWidget(PreviewZoomSpinBox);
    bar->addWidget(PreviewExportButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(PreviewSoundControls);
    layout->addWidget(PreviewPages, 1);
}

void PreviewWindow::connectControls()
{
    connect(PreviewPaletteComboBox, &QComboBox::activated, this,
            &PreviewWindow::PreviewPaletteComboBoxChange);
    connect(PreviewZoomSpinBox, &QSpinBox::valueChanged, this, &PreviewWindow::updatePicture);
    connect(PreviewExportButton, &QPushButton::clicked, this,
            &PreviewWindow::PreviewExportButtonClick);
    connect(PreviewPlayButton, &QPushButton::clicked, this, &PreviewWindow::PreviewPlayButtonClick);
    connect(PreviewStopButton, &QPushButton::clicked, this, &PreviewWindow::PreviewStopButtonClick);
    connect(PreviewLoopCheckBox, &QCheckBox::toggled, m_player, &SoundPlayer::setLoop);
    connect(PreviewPositionSlider, &QSlider::sliderReleased, this,
            &PreviewWindow::PreviewPositionSliderRelease);
    connect(m_positionTimer, &QTimer::timeout, this, &PreviewWindow::updatePosition);
    connect(m_player, &SoundPlayer::finished, this, [this] {
        m_player->seek(0);
        updatePosition();
        updateSoundButtons();
    });
}

void PreviewWindow::populateControls()
{
    setWindowTitle(QStringLiteral("Preview"));
    PreviewFormatLabel->setTextFormat(Qt::PlainText);
    PreviewFormatLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    PreviewPaletteComboBox->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    PreviewPaletteComboBox->setVisible(false);
    PreviewZoomSpinBox->setRange(1, kMaxZoom);
    PreviewZoomSpinBox->setSuffix(QStringLiteral("×"));
    PreviewZoomSpinBox->setValue(2);
    PreviewPictureLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    PreviewTextEdit->setReadOnly(true);
    PreviewTextEdit->setLineWrapMode(QPlainTextEdit::NoWrap);
    PreviewExportButton->setEnabled(false);
    PreviewSoundControls->setVisible(false);
    PreviewPositionLabel->setTextFormat(Qt::PlainText);
    // Tests run without a sound device, and so do some machines: Play says why it cannot.
    if (!SoundPlayer::hasOutput())
        PreviewPlayButton->setToolTip(
            QStringLiteral("No audio output device: the sound cannot be played"));
    m_positionTimer->setInterval(100);
    updateSoundButtons();
    resize(560, 420);
}

void PreviewWindow::showFile(const core::Stream& image, PreviewSource source)
{
    // The list notifies a change of its focused row also when it is refilled (a sort): the same
    // file is not read again.
    if (m_image == &image && m_source.path == source.path && m_source.offset == source.offset &&
        m_source.size == source.size)
        return;
    m_image = &image;
    m_source = std::move(source);
    setWindowTitle(QStringLiteral("Preview - ") + shownPath(m_source.path));
    start();
}

void PreviewWindow::clear()
{
    m_job.cancel();
    stopSound();
    m_busy = false;
    m_image = nullptr;
    m_source = PreviewSource{};
    m_content.reset();
    m_picture = QImage();
    PreviewHexView->setBytes(nullptr);
    PreviewTextEdit->clear();
    PreviewPictureLabel->clear();
    PreviewPaletteComboBox->clear();
    PreviewPaletteComboBox->setVisible(false);
    PreviewExportButton->setEnabled(false);
    PreviewFormatLabel->clear();
    setWindowTitle(QStringLiteral("Preview"));
}

void PreviewWindow::start()
{
    if (!m_image)
        return;
    m_busy = true;
    stopSound();
    PreviewFormatLabel->setText(QStringLiteral("Reading…"));
    PreviewExportButton->setEnabled(false);
    // The thread gets its own copies; the image stays open until clear() has cancelled it.
    m_job.start([image = m_image, source = m_source, palette = m_palette,
                 this](const BackgroundJob::Run& run) {
        try {
            auto content = std::make_shared<const PreviewContent>(
                makePreview(*image, source, palette, [&run] { return run.cancelled(); }));
            run.deliver([this, content] {
                m_job.finish();
                display(content);
            });
        } catch (const PreviewCancelled&) {
        } catch (const std::exception& e) {
            run.deliver([this, message = fromCoreText(e.what())] {
                m_job.finish();
                showFailure(message);
            });
        }
    });
}

void PreviewWindow::display(std::shared_ptr<const PreviewContent> content)
{
    m_busy = false;
    m_content = std::move(content);
    const PreviewContent& c = *m_content;
    PreviewFormatLabel->setText(fromCoreText(core::markInvisible(c.formatLine)));

    PreviewPaletteComboBox->clear();
    for (const std::string& p : c.palettes)
        PreviewPaletteComboBox->addItem(shownPath(p));
    const auto chosen = std::find(c.palettes.begin(), c.palettes.end(), c.palette);
    if (chosen != c.palettes.end())
        PreviewPaletteComboBox->setCurrentIndex(static_cast<int>(chosen - c.palettes.begin()));
    PreviewPaletteComboBox->setVisible(c.palettes.size() > 1);

    const bool picture = c.kind == PreviewKind::Picture;
    PreviewZoomLabel->setVisible(picture);
    PreviewZoomSpinBox->setVisible(picture);
    PreviewExportButton->setEnabled(c.kind != PreviewKind::Hex);
    PreviewSoundControls->setVisible(c.kind == PreviewKind::Sound);
    m_picture = QImage();
    PreviewHexView->setBytes(nullptr);
    PreviewTextEdit->clear();
    switch (c.kind) {
    case PreviewKind::Picture:
        m_picture = QImage(c.picture.rgba.data(), static_cast<int>(c.picture.width),
                           static_cast<int>(c.picture.height),
                           static_cast<qsizetype>(c.picture.width) * 4, QImage::Format_RGBA8888)
                        .copy();
        PreviewZoomSpinBox->setMaximum(std::clamp(
            kMaxZoomedSide / std::max({m_picture.width(), m_picture.height(), 1}), 1, kMaxZoom));
        updatePicture();
        PreviewPages->setCurrentWidget(PreviewPictureArea);
        break;
    case PreviewKind::Text:
        // Plain text, never markup; invisible characters shown as marks (the export keeps them).
        PreviewTextEdit->setPlainText(fromCoreText(core::markInvisible(c.text)));
        PreviewPages->setCurrentWidget(PreviewTextEdit);
        break;
    case PreviewKind::Hex:
        PreviewHexView->setBytes(c.bytes);
        PreviewPages->setCurrentWidget(PreviewHexView);
        break;
    case PreviewKind::Sound:
        showSound(c);
        break;
    }
    Q_EMIT previewShown();
}

void PreviewWindow::showFailure(const QString& message)
{
    m_busy = false;
    stopSound();
    m_content.reset();
    m_picture = QImage();
    PreviewHexView->setBytes(nullptr);
    PreviewTextEdit->clear();
    PreviewPictureLabel->clear();
    PreviewExportButton->setEnabled(false);
    PreviewFormatLabel->setText(message);
    Q_EMIT previewShown();
}

QImage PreviewWindow::shownPicture() const
{
    if (m_picture.isNull())
        return {};
    const int zoom = PreviewZoomSpinBox->value();
    // Whole factors, nearest neighbour: every source pixel becomes a zoom × zoom square.
    return m_picture.scaled(m_picture.width() * zoom, m_picture.height() * zoom,
                            Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

void PreviewWindow::updatePicture()
{
    const QImage picture = shownPicture();
    PreviewPictureLabel->setPixmap(QPixmap::fromImage(picture));
    PreviewPictureLabel->resize(picture.size());
}

void PreviewWindow::PreviewPaletteComboBoxChange(int index)
{
    if (!m_content || index < 0 || static_cast<std::size_t>(index) >= m_content->palettes.size())
        return;
    m_palette = m_content->palettes[static_cast<std::size_t>(index)];
    start();
}

// The picture as PNG at its own size, the text as UTF-8, or a sound file as its standard file
// (WAV, MIDI, SF2), to a file the user names.
void PreviewWindow::PreviewExportButtonClick()
{
    if (!m_content || m_content->kind == PreviewKind::Hex)
        return;
    const bool picture = m_content->kind == PreviewKind::Picture;
    const bool converted = static_cast<bool>(m_content->exportFile);
    const std::string extension =
        converted ? m_content->exportExtension : (picture ? ".png" : ".txt");
    const std::string name = core::replaceExtension(core::namePart(m_source.path), extension);
    const std::optional<QString> chosen = m_dialogs.getSaveFileName(
        this, fromLocalPath(core::cleanName(name)),
        converted ? exportFilter(extension) : (picture ? iconFilter() : reportFilter()));
    if (!chosen || chosen->isEmpty())
        return;
    try {
        if (converted) {
            core::writeWholeFile(toLocalPath(*chosen), m_content->exportFile());
        } else if (picture) {
            core::writeWholeFile(toLocalPath(*chosen), core::encodeRgbaPng(m_content->picture));
        } else {
            const std::string& text = m_content->text;
            core::writeWholeFile(toLocalPath(*chosen),
                                 {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
        }
    } catch (const std::exception& e) {
        m_dialogs.error(this, fromCoreText(core::withFullStop(e.what())));
    }
}

void PreviewWindow::showSound(const PreviewContent& c)
{
    const core::SoundPieces& sound = *c.sound;
    m_player->setSound(c.sound);
    m_player->setLoop(PreviewLoopCheckBox->isChecked());
    PreviewLoopCheckBox->setEnabled(sound.loop().has_value());
    const std::uint64_t total = milliseconds(sound.frames(), sound.rate());
    PreviewPositionSlider->setRange(
        0, static_cast<int>(std::min<std::uint64_t>(total, std::numeric_limits<int>::max())));
    PreviewPositionSlider->setValue(0);
    std::string about = c.formatLine + "\n" + std::to_string(sound.frames()) + " frames";
    if (sound.loop())
        about += ", the loop from frame " + std::to_string(sound.loop()->start) + " to the end";
    PreviewTextEdit->setPlainText(fromCoreText(about));
    PreviewPages->setCurrentWidget(PreviewTextEdit);
    updatePosition();
    updateSoundButtons();
}

void PreviewWindow::stopSound()
{
    m_positionTimer->stop();
    m_player->setSound(nullptr);
    PreviewSoundControls->setVisible(false);
}

void PreviewWindow::PreviewPlayButtonClick()
{
    m_player->play();
    if (m_player->playing())
        m_positionTimer->start();
    updateSoundButtons();
}

void PreviewWindow::PreviewStopButtonClick()
{
    m_player->stop();
    m_player->seek(0);
    m_positionTimer->stop();
    updatePosition();
    updateSoundButtons();
}

// The slider lets go: playing goes on from there.
void PreviewWindow::PreviewPositionSliderRelease()
{
    if (!m_content || !m_content->sound)
        return;
    const auto ms = static_cast<std::uint64_t>(PreviewPositionSlider->value());
    m_player->seek(ms * m_content->sound->rate() / 1000);
    updatePosition();
}

void PreviewWindow::updatePosition()
{
    if (!m_content || !m_content->sound)
        return;
    const core::SoundPieces& sound = *m_content->sound;
    const std::uint64_t at = milliseconds(m_player->position(), sound.rate());
    if (!PreviewPositionSlider->isSliderDown())
        PreviewPositionSlider->setValue(
            static_cast<int>(std::min<std::uint64_t>(at, std::numeric_limits<int>::max())));
    PreviewPositionLabel->setText(clockText(at) + QStringLiteral(" / ") +
                                  clockText(milliseconds(sound.frames(), sound.rate())));
}

void PreviewWindow::updateSoundButtons()
{
    const bool playing = m_player->playing();
    if (!playing)
        m_positionTimer->stop();
    PreviewPlayButton->setEnabled(!playing && SoundPlayer::hasOutput());
    PreviewStopButton->setEnabled(playing);
}

} // namespace cartscope::app
