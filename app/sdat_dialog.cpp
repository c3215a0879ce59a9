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

SdatDialog::SdatDialog(core::Sdat sdat, QWidget* parent) : QDialog(parent), m_sdat(std::move(sdat))
{
    createControls();
    connectControls();
    populateControls();
}

void SdatDialog::createControls()
{
    setObjectName(QStringLiteral("SdatDialog"));
    setWindowTitle(QStringLiteral("Sound Archive - ") + shownName(m_sdat.path));
    setAttribute(Qt::WA_DeleteOnClose);
    SdatListView = new QTreeWidget(this);
    SdatListView->setObjectName(QStringLiteral("SdatListView"));
    SdatNotesLabel = new QLabel(this);
    SdatNotesLabel->setObjectName(QStringLiteral("SdatNotesLabel"));
    SdatNotesLabel->setTextFormat(Qt::PlainText);
    SdatNotesLabel->setWordWrap(true);
    SdatExtractButton = new QPushButton(QStringLiteral("Extract Sound Archive"), this);
    SdatExtractButton->setObjectName(QStringLiteral("SdatExtractButton"));
    SdatCloseButton = new QPushButton(QStringLiteral("Close"), this);
    SdatCloseButton->setObjectName(QStringLiteral("SdatCloseButton"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(SdatExtractButton);
    buttons->addStretch();
    buttons->addWidget(SdatCloseButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(SdatListView);
    layout->addWidget(SdatNotesLabel);
    layout->addLayout(buttons);
}

void SdatDialog::connectControls()
{
    connect(SdatExtractButton, &QPushButton::clicked, this,
            [this] { Q_EMIT extractRequested(m_sdat); });
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
    for (const core::SoundEntry& e : m_sdat.entries) {
        core::FileRow row;
        row.offset = static_cast<std::uint32_t>(e.offset);
        row.size = static_cast<std::int64_t>(e.size);
        items.append(new QTreeWidgetItem(
            QStringList{shownName(e.path), fromCoreText(row.offsetText()),
                        fromCoreText(row.sizeText()), fromCoreText(e.problem)}));
    }
    SdatListView->addTopLevelItems(items);
    SdatListView->header()->resizeSections(QHeaderView::ResizeToContents);
    QString notes =
        QString::number(m_sdat.entries.size()) +
        (m_sdat.entries.size() == 1 ? QStringLiteral(" entry") : QStringLiteral(" entries"));
    for (const std::string& note : m_sdat.notes)
        notes += QStringLiteral("\n") + fromCoreText(note);
    SdatNotesLabel->setText(notes);
    resize(560, 420);
}

} // namespace cartscope::app
