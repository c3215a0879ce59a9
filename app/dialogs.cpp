#include "app/dialogs.h"

#include <QButtonGroup>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpacerItem>
#include <QVBoxLayout>

#include "app/polish.h"

namespace cartscope::app {

std::vector<FileFilter> openImageFilters()
{
    return {
        {"NDS Rom Files (*.nds;*.zip)", {"*.nds", "*.ids", "*.zip"}},
        {"Nintendo DS Rom Files (*.nds)", {"*.nds"}},
        {"iQueDS Rom Files (*.ids)", {"*.ids"}},
        {"Zip Files (*.zip)", {"*.zip"}},
        {"DSi Rom Files (*.dsi;*.srl)", {"*.dsi", "*.srl"}},
        {"7z Files (*.7z)", {"*.7z"}},
    };
}

FileFilter iconFilter()
{
    return {"Portable Network Graphics (*.png)", {"*.png"}};
}

FileFilter reportFilter()
{
    return {"Text Files (*.txt)", {"*.txt"}};
}

FileFilter imageSaveFilter()
{
    return {"Nintendo DS Rom Files (*.nds)", {"*.nds"}};
}

FileFilter patchFilter()
{
    return {"Patch Files (*.bps;*.ips)", {"*.bps", "*.ips"}};
}

namespace {

// "*.nds" -> "*.[nN][dD][sS]": Linux file systems are case-sensitive, the dialog's matching
// should not be, so GAME.NDS shows under "*.nds" as well.
QString anyCase(const QString& pattern)
{
    QString out;
    for (const QChar c : pattern) {
        if (c.isLetter() && c.toLower() != c.toUpper()) {
            out += QLatin1Char('[');
            out += c.toLower();
            out += c.toUpper();
            out += QLatin1Char(']');
        } else {
            out += c;
        }
    }
    return out;
}

QStringList qtFilterList(const std::vector<FileFilter>& filters)
{
    QStringList out;
    for (const FileFilter& f : filters)
        out << qtFilterString(f);
    return out;
}

} // namespace

QString qtFilterString(const FileFilter& filter)
{
    QStringList patterns;
    for (const QString& p : filter.patterns)
        patterns << anyCase(p);
    return filter.description + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
           QLatin1Char(')');
}

std::optional<QString> QtDialogs::getOpenFileName(QWidget* parent,
                                                  const std::vector<FileFilter>& filters)
{
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // AnyFile: a typed name that does not exist is handed on; opening it then reports why not.
    dialog.setFileMode(QFileDialog::AnyFile);
    // The descriptions already name their patterns; the bracketed Qt patterns stay hidden.
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    const QStringList list = qtFilterList(filters);
    dialog.setNameFilters(list);
    if (!list.isEmpty())
        dialog.selectNameFilter(list.front());
    if (!m_lastOpened.isEmpty())
        dialog.selectFile(m_lastOpened);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    m_lastOpened = dialog.selectedFiles().front();
    return m_lastOpened;
}

std::optional<QString> QtDialogs::getSaveFileName(QWidget* parent, const QString& initialPath,
                                                  const FileFilter& filter)
{
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setNameFilter(qtFilterString(filter));
    dialog.selectFile(initialPath);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().front();
}

std::optional<QString> QtDialogs::getExistingDirectory(QWidget* parent, const QString& title,
                                                       const QString& status,
                                                       const QString& startFolder)
{
    QFileDialog dialog(parent, title, startFolder);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    // Qt's own dialog, so the status line can be added under its controls; a platform dialog
    // has no place for it.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout())) {
        // The status line holds the image's internal name: plain text, never markup.
        auto* statusLabel = new QLabel(&dialog);
        statusLabel->setTextFormat(Qt::PlainText);
        statusLabel->setText(status);
        statusLabel->setObjectName(QStringLiteral("StatusLabel"));
        grid->addWidget(statusLabel, grid->rowCount(), 0, 1, grid->columnCount());
    } else {
        dialog.setWindowTitle(title + QLatin1Char(' ') + status);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().front();
}

// Message texts carry names from images and archives ("Cannot create file "%s". %s"), so they
// are shown as plain text: a box left to guess would take a name such as <img src="/dev/zero">
// for markup and load the file it names.
std::unique_ptr<QMessageBox> makeMessageBox(QWidget* parent, QMessageBox::Icon icon,
                                            const QString& caption, const QString& text,
                                            QMessageBox::StandardButtons buttons,
                                            QMessageBox::StandardButton defaultButton)
{
    auto box = std::make_unique<QMessageBox>(icon, caption, QString(), buttons, parent);
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    box->setDefaultButton(defaultButton);
    box->setWindowIcon(applicationIcon());
    // A box sized for a short text is narrower than its caption, and the window manager cuts
    // the caption ("Inf…ion"). A strut below the contents keeps the box as wide as the caption
    // plus room for the title bar's icon and buttons.
    if (auto* grid = qobject_cast<QGridLayout*>(box->layout())) {
        const QFontMetrics metrics(box->font());
        const int titleBar = metrics.height() * 8; // icon, close box and margins
        const int width = metrics.horizontalAdvance(caption) * 5 / 4 + titleBar;
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    return box;
}

namespace {

QMessageBox::StandardButton showBox(QWidget* parent, QMessageBox::Icon icon, const QString& caption,
                                    const QString& text, QMessageBox::StandardButtons buttons,
                                    QMessageBox::StandardButton defaultButton = QMessageBox::Ok)
{
    const std::unique_ptr<QMessageBox> box =
        makeMessageBox(parent, icon, caption, text, buttons, defaultButton);
    return static_cast<QMessageBox::StandardButton>(box->exec());
}

} // namespace

void QtDialogs::information(QWidget* parent, const QString& text)
{
    showBox(parent, QMessageBox::Information, QStringLiteral("Information"), text, QMessageBox::Ok);
}

void QtDialogs::error(QWidget* parent, const QString& text)
{
    showBox(parent, QMessageBox::Critical, QStringLiteral("Cartscope"), text, QMessageBox::Ok);
}

bool QtDialogs::question(QWidget* parent, const QString& text)
{
    return showBox(parent, QMessageBox::Question, QStringLiteral("Cartscope"), text,
                   QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

SaveChoice QtDialogs::askSaveChanges(QWidget* parent, const QString& text)
{
    const std::unique_ptr<QMessageBox> box = makeMessageBox(
        parent, QMessageBox::Question, QStringLiteral("Cartscope"), text,
        QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Cancel);
    box->button(QMessageBox::Save)->setText(QStringLiteral("Save\u2026"));
    box->button(QMessageBox::Discard)->setText(QStringLiteral("Discard"));
    box->button(QMessageBox::Cancel)->setText(QStringLiteral("Cancel"));
    box->setEscapeButton(QMessageBox::Cancel);
    switch (box->exec()) {
    case QMessageBox::Save:
        return SaveChoice::Save;
    case QMessageBox::Discard:
        return SaveChoice::Discard;
    default:
        return SaveChoice::Cancel;
    }
}

namespace {

// A group of radio buttons, the first checked, each button's id its index.
QButtonGroup* radioGroup(QDialog& dialog, QVBoxLayout* layout, const QString& title,
                         const char* name, const QStringList& captions)
{
    auto* box = new QGroupBox(title, &dialog);
    box->setObjectName(QString::fromLatin1(name));
    auto* inner = new QVBoxLayout(box);
    auto* group = new QButtonGroup(box);
    for (int i = 0; i < captions.size(); ++i) {
        auto* radio = new QRadioButton(captions[i], box);
        radio->setChecked(i == 0);
        group->addButton(radio, i);
        inner->addWidget(radio);
    }
    layout->addWidget(box);
    return group;
}

} // namespace

std::optional<OrganiseChoice> QtDialogs::getOrganiseChoice(QWidget* parent)
{
    QDialog dialog(parent);
    dialog.setObjectName(QStringLiteral("OrganiseDialog"));
    dialog.setWindowTitle(QStringLiteral("Organise"));
    auto* layout = new QVBoxLayout(&dialog);
    QButtonGroup* modes =
        radioGroup(dialog, layout, QStringLiteral("Place each dump"), "OrganiseModeGroup",
                   {QStringLiteral("Copy"), QStringLiteral("Move"), QStringLiteral("Link")});
    QButtonGroup* formats = radioGroup(
        dialog, layout, QStringLiteral("As"), "OrganiseFormatGroup",
        {QStringLiteral("Raw files"), QStringLiteral("Zip"), QStringLiteral("TorrentZip")});
    // A hard link is the dump's own file: never packed.
    QObject::connect(modes, &QButtonGroup::idToggled, &dialog, [formats](int id, bool on) {
        if (id != 2)
            return;
        if (on)
            formats->button(0)->setChecked(true);
        for (QAbstractButton* b : formats->buttons())
            b->setEnabled(!on || b == formats->button(0));
    });
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    constexpr archive::OrganiseMode kModes[] = {
        archive::OrganiseMode::Copy, archive::OrganiseMode::Move, archive::OrganiseMode::Link};
    constexpr archive::OrganiseFormat kFormats[] = {archive::OrganiseFormat::Raw,
                                                    archive::OrganiseFormat::Zip,
                                                    archive::OrganiseFormat::TorrentZip};
    return OrganiseChoice{kModes[modes->checkedId()], kFormats[formats->checkedId()]};
}

} // namespace cartscope::app
