#include "app/main_window.h"

#include <algorithm>
#include <array>

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QWindow>

#include "app/background_pass.h"
#include "app/design_layout.h"
#include "app/dsi_page.h"
#include "app/eliding.h"
#include "app/files_page.h"
#include "app/icon_view.h"
#include "app/job_guard.h"
#include "app/polish.h"
#include "app/preview_window.h"
#include "app/progress_dialog.h"
#include "app/rom_info_page.h"
#include "app/verification_page.h"
#include "app/widgets.h"
#include "core/base/error.h"
#include "core/extract/space.h"

namespace cartscope::app {

namespace {

// The button-face colour every edit of the page shows as its background.
QColor buttonFace(const QWidget* widget)
{
    return widget->palette().color(QPalette::Button);
}

} // namespace

TForm1::TForm1(std::unique_ptr<Dialogs> dialogs, QWidget* parent)
    : QWidget(parent), m_dialogs(std::move(dialogs)), m_pass(std::make_unique<BackgroundPass>()),
      m_freeSpace(core::roomAt)
{
    createControls();
    connectControls();
    populateControls();
    polishControls();
}

TForm1::~TForm1()
{
    FormDestroy();
}

// ---------------------------------------------------------------------------------------------
// Create

void TForm1::createControls()
{
    setObjectName(QStringLiteral("TForm1"));
    m_scroll = named(new QScrollArea(this), "ContentScrollArea");
    m_content = named(new QWidget, "ContentWidget");
    m_scroll->setWidgetResizable(false); // the content keeps its design size
    m_scroll->setWidget(m_content);
    QWidget* top = m_content;

    FilenameGroupBox = named(new QGroupBox(QStringLiteral("Filename"), top), "FilenameGroupBox");
    FNameEdit = readOnlyEdit(FilenameGroupBox, "FNameEdit");
    OpenRomSpeedButton = named(new QToolButton(FilenameGroupBox), "OpenRomSpeedButton");
    OutputTntMemo = named(new QPlainTextEdit(top), "OutputTntMemo");

    PageControl = named(new QTabWidget(top), "PageControl");
    RomInfoTabSheet = new RomInfoPage;
    FSTabSheet = new FilesPage([this](const std::exception& error) { showError(error); });
    PageControl->addTab(RomInfoTabSheet, QStringLiteral("Rom Info"));
    PageControl->addTab(FSTabSheet, QStringLiteral("File System Info"));
    VerificationTabSheet = new VerificationPage(*m_dialogs);
    PageControl->addTab(VerificationTabSheet, QStringLiteral("Verification"));

    DsiTabSheet = new DsiPage;
    PageControl->addTab(DsiTabSheet, QStringLiteral("DSi"));
    ChangesTabSheet = new ChangesPage;
    PageControl->addTab(ChangesTabSheet, QStringLiteral("Changes"));

    ExtProgressPanel = named(new QFrame(top), "ExtProgressPanel");
    ExtProgressLabel =
        named(new QLabel(QStringLiteral("Please Wait, Extracting File..."), ExtProgressPanel),
              "ExtProgressLabel");
    ExtProgressBar = named(new QProgressBar(ExtProgressPanel), "ExtProgressBar");
    ExtCancelButton =
        named(new QPushButton(QStringLiteral("&Cancel"), ExtProgressPanel), "ExtCancelButton");

    m_form2 = new TForm2(this);
}

// ---------------------------------------------------------------------------------------------
// Connect

void TForm1::connectControls()
{
    connect(OpenRomSpeedButton, &QToolButton::clicked, this, &TForm1::OpenRomSpeedButtonClick);
    connect(RomInfoTabSheet, &RomInfoPage::saveInfoRequested, this, &TForm1::SaveInfoButtonClick);
    connect(RomInfoTabSheet, &RomInfoPage::saveIconRequested, this, &TForm1::SaveIconButtonClick);
    // During a load the box is changed by the program; the view is set by the load itself.
    connect(RomInfoTabSheet, &RomInfoPage::iconTransparencyToggled, this, [this](bool checked) {
        if (ImageLoaded)
            RomInfoTabSheet->setIconTransparent(checked);
    });
    connect(ExtCancelButton, &QPushButton::clicked, this, &TForm1::ExtCancelButtonClick);

    connect(FSTabSheet, &FilesPage::extractFileRequested, this, &TForm1::ExtractThisFile1Click);
    connect(FSTabSheet, &FilesPage::extractAllRequested, this, &TForm1::ExtractAllButtonClick);
    connect(FSTabSheet, &FilesPage::showNarcRequested, this, &TForm1::ShowNarcContents1Click);
    connect(FSTabSheet, &FilesPage::previewRequested, this, &TForm1::PreviewFile1Click);
    connect(FSTabSheet, &FilesPage::currentFileChanged, this, &TForm1::followSelection);
    connect(FSTabSheet, &FilesPage::replaceFileRequested, this, &TForm1::ReplaceFile1Click);

    connect(ChangesTabSheet, &ChangesPage::saveRomAsRequested, this, &TForm1::SaveRomAsButtonClick);
    connect(ChangesTabSheet, &ChangesPage::fixChecksumsRequested, this,
            &TForm1::FixChecksumsButtonClick);
    connect(ChangesTabSheet, &ChangesPage::saveTrimmedRequested, this,
            &TForm1::SaveTrimmedButtonClick);
    connect(ChangesTabSheet, &ChangesPage::saveFullSizeRequested, this,
            &TForm1::SaveFullSizeButtonClick);
    connect(ChangesTabSheet, &ChangesPage::discardRequested, this,
            &TForm1::DiscardChangesButtonClick);
    connect(ChangesTabSheet, &ChangesPage::applyPatchRequested, this,
            &TForm1::ApplyPatchButtonClick);
    connect(FSTabSheet, &FilesPage::showSdatRequested, this, &TForm1::showSdat);

    connect(m_pass.get(), &BackgroundPass::progress, this, &TForm1::readPassProgress);
    connect(m_pass.get(), &BackgroundPass::finished, this,
            [this] { readPassDone(m_passCrc ? m_passCrc->value() : 0); });
    connect(m_pass.get(), &BackgroundPass::failed, this, &TForm1::readPassFailed);

    // The "Verification" page rides on the same read.
    addPassSinkProvider([this] { return VerificationTabSheet->startLoad(); });
    connect(m_pass.get(), &BackgroundPass::progress, VerificationTabSheet,
            &VerificationPage::passProgress);
    connect(this, &TForm1::readPassFinished, VerificationTabSheet, &VerificationPage::passFinished);
    // A dump double-clicked in a collection window opens here, by the same road as a drop (and
    // not while a job runs).
    connect(VerificationTabSheet, &VerificationPage::openImageRequested, this,
            [this](const std::string& path, const std::optional<archive::Member>& member) {
                if (m_job != Job::None)
                    return;
                raise();
                activateWindow();
                openFile(path, member);
            });
}

// ---------------------------------------------------------------------------------------------
// Populate

void TForm1::populateControls()
{
    setWindowTitle(QString::fromLatin1(kWindowCaption));
    // A fixed frame with the system menu, minimise and close boxes; no maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setAcceptDrops(true);

    OpenRomSpeedButton->setText(QStringLiteral("..."));
    OpenRomSpeedButton->setFocusPolicy(Qt::NoFocus);
    OpenRomSpeedButton->setAutoRaise(true);
    OpenRomSpeedButton->setToolTip(QStringLiteral("Open a cartridge image"));

    // Only the report is ever assembled here; the control is never shown.
    OutputTntMemo->setVisible(false);

    setBackground(FNameEdit, buttonFace(this));
    PageControl->setCurrentIndex(0); // "Rom Info"

    ExtProgressPanel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    ExtProgressPanel->setAutoFillBackground(true);
    ExtProgressBar->setRange(0, 100);
    ExtProgressBar->setValue(0);
    ExtProgressBar->setTextVisible(false);
    ExtProgressPanel->setVisible(false);

    layoutControls();
}

void TForm1::layoutControls()
{
    DesignLayout grid;

    grid.place(FilenameGroupBox, 8, 8, 441, 49);
    grid.requireTitleRoom(FilenameGroupBox, 18);
    grid.place(FNameEdit, 16, 18, 377, 21);
    grid.requireText(FNameEdit, QStringLiteral("W"));
    grid.place(OpenRomSpeedButton, 400, 18, 23, 21);
    grid.requireHint(OpenRomSpeedButton);
    grid.place(OutputTntMemo, 2, 2, 1, 1);
    grid.place(PageControl, 8, 64, 441, 457);
    grid.requireHint(PageControl->tabBar());

    RomInfoTabSheet->place(grid);

    // Page "File System Info".
    FSTabSheet->place(grid);

    // Page "Verification".
    VerificationTabSheet->place(grid);

    // The archive progress panel over the pages.
    grid.place(ExtProgressPanel, 28, 206, 401, 113);
    grid.place(ExtProgressLabel, 16, 16, 369, 17);
    grid.requireHint(ExtProgressLabel);
    grid.place(ExtProgressBar, 16, 40, 369, 25);
    grid.place(ExtCancelButton, 312, 72, 75, 25);
    grid.requireHint(ExtCancelButton);

    DsiTabSheet->place(grid);
    ChangesTabSheet->place(grid);

    grid.apply();

    FSTabSheet->setColumnWidths(grid);

    RomInfoTabSheet->fitTitleTabs(grid);
    fitTabPages(PageControl, grid, 8, 8);

    const QRect pages = PageControl->geometry();
    const QRect filename = FilenameGroupBox->geometry();
    const int width = std::max(pages.right(), filename.right()) + 1 + grid.x(8);
    const int height = pages.bottom() + 1 + grid.y(8);
    ExtProgressPanel->raise();
    m_content->setFixedSize(width, height);
    m_scroll->setFrameShape(QFrame::NoFrame);
    fitToScreen();
}

QSize TForm1::frameExtra() const
{
    const QSize known = frameGeometry().size() - geometry().size();
    if (!known.isNull())
        return known;
    // Not shown yet, or the window system has not said: a title bar and thin borders.
    const int border = 4;
    const int title = std::max(style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this),
                               fontMetrics().height() + 12);
    return {2 * border, title + 2 * border};
}

