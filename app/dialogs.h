#pragma once

#include <memory>
#include <optional>
#include <vector>

#include <QMessageBox>
#include <QString>
#include <QStringList>

#include "archive/organise_plan.h"

class QWidget;

namespace cartscope::app {

// One entry of a file dialog's filter list: the text the user reads and the name patterns.
struct FileFilter {
    QString description;
    QStringList patterns;
    friend bool operator==(const FileFilter&, const FileFilter&) = default;
};

// The open dialog's filters (the design's four, then DSi images), the first selected when it
// opens.
std::vector<FileFilter> openImageFilters();
FileFilter iconFilter();   // "Portable Network Graphics (*.png)"
FileFilter reportFilter(); // "Text Files (*.txt)"

FileFilter imageSaveFilter(); // "Nintendo DS Rom Files (*.nds)"
FileFilter patchFilter();     // "Patch Files (*.bps;*.ips)"

// The answer to "Save changes to NAME?".
enum class SaveChoice { Save, Discard, Cancel };

// How verified dumps are put in order: copied, moved or linked; as raw files, zip or TorrentZip
// archives (a link is always a raw file).
struct OrganiseChoice {
    archive::OrganiseMode mode = archive::OrganiseMode::Copy;
    archive::OrganiseFormat format = archive::OrganiseFormat::Raw;
    friend bool operator==(const OrganiseChoice&, const OrganiseChoice&) = default;
};

inline constexpr const char* kFolderPickerTitle =
    "Please Select A Directory To Extract The Rom Into:";

// The one seam between the window and every dialog and message box. The window owns one; the
// program installs QtDialogs, the tests a fake that records the calls and answers them, so no
// test ever leaves a modal box open. Paths are local 8-bit file names decoded as QString.
class Dialogs {
public:
    virtual ~Dialogs() = default;

    // Open dialog: a single file, which need not exist (the user may type any name); the
    // dialog starts at the file chosen last. Empty when the user cancels.
    virtual std::optional<QString> getOpenFileName(QWidget* parent,
                                                   const std::vector<FileFilter>& filters) = 0;
    // Save dialog starting at initialPath: no default extension, no question before replacing
    // an existing file. Empty when the user cancels.
    virtual std::optional<QString> getSaveFileName(QWidget* parent, const QString& initialPath,
                                                   const FileFilter& filter) = 0;
    // Folder picker with a title, a status line, a path edit, starting at startFolder (empty:
    // the default place). Empty when the user cancels.
    virtual std::optional<QString> getExistingDirectory(QWidget* parent, const QString& title,
                                                        const QString& status,
                                                        const QString& startFolder) = 0;
    // Information box: caption "Information", one OK button.
    virtual void information(QWidget* parent, const QString& text) = 0;
    // Error box: caption "Cartscope", error icon, one OK button. The text is shown as given.
    // Every box shows its text as plain text, never as markup.
    virtual void error(QWidget* parent, const QString& text) = 0;
    // Yes/No question (caption "Cartscope", No is the default button); true for Yes.
    virtual bool question(QWidget* parent, const QString& text) = 0;
    // The question before pending changes would be lost: caption "Cartscope", the buttons
    // "Save…", "Discard" and "Cancel" (the default; also the answer when the box is closed).
    virtual SaveChoice askSaveChanges(QWidget* parent, const QString& text) = 0;
    // The organise options (caption "Organise"): Copy, Move or Link, then Raw files, Zip or
    // TorrentZip; Copy and Raw selected when it opens. Empty when the user cancels.
    virtual std::optional<OrganiseChoice> getOrganiseChoice(QWidget* parent) = 0;
};

// The real dialogs over QFileDialog and QMessageBox.
class QtDialogs final : public Dialogs {
public:
    std::optional<QString> getOpenFileName(QWidget* parent,
                                           const std::vector<FileFilter>& filters) override;
    std::optional<QString> getSaveFileName(QWidget* parent, const QString& initialPath,
                                           const FileFilter& filter) override;
    std::optional<QString> getExistingDirectory(QWidget* parent, const QString& title,
                                                const QString& status,
                                                const QString& startFolder) override;
    void information(QWidget* parent, const QString& text) override;
    void error(QWidget* parent, const QString& text) override;
    bool question(QWidget* parent, const QString& text) override;
    SaveChoice askSaveChanges(QWidget* parent, const QString& text) override;
    std::optional<OrganiseChoice> getOrganiseChoice(QWidget* parent) override;

private:
    QString m_lastOpened; // the open dialog's starting point for its next use
};

// The message box QtDialogs shows (not yet shown): plain text, at least as wide as its caption.
std::unique_ptr<QMessageBox> makeMessageBox(QWidget* parent, QMessageBox::Icon icon,
                                            const QString& caption, const QString& text,
                                            QMessageBox::StandardButtons buttons,
                                            QMessageBox::StandardButton defaultButton);

// The filter as Qt's dialogs take it: the description, then the patterns in brackets (shown
// only to Qt, which hides them); every pattern matches its extension in any letter case.
QString qtFilterString(const FileFilter& filter);

} // namespace cartscope::app
