#include "app/progress_dialog.h"

#include <algorithm>

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "app/design_layout.h"
#include "app/eliding.h"

namespace cartscope::app {

namespace {

// Plain text always: the paths shown come from the image, and a label left to guess would render
// a name such as <img src="/dev/zero"> as markup and load the file it names (a FIFO blocks, a
// device is read without end).
QLabel* sunkenLabel(QWidget* parent, const QString& text, Qt::Alignment alignment)
{
    // Paths longer than the label are drawn cut in the middle, the whole path as a tool tip.
    auto* label = new ElidingLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setAlignment(alignment | Qt::AlignVCenter);
    return label;
}

} // namespace

TForm2::TForm2(QWidget* parent) : QDialog(parent)
{
    // Create.
    setObjectName(QStringLiteral("TForm2"));
    setWindowTitle(QStringLiteral("Extracting..."));
    setModal(false);
    auto* extractingLabel = sunkenLabel(this, QStringLiteral("Extracting File:"), Qt::AlignHCenter);
    auto* toLabel = sunkenLabel(this, QStringLiteral("To File:"), Qt::AlignHCenter);
    ExtFileStaticText = sunkenLabel(this, QString(), Qt::AlignLeft);
    ExtFileStaticText->setObjectName(QStringLiteral("ExtFileStaticText"));
    ToFileStaticText = sunkenLabel(this, QString(), Qt::AlignLeft);
    ToFileStaticText->setObjectName(QStringLiteral("ToFileStaticText"));
    ExtProgBar = new QProgressBar(this);
    ExtProgBar->setObjectName(QStringLiteral("ExtProgBar"));
    Button1 = new QPushButton(QStringLiteral("Cancel"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setAutoDefault(false);

    // Connect.
    connect(Button1, &QPushButton::clicked, this, &TForm2::Button1Click);

    // Populate.
    ExtProgBar->setRange(0, 1);
    ExtProgBar->setValue(0);
    ExtProgBar->setTextVisible(false);
    DesignLayout grid;
    grid.place(extractingLabel, 8, 8, 89, 17);
    grid.place(toLabel, 8, 32, 89, 17);
    grid.place(ExtFileStaticText, 104, 8, 273, 17);
    grid.place(ToFileStaticText, 104, 32, 273, 17);
    grid.place(ExtProgBar, 8, 56, 289, 25);
    grid.place(Button1, 304, 56, 75, 25);
    grid.requireHint(extractingLabel);
    grid.requireHint(toLabel);
    grid.requireSize(ExtFileStaticText, QSize(0, ExtFileStaticText->fontMetrics().height() + 2));
    grid.requireHint(Button1);
    grid.apply();
    setFixedSize(grid.x(385), grid.y(89));
}

void TForm2::start(int total)
{
    ExtractCancelled = false;
    setUpdatesEnabled(true);
    m_lastPaint = {};
    ExtFileStaticText->clear();
    ToFileStaticText->clear();
    // A range of 0..0 would turn the bar into a busy indicator; an empty run shows 0 of 1.
    ExtProgBar->setRange(0, std::max(total, 1));
    ExtProgBar->setValue(0);
    if (parentWidget()) {
        const QRect owner = parentWidget()->frameGeometry();
        move(owner.center() - rect().center());
    }
    show();
}

void TForm2::showFile(const QString& relativePath, const QString& fullPath)
{
    ExtFileStaticText->setText(relativePath);
    ToFileStaticText->setText(fullPath);
}

void TForm2::advance()
{
    ExtProgBar->setValue(ExtProgBar->value() + 1);
}

void TForm2::restartBar(int total)
{
    setUpdatesEnabled(true);
    ExtProgBar->setRange(0, std::max(total, 1));
    ExtProgBar->setValue(0);
}

void TForm2::showProgress(int done)
{
    ExtProgBar->setValue(done);
}

void TForm2::pacePainting()
{
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastPaint < kPaintInterval)
        return;
    // Enabling schedules one paint of everything that changed since the last one.
    setUpdatesEnabled(true);
    m_lastPaint = now;
}

void TForm2::holdPainting()
{
    // Input (the Cancel button) is handled all the same; only painting waits.
    setUpdatesEnabled(false);
}

void TForm2::finish()
{
    setUpdatesEnabled(true);
    hide();
}

void TForm2::Button1Click()
{
    ExtractCancelled = true;
    Q_EMIT cancelRequested();
}

void TForm2::reject()
{
    Button1Click();
}

void TForm2::closeEvent(QCloseEvent* event)
{
    Button1Click();
    event->ignore();
}

} // namespace cartscope::app