void TForm1::fitToScreen()
{
    if (const QScreen* s = screen())
        fitInto(s->availableGeometry());
}

void TForm1::fitInto(const QRect& available)
{
    const QSize design = m_content->size();
    const QSize room = available.size() - frameExtra();
    // A scroll bar along one side takes room from the other.
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_scroll);
    bool tooWide = design.width() > room.width();
    bool tooHigh = design.height() > room.height();
    tooWide = tooWide || (tooHigh && design.width() + bar > room.width());
    tooHigh = tooHigh || (tooWide && design.height() + bar > room.height());
    QSize size = design;
    if (tooHigh)
        size.setWidth(size.width() + bar);
    if (tooWide)
        size.setHeight(size.height() + bar);
    size = size.boundedTo(room).expandedTo(QSize(1, 1));
    m_scroll->setHorizontalScrollBarPolicy(tooWide ? Qt::ScrollBarAlwaysOn
                                                   : Qt::ScrollBarAlwaysOff);
    m_scroll->setVerticalScrollBarPolicy(tooHigh ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    setFixedSize(size);
    m_scroll->setGeometry(QRect(QPoint(0, 0), size));
}

void TForm1::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // The screen and the frame are known now (the frame perhaps a moment later); a move to
    // another screen fits the window to that one.
    if (QWindow* window = windowHandle()) {
        connect(window, &QWindow::screenChanged, this, &TForm1::fitToScreen, Qt::UniqueConnection);
    }
    fitToScreen();
    QTimer::singleShot(0, this, &TForm1::fitToScreen);
}

