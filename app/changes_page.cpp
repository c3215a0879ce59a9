// The "Changes" page: the pending replacements and the commands that write changed copies.

#include "app/changes_page.h"

#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>

#include "app/design_layout.h"
#include "app/qt_text.h"
#include "app/widgets.h"
#include "core/base/text.h"

namespace cartscope::app {

ChangesPage::ChangesPage(QWidget* parent) : QWidget(parent)
{
    createControls();
    connectControls();
    populateControls();
}

void ChangesPage::createControls()
{
    setObjectName(QStringLiteral("ChangesTabSheet"));
    PendingListView = named(new QTreeWidget(this), "PendingListView");
    SaveRomAsButton =
        named(new QPushButton(QStringLiteral("Save Rom As\u2026"), this), "SaveRomAsButton");
    FixChecksumsButton =
        named(new QPushButton(QStringLiteral("Fix Checksums\u2026"), this), "FixChecksumsButton");
    SaveTrimmedButton = named(new QPushButton(QStringLiteral("Save Trimmed Copy\u2026"), this),
                              "SaveTrimmedButton");
    SaveFullSizeButton = named(new QPushButton(QStringLiteral("Save Full-Size Copy\u2026"), this),
                               "SaveFullSizeButton");
    DiscardChangesButton =
        named(new QPushButton(QStringLiteral("Discard Changes"), this), "DiscardChangesButton");
    ApplyPatchButton =
        named(new QPushButton(QStringLiteral("Apply Patch\u2026"), this), "ApplyPatchButton");
}

void ChangesPage::connectControls()
{
    connect(SaveRomAsButton, &QPushButton::clicked, this, &ChangesPage::saveRomAsRequested);
    connect(FixChecksumsButton, &QPushButton::clicked, this, &ChangesPage::fixChecksumsRequested);
    connect(SaveTrimmedButton, &QPushButton::clicked, this, &ChangesPage::saveTrimmedRequested);
    connect(SaveFullSizeButton, &QPushButton::clicked, this, &ChangesPage::saveFullSizeRequested);
    connect(DiscardChangesButton, &QPushButton::clicked, this, &ChangesPage::discardRequested);
    connect(ApplyPatchButton, &QPushButton::clicked, this, &ChangesPage::applyPatchRequested);
}

void ChangesPage::populateControls()
{
    PendingListView->setColumnCount(3);
    PendingListView->setHeaderLabels(
        {QStringLiteral("File"), QStringLiteral("Old Size"), QStringLiteral("New Size")});
    PendingListView->setRootIsDecorated(false);
    PendingListView->setUniformRowHeights(true);
    PendingListView->setSelectionMode(QAbstractItemView::SingleSelection);
    PendingListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    PendingListView->setTextElideMode(Qt::ElideMiddle);
    PendingListView->header()->setStretchLastSection(false);
    PendingListView->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int column = 1; column < 3; ++column)
        PendingListView->headerItem()->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
    setState(false, false, true);
}

void ChangesPage::place(DesignLayout& grid)
{
    grid.place(PendingListView, 8, 8, 417, 313);
    grid.place(SaveRomAsButton, 8, 328, 201, 25);
    grid.place(FixChecksumsButton, 224, 328, 201, 25);
    grid.place(SaveTrimmedButton, 8, 360, 201, 25);
    grid.place(SaveFullSizeButton, 224, 360, 201, 25);
    grid.place(DiscardChangesButton, 8, 392, 201, 25);
    grid.place(ApplyPatchButton, 224, 392, 201, 25);
    for (QPushButton* button : {SaveRomAsButton, FixChecksumsButton, SaveTrimmedButton,
                                SaveFullSizeButton, DiscardChangesButton, ApplyPatchButton})
        grid.requireHint(button);
}

void ChangesPage::showPending(const std::vector<PendingReplacement>& pending)
{
    PendingListView->clear();
    QList<QTreeWidgetItem*> items;
    for (const PendingReplacement& p : pending) {
        auto* item = new QTreeWidgetItem(QStringList{fromCoreText(core::markInvisible(p.path)),
                                                     QString::number(p.oldSize),
                                                     QString::number(p.newSize)});
        item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
        items << item;
    }
    PendingListView->addTopLevelItems(items);
    m_hasPending = !pending.empty();
}

void ChangesPage::setState(bool imageHeld, bool checksumsBad, bool idle)
{
    const bool ready = imageHeld && idle;
    SaveRomAsButton->setEnabled(ready && m_hasPending);
    DiscardChangesButton->setEnabled(idle && m_hasPending);
    FixChecksumsButton->setEnabled(ready && checksumsBad);
    SaveTrimmedButton->setEnabled(ready);
    SaveFullSizeButton->setEnabled(ready);
    ApplyPatchButton->setEnabled(ready);
}

} // namespace cartscope::app
