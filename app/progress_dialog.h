#pragma once

#include <chrono>

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
    // A second pass over the files of the run (writing them again decompressed): the bar back at
    // 0 of `total`, at `done` after showFile; ExtractCancelled is left as it is.
    void restartBar(int total);
    void showProgress(int done);
    // Around the pending input handled after each file: the dialog's values are always current,
    // but it is painted at most every kPaintInterval (and when shown or hidden), however fast
    // the files go by. pacePainting lets the next paint through when one is due, holdPainting
    // holds every paint after it until the next one is due.
    void pacePainting();
    void holdPainting();
    void finish();

    bool ExtractCancelled = false;

    QLabel* ExtFileStaticText = nullptr;
    QLabel* ToFileStaticText = nullptr;
    QProgressBar* ExtProgBar = nullptr;
    QPushButton* Button1 = nullptr;

Q_SIGNALS:
    // Cancel was asked for (the button, Escape or the close box), at once: a run on another
    // thread is told without waiting for the next pause.
    void cancelRequested();

public Q_SLOTS:
    void Button1Click();
    // Escape: the same as Cancel; the dialog stays up until the file being copied is done.
    void reject() override;

private:
    static constexpr std::chrono::milliseconds kPaintInterval{50};
    std::chrono::steady_clock::time_point m_lastPaint{};

protected:
    // The close box cancels like the Cancel button (the run then ends after the current file).
    void closeEvent(QCloseEvent* event) override;
};

} // namespace cartscope::app
