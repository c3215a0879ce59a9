#include "app/verification_page.h"

#include <utility>

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include "app/design_layout.h"
#include "app/dialogs.h"
#include "app/polish.h"
#include "app/qt_text.h"
#include "archive/collection_scan.h"
#include "archive/dat_load.h"
#include "core/base/error.h"
#include "core/base/text.h"
#include "core/interpret.h"
#include "core/io/archive_kind.h"
#include "core/verify/verdict_text.h"

namespace cartscope::app {

// One load's consumer of the read: the CRC-32, digests and trim check of the verifier, plus
// the DATs it will be matched against (kept alive with it).
class VerificationPage::VerifierSink final : public core::ReadSink {
public:
    explicit VerifierSink(std::shared_ptr<const core::DatSet> dats)
        : m_dats(std::move(dats)), m_verifier(*m_dats, 0, true)
    {}
    void consume(std::span<const std::uint8_t> block, std::uint64_t position) override
    {
        if (position == 0)
            m_archive = core::archiveKindOf(block);
        core::feedSinks(m_verifier.sinks(), block, position);
    }
    void finish(std::uint64_t total) override
    {
        for (core::ReadSink* sink : m_verifier.sinks())
            sink->finish(total);
    }
    const core::ImageVerifier& verifier() const { return m_verifier; }
    // What the file's first bytes say it is, when it is an archive rather than an image.
    core::ArchiveKind archive() const { return m_archive; }

private:
    core::ArchiveKind m_archive = core::ArchiveKind::None;
    std::shared_ptr<const core::DatSet> m_dats;
    core::ImageVerifier m_verifier;
};

namespace {

QPlainTextEdit* memo(QWidget* parent, const char* name)
{
    auto* edit = new QPlainTextEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    return edit;
}

// Texts from a DAT or an image shown as plain text, their invisible characters made visible.
QString visible(const std::string& text)
{
    return fromCoreText(core::escapeForTerminal(text));
}

void setBase(QWidget* widget, const QColor& colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Base, colour);
    widget->setPalette(palette);
}

QColor face(const QWidget* widget)
{
    return widget->palette().color(QPalette::Button);
}

// One line per hash, its label in a column of nine.
QString hashesText(const core::ImageHashes& h)
{
    QStringList lines;
    for (const core::HashField& field : core::kHashFields)
        lines << QString::fromLatin1(field.label).leftJustified(9) +
                     fromCoreText(core::hashHex(h, field).value_or(std::string()));
    return lines.join(QLatin1Char('\n'));
}

} // namespace

VerificationPage::VerificationPage(Dialogs& dialogs, QWidget* parent)
    : QWidget(parent), m_dialogs(dialogs), m_dats(std::make_shared<core::DatSet>()),
      m_itemScanner(archive::scanItem), m_datLoader([](const std::function<bool()>& cancelled) {
          return archive::loadDatFolder(archive::datFolder(), cancelled);
      })
{
    createControls();
    connectControls();
    populateControls();
}

VerificationPage::~VerificationPage()
{
    stop();
}

void VerificationPage::stop()
{
    stopMatch();
    stopDatLoad();
    m_pendingCollections.clear();
    // Each collection window is a window of its own, which would keep the program running;
    // closing one stops its scan or organise run.
    for (CollectionWindow* window : findChildren<CollectionWindow*>(Qt::FindDirectChildrenOnly))
        window->close();
}

