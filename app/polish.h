#pragma once

#include <optional>

#include <QColor>
#include <QIcon>
#include <QStyledItemDelegate>

namespace cartscope::app {

// The application icon: the installed theme's "cartscope" icon, else the PNGs built into the
// program (drawn from data/icons/cartscope.svg).
QIcon applicationIcon();

// Qt's file dialogs keep their history in the user's QtProject.conf; the program keeps no
// state, so the toolkit's settings are sent where nothing can be written. Call once, after the
// application object exists and before any dialog.
void keepNoToolkitSettings();

// Gives a field the light green or red background of a verdict with black text on it, under
// every palette (a dark theme's light text is unreadable there); without a verdict, `face`
// with the text colour of the field's parent, as the other fields have.
void showVerdictBackground(QWidget* field, const std::optional<QColor>& verdict,
                           const QColor& face);

// `colour`, moved towards black on a light `base` or towards white on a dark one just as far as
// it takes to stand 4.5:1 (WCAG contrast) from it; black or white always do.
QColor readableOn(const QColor& colour, const QColor& base);

// The file list's cells: offsets and sizes right-aligned, names elided in the middle with the
// whole path as a tool tip when they do not fit.
class FileListDelegate final : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // The option a cell is drawn with (for the tests).
    QStyleOptionViewItem cellOption(const QStyleOptionViewItem& base,
                                    const QModelIndex& index) const;
    // Whether the cell's text is cut at its column's current width.
    bool isClipped(const QAbstractItemView* view, const QModelIndex& index) const;

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

} // namespace cartscope::app
