// Page "Rom Info", header side: the value fields rendered from the one field table, the CRC-16
// verdicts, the card size in the locale's digits and "Save Info To:".

#include "app/rom_info_page.h"

#include <array>
#include <stdexcept>
#include <variant>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTextEdit>

#include "app/design_layout.h"
#include "app/eliding.h"
#include "app/icon_view.h"
#include "app/polish.h"
#include "app/qt_text.h"
#include "app/widgets.h"
#include "core/base/text.h"

namespace cartscope::app {

namespace {

QColor toQColor(core::Rgb c)
{
    return {c.r, c.g, c.b};
}

} // namespace

RomInfoPage::RomInfoPage(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("RomInfoTabSheet"));
    createValueControls();
    createBannerControls();
    connectControls();
    populateControls();
}

void RomInfoPage::createValueControls()
{
    const auto labelled = [this](QWidget* parent, const char* caption, const char* name) {
        auto* edit = readOnlyEdit(parent, name);
        auto* label = new QLabel(QString::fromLatin1(caption), parent);
        label->setBuddy(edit);
        m_editLabels.emplace_back(label, edit);
        return edit;
    };
    IntNameEdit = labelled(this, "Internal Name", "IntNameEdit");
    FileSizeEdit = labelled(this, "Filesize", "FileSizeEdit");
    SerialEdit = labelled(this, "Serial Code", "SerialEdit");
    CardSizeEdit = labelled(this, "Card Size", "CardSizeEdit");
    CRC32Edit = labelled(this, "File CRC32", "CRC32Edit");
    MakerCodeEdit = labelled(this, "Maker", "MakerCodeEdit");
    MakerNameEdit = readOnlyEdit(this, "MakerNameEdit");
    BadDumpCodeEdit = labelled(this, "Rom Dumper v1.0 Bad Data", "BadDumpCodeEdit");

    CodesGroupBox = named(new QGroupBox(QStringLiteral("Codes"), this), "CodesGroupBox");
    DeviceCodeEdit = labelled(CodesGroupBox, "Device", "DeviceCodeEdit");
    VersionCodeEdit = labelled(CodesGroupBox, "Version", "VersionCodeEdit");
    UnitCodeEdit = labelled(CodesGroupBox, "Unit", "UnitCodeEdit");

    CRC16GroupBox = named(new QGroupBox(QStringLiteral("CRC16"), this), "CRC16GroupBox");
    ExpSecAreaCRC16Edit = labelled(CRC16GroupBox, "Secure Area", "ExpSecAreaCRC16Edit");
    ActSecAreaCRC16Edit = readOnlyEdit(CRC16GroupBox, "ActSecAreaCRC16Edit");
    SecAreaCheckEdit = readOnlyEdit(CRC16GroupBox, "SecAreaCheckEdit");
    ExpLogoCRC16Edit = labelled(CRC16GroupBox, "Logo", "ExpLogoCRC16Edit");
    ActLogoCRC16Edit = readOnlyEdit(CRC16GroupBox, "ActLogoCRC16Edit");
    LogoCheckEdit = readOnlyEdit(CRC16GroupBox, "LogoCheckEdit");
    ExpHeaderCRC16Edit = labelled(CRC16GroupBox, "Header", "ExpHeaderCRC16Edit");
    ActHeaderCRC16Edit = readOnlyEdit(CRC16GroupBox, "ActHeaderCRC16Edit");
    HeaderCheckEdit = readOnlyEdit(CRC16GroupBox, "HeaderCheckEdit");
    // The value fields, found by the names the one field table gives them.
    for (std::size_t i = 0; i < core::kHeaderFields.size(); ++i) {
        m_valueEdits[i] = findChild<QLineEdit*>(QLatin1String(core::kHeaderFields[i].control));
        if (!m_valueEdits[i])
            throw std::logic_error(std::string("no field ") + core::kHeaderFields[i].control);
    }

    SaveInfoButton =
        named(new QPushButton(QStringLiteral("Save Info To:"), this), "SaveInfoButton");
    SaveToFileRadioButton =
        named(new QRadioButton(QStringLiteral("Text File"), this), "SaveToFileRadioButton");
    SaveToClipRadioButton =
        named(new QRadioButton(QStringLiteral("Clipboard"), this), "SaveToClipRadioButton");
}

void RomInfoPage::connectControls()
{
    connect(SaveInfoButton, &QPushButton::clicked, this, &RomInfoPage::saveInfoRequested);
    connect(SaveIconButton, &QPushButton::clicked, this, &RomInfoPage::saveIconRequested);
    // toggled, not clicked: a change made by the program runs the handler as well.
    connect(IconTransparencyCheckBox, &QCheckBox::toggled, this,
            &RomInfoPage::iconTransparencyToggled);
    connect(IconAnimateCheckBox, &QCheckBox::toggled, this, &RomInfoPage::IconAnimateCheckBoxClick);
}