void VerificationPage::createControls()
{
    setObjectName(QStringLiteral("VerificationTabSheet"));
    HashesLabel = new QLabel(QStringLiteral("Hashes"), this);
    HashesMemo = memo(this, "HashesMemo");
    HashesLabel->setBuddy(HashesMemo);
    CopyHashesButton = new QPushButton(QStringLiteral("Copy Hashes"), this);
    CopyHashesButton->setObjectName(QStringLiteral("CopyHashesButton"));
    VerifyProgressBar = new QProgressBar(this);
    VerifyProgressBar->setObjectName(QStringLiteral("VerifyProgressBar"));
    TrimLabel = new QLabel(QStringLiteral("Trim"), this);
    TrimMemo = memo(this, "TrimMemo");
    TrimLabel->setBuddy(TrimMemo);
    SecureAreaLabel = new QLabel(QStringLiteral("Secure Area"), this);
    SecureAreaMemo = memo(this, "SecureAreaMemo");
    SecureAreaLabel->setBuddy(SecureAreaMemo);
    DatVerdictLabel = new QLabel(QStringLiteral("DAT Verdict"), this);
    DatVerdictMemo = memo(this, "DatVerdictMemo");
    DatVerdictLabel->setBuddy(DatVerdictMemo);
    VerifyFolderButton = new QPushButton(QStringLiteral("Verify Folder\u2026"), this);
    VerifyFolderButton->setObjectName(QStringLiteral("VerifyFolderButton"));
    AddDatButton = new QPushButton(QStringLiteral("Add DAT\u2026"), this);
    AddDatButton->setObjectName(QStringLiteral("AddDatButton"));
    DatStatusMemo = memo(this, "DatStatusMemo");
}

void VerificationPage::connectControls()
{
    connect(CopyHashesButton, &QPushButton::clicked, this,
            &VerificationPage::CopyHashesButtonClick);
    connect(AddDatButton, &QPushButton::clicked, this, &VerificationPage::AddDatButtonClick);
    connect(VerifyFolderButton, &QPushButton::clicked, this,
            &VerificationPage::VerifyFolderButtonClick);
}

void VerificationPage::populateControls()
{
    for (QPlainTextEdit* m :
         {HashesMemo, TrimMemo, SecureAreaMemo, DatVerdictMemo, DatStatusMemo}) {
        m->setReadOnly(true);
        m->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        m->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        setBase(m, face(this));
    }
    HashesMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont fixed = HashesMemo->font();
    fixed.setStyleHint(QFont::Monospace);
    fixed.setFamily(QStringLiteral("monospace"));
    HashesMemo->setFont(fixed);
    CopyHashesButton->setEnabled(false);
    VerifyProgressBar->setRange(0, 100);
    VerifyProgressBar->setValue(0);
    VerifyProgressBar->setTextVisible(false);
    AddDatButton->setToolTip(QStringLiteral("Copy a No-Intro DAT into the DAT folder"));
    VerifyFolderButton->setToolTip(
        QStringLiteral("Verify every dump below a folder against the loaded DATs"));
}

void VerificationPage::place(DesignLayout& grid)
{
    const auto caption = [&grid](QWidget* w, int x, int y, int width) {
        grid.place(w, x, y, width, 17);
        grid.requireHint(w);
    };
    caption(HashesLabel, 8, 8, 120);
    grid.place(HashesMemo, 8, 26, 417, 70);
    grid.place(VerifyProgressBar, 8, 104, 281, 21);
    grid.place(CopyHashesButton, 304, 102, 121, 25);
    grid.requireHint(CopyHashesButton);
    caption(TrimLabel, 8, 134, 120);
    grid.place(TrimMemo, 8, 152, 417, 44);
    caption(SecureAreaLabel, 8, 204, 120);
    grid.place(SecureAreaMemo, 8, 222, 417, 44);
    caption(DatVerdictLabel, 8, 274, 120);
    grid.place(DatVerdictMemo, 8, 292, 417, 64);
    grid.place(VerifyFolderButton, 8, 362, 97, 25);
    grid.requireHint(VerifyFolderButton);
    grid.place(AddDatButton, 8, 392, 97, 25);
    grid.requireHint(AddDatButton);
    grid.place(DatStatusMemo, 112, 364, 313, 53);
}

const core::DatSet& VerificationPage::dats() const
{
    return *m_dats;
}

