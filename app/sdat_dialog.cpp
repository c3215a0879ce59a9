#include "app/sdat_dialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/qt_text.h"
#include "core/base/text.h"

namespace cartscope::app {

namespace {

// Entry names come from the archive: plain text with invisible characters marked.
QString shownName(const std::string& name)
{
    return fromCoreText(core::markInvisible(name));
}

} // namespace

SdatDialog::SdatDialog(core::Sdat sdat, QWidget* parent)
    : QDialog(parent), m_sdat(std::make_shared<const core::Sdat>(std::move(sdat)))
{
    createControls();
    connectControls();
    populateControls();
}

void SdatDialog::createControls()
{
    setObjectName(QStringLiteral("SdatDialog"));
    setWindowTitle(QStringLiteral("Sound Archive - ") + shownName(m_sdat->path));
    setAttribute(Qt::WA_DeleteOnClose);
    SdatListView = new QTreeWidget(this);
    SdatListView->setObjectName(QStringLiteral("SdatListView"));
    SdatNotesLabel = new QLabel(this);
    SdatNotesLabel->setObjectName(QStringLiteral("SdatNotesLabel"));
    SdatNotesLabel->setTextFormat(Qt::PlainText);
    SdatNotesLabel->setWordWrap(true);
    SdatExtractButton = new QPushButton(QStringLiteral("Extract Sound Archive"), this);
    SdatExtractButton->setObjectName(QStringLiteral("SdatExtractButton"));
    SdatPreviewButton = new QPushButton(QStringLiteral("Preview"), this);
    SdatPreviewButton->setObjectName(QStringLiteral("SdatPreviewButton"));
    SdatCloseButton = new QPushButton(QStringLiteral("Close"), this);
    SdatCloseButton->setObjectName(QStringLiteral("SdatCloseButton"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(SdatExtractButton);
    buttons->addWidget(SdatPreviewButton);
    buttons->addStretch();
    buttons->addWidget(SdatCloseButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(SdatListView);
    layout->addWidget(SdatNotesLabel);
    layout->addLayout(buttons);
}

void SdatDialog::connectControls()
{
    connect(SdatListView, &QTreeWidget::itemSelectionChanged, this, &SdatDialog::selectionChanged);
    connect(SdatExtractButton, &QPushButton::clicked, this,
            [this] { Q_EMIT extractRequested(*m_sdat); });
    connect(SdatPreviewButton, &QPushButton::clicked, this, &SdatDialog::previewRequested);
    connect(SdatListView, &QTreeWidget::itemDoubleClicked, this, &SdatDialog::previewRequested);
    connect(SdatCloseButton, &QPushButton::clicked, this, &QDialog::close);
}

void SdatDialog::populateControls()
{
    SdatListView->setColumnCount(4);
    SdatListView->setHeaderLabels({QStringLiteral("Filename"), QStringLiteral("Offset"),
                                   QStringLiteral("Filesize"), QStringLiteral("Note")});
    SdatListView->setRootIsDecorated(false);
    SdatListView->setUniformRowHeights(true);
    SdatListView->setSelectionMode(QAbstractItemView::SingleSelection);
    SdatListView->setSelectionBehavior(QAbstractItemView::SelectRows);
    SdatListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    QList<QTreeWidgetItem*> items;
    for (const core::SoundEntry& e : m_sdat->entries) {
        core::FileRow row;
        row.offset = static_cast<std::uint32_t>(e.offset);
        row.size = static_cast<std::int64_t>(e.size);
        // Entries of a compressed archive are not in the image as they are: no offset.
        items.append(new QTreeWidgetItem(
            QStringList{shownName(e.path),
                        m_sdat->decompressed ? QStringLiteral("-") : fromCoreText(row.offsetText()),
                        fromCoreText(row.sizeText()), fromCoreText(e.problem)}));
    }
    SdatListView->addTopLevelItems(items);
    SdatListView->header()->resizeSections(QHeaderView::ResizeToContents);
    QString notes =
        QString::number(m_sdat->entries.size()) +
        (m_sdat->entries.size() == 1 ? QStringLiteral(" entry") : QStringLiteral(" entries"));
    for (const std::string& note : m_sdat->notes)
        notes += QStringLiteral("\n") + fromCoreText(note);
    SdatNotesLabel->setText(notes);
    SdatPreviewButton->setEnabled(false);
    resize(560, 420);
}

int SdatDialog::selectedIndex() const
{
    const QList<QTreeWidgetItem*> selected = SdatListView->selectedItems();
    const int index = selected.isEmpty() ? -1 : SdatListView->indexOfTopLevelItem(selected[0]);
    return index >= 0 && static_cast<std::size_t>(index) < m_sdat->entries.size() ? index : -1;
}

void SdatDialog::selectionChanged()
{
    const int index = selectedIndex();
    SdatPreviewButton->setEnabled(index >= 0);
    if (index >= 0)
        Q_EMIT entrySelected();
}

std::optional<PreviewSource> SdatDialog::selectedPreview() const
{
    const int index = selectedIndex();
    if (index < 0)
        return std::nullopt;
    const core::SoundEntry& e = m_sdat->entries[static_cast<std::size_t>(index)];
    PreviewSource source;
    source.path = m_sdat->path + e.path;
    source.offset = e.offset;
    source.size = e.size;
    source.sdat = m_sdat;
    source.soundEntry = static_cast<std::size_t>(index);
    return source;
}

} // namespace cartscope::app