void RomInfoPage::populateControls()
{
    const QColor face = palette().color(QPalette::Button);
    for (QLineEdit* edit : findChildren<QLineEdit*>())
        setBackground(edit, face);
    BadDumpCodeEdit->setReadOnly(false);
    // The one editable field would take a dropped file's path as text; a file dropped on it
    // goes to the window, as a drop on any other control does.
    BadDumpCodeEdit->setAcceptDrops(false);

    SaveInfoButton->setEnabled(false);
    SaveToFileRadioButton->setChecked(true);
    SaveToFileRadioButton->setEnabled(false);
    SaveToClipRadioButton->setEnabled(false);
    SaveIconButton->setEnabled(false);
    IconTransparencyCheckBox->setChecked(false);
    IconTransparencyCheckBox->setEnabled(false);

    for (QTextEdit* view : LangTntRichEdits) {
        view->setReadOnly(true);
        view->setAcceptRichText(false);
        view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        view->setLineWrapMode(QTextEdit::WidgetWidth);
        setBackground(view, face);
    }
    for (QTextEdit* view : m_extraTitleEdits) {
        view->setReadOnly(true);
        view->setAcceptRichText(false);
        view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        view->setLineWrapMode(QTextEdit::WidgetWidth);
        setBackground(view, face);
    }
    IconAnimateCheckBox->setChecked(false);
    IconAnimateCheckBox->setEnabled(false);
    LangPageControl->setCurrentIndex(1); // "English"
}

void RomInfoPage::place(DesignLayout& grid)
{
    placeValueControls(grid);
    placeLabels(grid);
    placeBannerControls(grid);
}

// Sample values are the widest texts the fields show in practice.
void RomInfoPage::placeValueControls(DesignLayout& grid)
{
    const auto row = [&grid](QLineEdit* edit, int x, int y, int width, const QString& sample) {
        grid.place(edit, x, y, width, 21);
        grid.requireText(edit, sample);
    };
    row(IntNameEdit, 96, 16, 105, QStringLiteral("ABCDEFGHIJKL"));
    row(FileSizeEdit, 264, 16, 153, QStringLiteral("4096Mbit (536870912 bytes)"));
    row(SerialEdit, 96, 48, 105, QStringLiteral("NTR-ABCD-USA"));
    row(CardSizeEdit, 264, 48, 153, QStringLiteral("4096Mbit (536870912 bytes) (0Ch)"));
    row(CRC32Edit, 96, 80, 105, QStringLiteral("FFFFFFFF"));
    row(MakerCodeEdit, 264, 80, 33, QStringLiteral("AF"));
    row(MakerNameEdit, 304, 80, 113, QStringLiteral("Square Enix"));
    row(BadDumpCodeEdit, 160, 112, 257, QString::fromLatin1(core::kBadDumpNotFoundText));

    grid.place(CodesGroupBox, 16, 144, 121, 105);
    grid.requireTitleRoom(CodesGroupBox, 20);
    row(DeviceCodeEdit, 64, 20, 33, QStringLiteral("FF"));
    row(VersionCodeEdit, 64, 44, 33, QStringLiteral("FF"));
    row(UnitCodeEdit, 64, 68, 33, QStringLiteral("FF"));

    grid.place(CRC16GroupBox, 160, 144, 257, 105);
    grid.requireTitleRoom(CRC16GroupBox, 20);
    const std::array<std::array<QLineEdit*, 3>, 3> crcRows = {{
        {ExpSecAreaCRC16Edit, ActSecAreaCRC16Edit, SecAreaCheckEdit},
        {ExpLogoCRC16Edit, ActLogoCRC16Edit, LogoCheckEdit},
        {ExpHeaderCRC16Edit, ActHeaderCRC16Edit, HeaderCheckEdit},
    }};
    for (std::size_t i = 0; i < crcRows.size(); ++i) {
        const int top = 20 + 24 * static_cast<int>(i);
        row(crcRows[i][0], 88, top, 49, QStringLiteral("FFFF"));
        row(crcRows[i][1], 144, top, 49, QStringLiteral("FFFF"));
        row(crcRows[i][2], 200, top, 33, QStringLiteral("BAD"));
    }

    grid.place(SaveInfoButton, 16, 268, 97, 25);
    grid.requireHint(SaveInfoButton);
    grid.place(SaveToFileRadioButton, 120, 264, 73, 17);
    grid.requireHint(SaveToFileRadioButton);
    grid.place(SaveToClipRadioButton, 120, 280, 73, 17);
    grid.requireHint(SaveToClipRadioButton);
}