void VerificationPage::startDatLoad()
{
    DatStatusMemo->setPlainText(
        QStringLiteral("Loading DATs from %1\u2026").arg(fromLocalPath(archive::datFolder())));
    // A folder of large DATs takes seconds to parse: never on this thread. A new load or
    // closing raises the cancel flag, which the loader asks between files, blocks and entries,
    // so their wait is short.
    m_datLoadRunning = true;
    m_datLoad.start([this, loader = m_datLoader](const BackgroundJob::Run& run) {
        auto loaded = std::make_shared<archive::DatFolderLoad>();
        try {
            *loaded = loader([&run] { return run.cancelled(); });
        } catch (const std::exception& e) {
            loaded->skipped.emplace_back(e.what()); // no memory, most likely
        }
        if (run.cancelled() || loaded->cancelled)
            return;
        run.deliver([this, loaded] { datsLoaded(*loaded); });
    });
}

void VerificationPage::stopDatLoad()
{
    m_datLoad.cancel();
    m_datLoadRunning = false;
}

void VerificationPage::datsLoaded(archive::DatFolderLoad& loaded)
{
    m_datLoad.finish(); // it has delivered its last
    m_datLoadRunning = false;
    m_dats = std::make_shared<const core::DatSet>(std::move(loaded.dats));
    m_skipped = std::move(loaded.skipped);
    m_datsLoaded = true;
    showDatStatus();
    for (const std::string& folder : std::exchange(m_pendingCollections, {}))
        openCollection(folder);
    // An image read meanwhile waited for them.
    if (m_sink && m_passDone)
        startMatch();
}

void VerificationPage::showDatStatus()
{
    const std::string folder = archive::datFolder();
    QString text =
        m_dats->empty()
            ? QStringLiteral("No DAT loaded: add No-Intro DATs to %1").arg(fromLocalPath(folder))
            : QStringLiteral("%1 DAT(s), %2 entries, from %3")
                  .arg(m_dats->dats().size())
                  .arg(m_dats->roms().size())
                  .arg(fromLocalPath(folder));
    for (const std::string& skipped : m_skipped)
        text += QStringLiteral("\nSkipped: ") + visible(core::withFullStop(skipped));
    DatStatusMemo->setPlainText(text);
}

std::vector<std::shared_ptr<core::ReadSink>> VerificationPage::startLoad()
{
    clear();
    // A DAT load still running belongs to the previous load: it starts again with this one.
    if (!m_datsLoaded)
        startDatLoad();
    // Every digest is computed, so the match may use DATs that arrive after the read.
    m_sink = std::make_shared<VerifierSink>(m_dats);
    return {m_sink};
}

void VerificationPage::passProgress(int percent)
{
    if (m_sink && !m_passDone)
        VerifyProgressBar->setValue(percent);
}

void VerificationPage::passFinished()
{
    if (!m_sink || m_passDone)
        return;
    m_passDone = true;
    VerifyProgressBar->setValue(100);
    if (m_datsLoaded)
        startMatch(); // else once they are
}

void VerificationPage::clear()
{
    stopMatch();
    m_sink.reset();
    m_passDone = false;
    for (QPlainTextEdit* m : {HashesMemo, TrimMemo, SecureAreaMemo, DatVerdictMemo})
        m->clear();
    showVerdictBackground(DatVerdictMemo, std::nullopt, face(this));
    VerifyProgressBar->setValue(0);
    CopyHashesButton->setEnabled(false);
}

void VerificationPage::stopMatch()
{
    m_match.cancel();
}

void VerificationPage::startMatch()
{
    std::shared_ptr<VerifierSink> sink = m_sink;
    std::shared_ptr<const core::DatSet> dats = m_dats;
    // Matching a trimmed image pads it virtually, up to its chip size: never on this thread.
    m_match.start([this, sink, dats](const BackgroundJob::Run& run) {
        std::optional<core::VerifyResult> result;
        std::string error;
        try {
            result = sink->verifier().resultAgainst(*dats, [&run] { return run.cancelled(); });
        } catch (const std::exception& e) {
            error = e.what();
        }
        if (!result && error.empty())
            return; // stopped
        run.deliver([this, result = std::move(result), error, dats, archive = sink->archive()] {
            if (result)
                showResult(*result, *dats, archive);
            else
                DatVerdictMemo->setPlainText(visible(core::withFullStop(error)));
        });
    });
}

