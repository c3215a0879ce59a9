#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <QWidget>

class QPushButton;
class QTreeWidget;

namespace cartscope::app {

class DesignLayout;

// One replacement waiting to be written: the file as the list names it, the file holding its
// new bytes, and both sizes.
struct PendingReplacement {
    std::string path;
    std::string source;
    std::uint64_t oldSize = 0;
    std::uint64_t newSize = 0;
};

// The "Changes" page: the replacements waiting for "Save Rom As…", and the commands that write
// a changed copy of the open image (trimmed, full size, checksums fixed, patched). The page
// shows and asks; the window runs the writes.
class ChangesPage final : public QWidget {
    Q_OBJECT
public:
    explicit ChangesPage(QWidget* parent = nullptr);

    // The grid rectangles of the page's controls, in the window's design units.
    void place(DesignLayout& grid);

    void showPending(const std::vector<PendingReplacement>& pending);
    // Which commands the state allows: an image is held, its checksums need fixing, nothing
    // runs.
    void setState(bool imageHeld, bool checksumsBad, bool idle);

Q_SIGNALS:
    void saveRomAsRequested();
    void fixChecksumsRequested();
    void saveTrimmedRequested();
    void saveFullSizeRequested();
    void discardRequested();
    void applyPatchRequested();

private:
    void createControls();
    void connectControls();
    void populateControls();

    bool m_hasPending = false;

    QTreeWidget* PendingListView = nullptr;
    QPushButton* SaveRomAsButton = nullptr;
    QPushButton* FixChecksumsButton = nullptr;
    QPushButton* SaveTrimmedButton = nullptr;
    QPushButton* SaveFullSizeButton = nullptr;
    QPushButton* DiscardChangesButton = nullptr;
    QPushButton* ApplyPatchButton = nullptr;
};

} // namespace cartscope::app
