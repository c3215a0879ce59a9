#include "app/narc_dialog.h"

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

// Member names come from the image: shown as plain text (list items never render markup) with
// invisible and reordering characters marked, the way the file list shows the tree's names.
QString shownName(const std::string& name)
{
    return fromCoreText(core::markInvisible(name));
}

QString noteFor(const core::NarcMember& m)
{
    if (!m.problem.empty())
        return fromCoreText(m.problem);
    if (m.compressed)
        return QStringLiteral("compressed");
    if (m.narc)
        return QStringLiteral("NARC");
    if (m.sdat)
        return QStringLiteral("SDAT");
    return {};
}

} // namespace

NarcDialog::NarcDialog(core::Narc narc, QWidget* parent) : QDialog(parent), m_narc(std::move(narc))
{
    createControls();
    connectControls();
    populateControls();
}

void NarcDialog::createControls()
{
    setObjectName(QStringLiteral("NarcDialog"));
    setWindowTitle(QStringLiteral("NARC Contents - ") + shownName(m_narc.path));
    setAttribute(Qt::WA_DeleteOnClose);
    NarcListView = new QTreeWidget(this);
    NarcListView->setObjectName(QStringLiteral("NarcListView"));
    NarcNotesLabel = new QLabel(this);
    NarcNotesLabel->setObjectName(QStringLiteral("NarcNotesLabel"));
    NarcNotesLabel->setTextFormat(Qt::PlainText);
    NarcNotesLabel->setWordWrap(true);
    NarcExtractButton = new QPushButton(QStringLiteral("Extract NARC Contents"), this);
    NarcExtractButton->setObjectName(QStringLiteral("NarcExtractButton"));
    NarcOpenButton = new QPushButton(QStringLiteral("Open Nested NARC"), this);
    NarcOpenButton->setObjectName(QStringLiteral("NarcOpenButton"));
    NarcPreviewButton = new QPushButton(QStringLiteral("Preview"), this);
    NarcPreviewButton->setObjectName(QStringLiteral("NarcPreviewButton"));
    NarcCloseButton = new QPushButton(QStringLiteral("Close"), this);
    NarcCloseButton->setObjectName(QStringLiteral("NarcCloseButton"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(NarcExtractButton);
    buttons->addWidget(NarcOpenButton);
    buttons->addWidget(NarcPreviewButton);
    buttons->addStretch();
    buttons->addWidget(NarcCloseButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(NarcListView);
    layout->addWidget(NarcNotesLabel);
    layout->addLayout(buttons);
}

void NarcDialog::connectControls()
{
    connect(NarcListView, &QTreeWidget::itemSelectionChanged, this, &NarcDialog::selectionChanged);
    connect(NarcExtractButton, &QPushButton::clicked, this,
            [this] { Q_EMIT extractRequested(m_narc); });
    connect(NarcOpenButton, &QPushButton::clicked, this, &NarcDialog::openNestedClick);
    connect(NarcPreviewButton, &QPushButton::clicked, this, &NarcDialog::previewRequested);
    connect(NarcListView, &QTreeWidget::itemDoubleClicked, this, &NarcDialog::NarcListViewDblClick);
    connect(NarcCloseButton, &QPushButton::clicked, this, &QDialog::close);
}

void NarcDialog::populateControls()
{
    NarcListView->setColumnCount(4);
    NarcListView->setHeaderLabels({QStringLiteral("Filename"), QStringLiteral("Offset"),
                                   QStringLiteral("Filesize"), QStringLiteral("Note")});
    NarcListView->setRootIsDecorated(false);
    NarcListView->setUniformRowHeights(true);
    NarcListView->setSelectionMode(QAbstractItemView::SingleSelection);
    NarcListView->setSelectionBehavior(QAbstractItemView::SelectRows);
    NarcListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    const std::vector<core::FileRow> rows = core::narcRows(m_narc);
    QList<QTreeWidgetItem*> items;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        items.append(new QTreeWidgetItem(
            // Members of a compressed archive are not in the image as they are: no offset.
            QStringList{shownName(rows[i].path),
                        m_narc.decompressed ? QStringLiteral("-")
                                            : fromCoreText(rows[i].offsetText()),
                        fromCoreText(rows[i].sizeText()), noteFor(m_narc.members[i])}));
    }
    NarcListView->addTopLevelItems(items);
    NarcListView->header()->resizeSections(QHeaderView::ResizeToContents);
    QString notes =
        QString::number(m_narc.members.size()) +
        (m_narc.members.size() == 1 ? QStringLiteral(" member") : QStringLiteral(" members")) +
        (m_narc.named ? QString() : QStringLiteral(", no names in the archive"));
    for (const std::string& note : m_narc.notes)
        notes += QStringLiteral("\n") + fromCoreText(note);
    NarcNotesLabel->setText(notes);
    NarcOpenButton->setEnabled(false);
    NarcPreviewButton->setEnabled(false);
    resize(520, 380);
}

int NarcDialog::selectedIndex() const
{
    const QList<QTreeWidgetItem*> selected = NarcListView->selectedItems();
    const int index = selected.isEmpty() ? -1 : NarcListView->indexOfTopLevelItem(selected[0]);
    return index >= 0 && static_cast<std::size_t>(index) < m_narc.members.size() ? index : -1;
}

void NarcDialog::selectionChanged()
{
    const int index = selectedIndex();
    const bool opens = index >= 0 && (m_narc.members[static_cast<std::size_t>(index)].narc ||
                                      m_narc.members[static_cast<std::size_t>(index)].sdat);
    NarcOpenButton->setEnabled(opens);
    NarcPreviewButton->setEnabled(index >= 0);
    if (index >= 0)
        Q_EMIT memberSelected();
}

// A member that is an archive opens in a dialog of its own; any other opens in the preview.
void NarcDialog::NarcListViewDblClick(QTreeWidgetItem* item)
{
    const int index = NarcListView->indexOfTopLevelItem(item);
    if (index < 0 || static_cast<std::size_t>(index) >= m_narc.members.size())
        return;
    const core::NarcMember& m = m_narc.members[static_cast<std::size_t>(index)];
    if (m.narc || m.sdat)
        openNestedClick();
    else
        Q_EMIT previewRequested();
}

std::optional<PreviewSource> NarcDialog::selectedPreview() const
{
    const int index = selectedIndex();
    if (index < 0)
        return std::nullopt;
    const core::NarcMember& member = m_narc.members[static_cast<std::size_t>(index)];
    PreviewSource source;
    source.path = m_narc.path + member.path;
    source.offset = member.offset;
    source.size = member.size;
    source.siblings = core::narcRows(m_narc);
    for (core::FileRow& row : source.siblings)
        row.path = m_narc.path + row.path;
    return source;
}

void NarcDialog::openNestedClick()
{
    const QList<QTreeWidgetItem*> selected = NarcListView->selectedItems();
    const int index = selected.isEmpty() ? -1 : NarcListView->indexOfTopLevelItem(selected[0]);
    if (index < 0)
        return;
    Q_EMIT openRequested(m_narc.path + m_narc.members[static_cast<std::size_t>(index)].path);
}

} // namespace cartscope::app