void VerificationPage::showResult(const core::VerifyResult& r, const core::DatSet& dats,
                                  core::ArchiveKind archive)
{
    HashesMemo->setPlainText(hashesText(r.hashes));
    CopyHashesButton->setEnabled(true);
    // A file that is not a DS image has no trim state or secure area: its bytes there belong to
    // something else.
    const QString notImage = fromCoreText(core::notAnImageText(r.size));
    TrimMemo->setPlainText(r.head.image ? fromCoreText(core::trimText(r.trim)) : notImage);
    SecureAreaMemo->setPlainText(
        r.head.image ? fromCoreText(core::secureAreaFormText(r.head.secureAreaForm)) : notImage);
    QString verdict = visible(core::verdictText(r, dats));
    if (r.matches.size() > 1)
        verdict += QStringLiteral("\n%1 matching entries in all").arg(r.matches.size());
    const bool overTrimmed = r.head.image && r.trim.state == core::TrimState::OverTrimmed;
    if (overTrimmed)
        verdict += QStringLiteral("\nOver-trimmed: data is missing (bad dump)");
    if (!r.head.image && r.verdict != core::Verdict::NotAnImage)
        verdict += QStringLiteral("\n") + notImage;
    // First: the verdicts below were computed from an archive's bytes.
    if (archive != core::ArchiveKind::None)
        verdict = QStringLiteral("The file is %1, not an image\n")
                      .arg(fromCoreText(core::archiveKindText(archive))) +
                  verdict;
    DatVerdictMemo->setPlainText(verdict);
    const bool good =
        r.verdict == core::Verdict::Verified || r.verdict == core::Verdict::VerifiedTrimmed;
    const bool bad = r.verdict == core::Verdict::Mismatch || overTrimmed;
    const auto colour = [](core::Rgb c) { return std::optional(QColor(c.r, c.g, c.b)); };
    showVerdictBackground(DatVerdictMemo,
                          bad    ? colour(core::kBadDumpFoundColour)
                          : good ? colour(core::kBadDumpNotFoundColour)
                                 : std::nullopt,
                          face(this));
    Q_EMIT verdictShown();
}

void VerificationPage::CopyHashesButtonClick()
{
    QGuiApplication::clipboard()->setText(HashesMemo->toPlainText());
}

void VerificationPage::AddDatButtonClick()
{
    const std::vector<FileFilter> filters = {
        {QStringLiteral("DAT Files (*.dat, *.xml, *.zip)"),
         {QStringLiteral("*.dat"), QStringLiteral("*.xml"), QStringLiteral("*.zip")}},
        {QStringLiteral("All Files (*.*)"), {QStringLiteral("*")}}};
    const std::optional<QString> chosen = m_dialogs.getOpenFileName(this, filters);
    if (!chosen)
        return;
    try {
        archive::addDatToFolder(toLocalPath(*chosen), archive::datFolder());
    } catch (const std::exception& e) {
        m_dialogs.error(this, visible(core::withFullStop(e.what())));
        return;
    }
    // The folder is read again; the image already read is then matched again, against every
    // DAT now in it.
    m_datsLoaded = false;
    stopMatch();
    startDatLoad();
}

void VerificationPage::VerifyFolderButtonClick()
{
    const std::optional<QString> chosen = m_dialogs.getExistingDirectory(
        this, QStringLiteral("Verify Folder"),
        QStringLiteral("Every image, .zip and .7z below it is verified against the loaded DATs"),
        QString());
    if (!chosen)
        return;
    if (m_datsLoaded) {
        openCollection(toLocalPath(*chosen));
        return;
    }
    // The DATs are read at the first load; without one they are read now, and the window opens
    // once they are.
    m_pendingCollections.push_back(toLocalPath(*chosen));
    if (!m_datLoadRunning)
        startDatLoad();
}

void VerificationPage::openCollection(const std::string& folder)
{
    auto* window = new CollectionWindow(m_dialogs, m_dats, folder, m_itemScanner, this);
    connect(window, &CollectionWindow::openRequested, this, &VerificationPage::openImageRequested);
    window->show();
    Q_EMIT collectionOpened(window);
}

} // namespace cartscope::app