// ---------------------------------------------------------------------------------------------
// ClearInfo and the error display

void TForm1::ClearInfo()
{
    FNameEdit->clear();
    FNameEdit->setPlaceholderText({});
    FNameEdit->setToolTip({});
    m_shown = {};
    RomInfoTabSheet->clear();
    VerificationTabSheet->clear();
    DsiTabSheet->clear();
    m_bannerCrcBad = false;
}

const std::vector<core::FileRow>& TForm1::rows() const
{
    return FSTabSheet->rows();
}

const core::SortState& TForm1::sortState() const
{
    return FSTabSheet->sortState();
}

void TForm1::guarded(const std::function<void()>& body)
{
    try {
        body();
    } catch (const std::exception& e) {
        showError(e);
    }
}

void TForm1::showError(const std::exception& error)
{
    m_dialogs->error(this, QString::fromStdString(core::withFullStop(error.what())));
}

// ---------------------------------------------------------------------------------------------
// Window events

void TForm1::dragEnterEvent(QDragEnterEvent* event)
{
    if (m_job == Job::None && event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void TForm1::dragMoveEvent(QDragMoveEvent* event)
{
    if (m_job == Job::None && event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event)
{
    if (!event->mimeData()->hasUrls())
        return;
    event->acceptProposedAction();
    // The drag source waits until this event returns, and the platform's drag state belongs to
    // this drop until then. Opening an archive lets input run for as long as its extraction
    // lasts, so the drop rule runs once the drop is done, as a posted drop message would;
    // HandleDroppedFile still refuses it if a job has started meanwhile.
    QMetaObject::invokeMethod(
        this, [this, urls = event->mimeData()->urls()] { HandleDroppedFile(urls); },
        Qt::QueuedConnection);
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // A running job reads the image and the list; the window stays until it has ended. Asked
    // to close meanwhile, it offers to cancel the job and closes once the job has stopped.
    if (m_job != Job::None) {
        event->ignore();
        const QString question = m_job == Job::Write
                                     ? QStringLiteral("Cancel the running write and close?")
                                     : QStringLiteral("Cancel the running extraction and close?");
        if (m_closeAfterJob || !m_dialogs->question(this, question))
            return;
        // The job may have ended while the question was open.
        if (m_job == Job::None) {
            QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
            return;
        }
        m_closeAfterJob = true;
        if (m_job == Job::Archive || m_job == Job::Write)
            ExtCancelButtonClick();
        else
            m_form2->Button1Click();
        return;
    }
    // Replacements not yet written: saved first (the window closes once the copy is in place),
    // dropped, or the window stays.
    if (!settlePendingChanges([this] { close(); })) {
        event->ignore();
        return;
    }
    m_form2->hide();
    // The preview is a window of its own, which would keep the program running.
    closePreview();
    if (m_preview)
        m_preview->close();
    // At once, not when the window object goes: the read, the DAT folder's load, the match.
    m_pass->cancel();
    VerificationTabSheet->stop();
    event->accept();
}

} // namespace cartscope::app
