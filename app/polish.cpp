// The window's finish, applied once its controls are built: the "..." button as a real button
// with the Open key, the first focus and the window icon; and the helpers the pages finish
// their own controls with (verdict colours, readable colours, the file list's cells). Display
// only: nothing here changes a value that the report, the export or the extraction reads.

#include "app/polish.h"

#include <algorithm>
#include <cmath>

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QLineEdit>
#include <QSettings>
#include <QTabWidget>
#include <QToolButton>
#include <QToolTip>

#include "app/eliding.h"
#include "app/main_window.h"
#include "core/interpret.h"

namespace cartscope::app {

QIcon applicationIcon()
{
    QIcon builtIn;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        builtIn.addFile(QStringLiteral(":/icons/hicolor/%1x%1/apps/cartscope.png").arg(size),
                        QSize(size, size));
    return QIcon::fromTheme(QStringLiteral("cartscope"), builtIn);
}

void keepNoToolkitSettings()
{
    // There is no switch for it: QFileDialog writes its history through QSettings as it goes
    // away. "/dev/null/" can be no one's folder, not even root's, so every such write fails
    // quietly and no file is ever made.
    for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, QStringLiteral("/dev/null"));
}

void showVerdictBackground(QWidget* field, const std::optional<QColor>& verdict, const QColor& face)
{
    QPalette p = field->palette();
    p.setColor(QPalette::Base, verdict.value_or(face));
    const QWidget* parent = field->parentWidget();
    p.setColor(QPalette::Text, verdict  ? QColor(Qt::black)
                               : parent ? parent->palette().color(QPalette::Text)
                                        : QApplication::palette(field).color(QPalette::Text));
    field->setPalette(p);
}

namespace {

// WCAG 2 relative luminance and contrast ratio.
double luminance(const QColor& c)
{
    const auto linear = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

double contrast(const QColor& a, const QColor& b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

} // namespace

QColor readableOn(const QColor& colour, const QColor& base)
{
    constexpr double kMinimum = 4.5;
    // Below this luminance white stands out more than black, above it black does; the one of
    // them that does reaches at least 4.58:1.
    const QColor target = luminance(base) > 0.179 ? QColor(Qt::black) : QColor(Qt::white);
    if (contrast(colour, base) >= kMinimum)
        return colour;
    constexpr int kSteps = 20;
    for (int step = 1; step < kSteps; ++step) {
        const double t = static_cast<double>(step) / kSteps;
        const QColor mixed = QColor::fromRgbF(
            static_cast<float>(colour.redF() + (target.redF() - colour.redF()) * t),
            static_cast<float>(colour.greenF() + (target.greenF() - colour.greenF()) * t),
            static_cast<float>(colour.blueF() + (target.blueF() - colour.blueF()) * t));
        if (contrast(mixed, base) >= kMinimum)
            return mixed;
    }
    return target;
}

void FileListDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    if (index.column() == 0) {
        option->textElideMode = Qt::ElideMiddle;
    } else {
        option->displayAlignment = Qt::AlignRight | Qt::AlignVCenter;
    }
}

QStyleOptionViewItem FileListDelegate::cellOption(const QStyleOptionViewItem& base,
                                                  const QModelIndex& index) const
{
    QStyleOptionViewItem option = base;
    initStyleOption(&option, index);
    return option;
}

bool FileListDelegate::isClipped(const QAbstractItemView* view, const QModelIndex& index) const
{
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.rect = view->visualRect(index);
    initStyleOption(&option, index);
    const QStyle* style = view->style();
    const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &option, view);
    // The item view keeps a focus-frame margin plus one pixel on each side of the text.
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
    return option.fontMetrics.horizontalAdvance(option.text) > textRect.width() - 2 * margin;
}

bool FileListDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                 const QStyleOptionViewItem& option, const QModelIndex& index)
{
    if (event->type() == QEvent::ToolTip && index.column() == 0 && isClipped(view, index)) {
        QToolTip::showText(event->globalPos(), plainToolTip(index.data().toString()), view);
        return true;
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}

void TForm1::polishControls()
{
    // "..." is the only way to a file besides a drop: a framed button with the standard Open
    // key (Ctrl+O). It still takes no focus from the fields.
    OpenRomSpeedButton->setAutoRaise(false);
    OpenRomSpeedButton->setShortcut(QKeySequence::Open);
    OpenRomSpeedButton->setToolTip(
        QStringLiteral("Open a cartridge image (%1)")
            .arg(QKeySequence(QKeySequence::Open).toString(QKeySequence::NativeText)));

    // A path is cut in the middle, so its file name stays in view.
    if (auto* path = qobject_cast<ElidingLineEdit*>(FNameEdit))
        path->setElideMode(Qt::ElideMiddle);

    // The first focus is on the pages, not on the read-only path, so Ctrl+Tab turns them.
    PageControl->setFocus();

    setWindowIcon(applicationIcon());
}

} // namespace cartscope::app