// Each label stands left of its edit, in the room between the left margin (or the previous
// control of the row) and the edit.
void RomInfoPage::placeLabels(DesignLayout& grid)
{
    const auto label = [&grid, this](QLineEdit* edit, int left, int right, int top) {
        for (const auto& [caption, buddy] : m_editLabels) {
            if (buddy != edit)
                continue;
            caption->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            grid.place(caption, left, top, right - left, 21);
            grid.requireHint(caption);
        }
    };
    label(IntNameEdit, 16, 92, 16);
    label(FileSizeEdit, 212, 260, 16);
    label(SerialEdit, 16, 92, 48);
    label(CardSizeEdit, 212, 260, 48);
    label(CRC32Edit, 16, 92, 80);
    label(MakerCodeEdit, 212, 260, 80);
    label(BadDumpCodeEdit, 16, 156, 112);
    label(DeviceCodeEdit, 8, 60, 20);
    label(VersionCodeEdit, 8, 60, 44);
    label(UnitCodeEdit, 8, 60, 68);
    label(ExpSecAreaCRC16Edit, 8, 84, 20);
    label(ExpLogoCRC16Edit, 8, 84, 44);
    label(ExpHeaderCRC16Edit, 8, 84, 68);
}

// One switch over the kinds of value: a name from the image has its invisible and reordering
// characters marked, the card size takes the locale's decimal separator, and each verdict
// (the three CRC-16 checks, the bad-dump search) is coloured by what it found.
void RomInfoPage::showValues(const core::HeaderValues& v)
{
    const QColor face = palette().color(QPalette::Button);
    const std::string decimalPoint = localeDecimalPoint();
    for (std::size_t i = 0; i < core::kHeaderFields.size(); ++i) {
        const core::HeaderField& field = core::kHeaderFields[i];
        const core::FieldValue value = field.get(v);
        const std::string text = core::valueText(field.kind, value, decimalPoint);
        QLineEdit* edit = m_valueEdits[i];
        switch (field.kind) {
        case core::ValueKind::Name:
            edit->setText(fromCoreText(core::markInvisible(text)));
            break;
        case core::ValueKind::Check:
        case core::ValueKind::BadDump: {
            edit->setText(fromCoreText(text));
            // A check passed, or the bad-dump pattern not found: green; else red.
            const bool good = std::get<bool>(value) == (field.kind == core::ValueKind::Check);
            showVerdictBackground(
                edit, toQColor(good ? core::kBadDumpNotFoundColour : core::kBadDumpFoundColour),
                face);
            break;
        }
        default:
            edit->setText(fromCoreText(text));
        }
    }
    for (std::size_t i = 0; i < LangTntRichEdits.size() && i < v.titles.size(); ++i)
        LangTntRichEdits[i]->setPlainText(
            QString::fromStdU16String(core::markInvisible(v.titles[i])));
    // Long values show from their start.
    for (QLineEdit* edit : findChildren<QLineEdit*>())
        edit->setCursorPosition(0);
}

void RomInfoPage::showCrc32Progress(int percent)
{
    CRC32Edit->setText(QStringLiteral("Computing\u2026 %1%").arg(percent));
}

void RomInfoPage::showCrc32(const std::string& text)
{
    CRC32Edit->setText(fromCoreText(text));
    CRC32Edit->setCursorPosition(0);
}

void RomInfoPage::clear()
{
    for (std::size_t i = 0; i < core::kHeaderFields.size(); ++i) {
        m_valueEdits[i]->clear();
        const core::ValueKind kind = core::kHeaderFields[i].kind;
        if (kind == core::ValueKind::Check || kind == core::ValueKind::BadDump)
            showVerdictBackground(m_valueEdits[i], std::nullopt, palette().color(QPalette::Button));
    }
    SaveInfoButton->setEnabled(false);
    SaveToFileRadioButton->setEnabled(false);
    SaveToClipRadioButton->setEnabled(false);
    clearBanner();
}

void RomInfoPage::setSaveInfoEnabled(bool enabled)
{
    SaveInfoButton->setEnabled(enabled);
    SaveToFileRadioButton->setEnabled(enabled);
    SaveToClipRadioButton->setEnabled(enabled);
}

bool RomInfoPage::saveToFile() const
{
    return SaveToFileRadioButton->isChecked();
}

std::vector<QWidget*> RomInfoPage::jobControls() const
{
    return {SaveInfoButton, SaveToFileRadioButton, SaveToClipRadioButton, SaveIconButton};
}

} // namespace cartscope::app
