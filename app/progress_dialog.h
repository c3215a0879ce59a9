#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

namespace cartscope::app {

// "Extracting...": the non-modal progress dialog of a whole-tree extraction. Its Cancel button
// sets ExtractCancelled, which the extraction loop tests before each file.
class TForm2 final : public QDialog {
    Q_OBJECT
public:
    explicit TForm2(QWidget* parent = nullptr);

    // Clears ExtractCancelled, shows the dialog over its owner, bar at 0 of `total` files.
    void start(int total);
    void showFile(const QString& relativePath, const QString& fullPath);
    void advance();
    void finish();

    bool ExtractCancelled = false;

    QLabel* ExtFileStaticText = nullptr;
    QLabel* ToFileStaticText = nullptr;
    QProgressBar* ExtProgBar = nullptr;
    QPushButton* Button1 = nullptr;

public Q_SLOTS:
    void Button1Click();
    // Escape: the same as Cancel; the dialog stays up until the file being copied is done.
    void reject() override;

protected:
    // The close box cancels like the Cancel button (the run then ends after the current file).
    void closeEvent(QCloseEvent* event) override;
};

} // namespace cartscope::app
