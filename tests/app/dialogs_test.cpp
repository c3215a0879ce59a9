// The real dialog seam: what the Qt dialogs show. Each dialog is inspected and closed from a
// timer while it runs, so no box stays open.

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QTimer>

#include "tests/app/window_fixture.h"

using namespace cartscope::apptest;

namespace {

// Runs `inspect` on the modal dialog once it is up, then cancels it.
void whenModal(const std::function<void(QFileDialog*)>& inspect)
{
    QTimer::singleShot(0, [inspect] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            QFAIL("no file dialog is up");
            return;
        }
        inspect(dialog);
        dialog->reject();
    });
}

} // namespace

class DialogsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void openDialogShowsTheDescriptions();
    void folderPickerShowsTitleAndStatus();
};

void DialogsTest::openDialogShowsTheDescriptions()
{
    cartscope::app::QtDialogs dialogs;
    QStringList shown;
    whenModal([&](QFileDialog* dialog) {
        const auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        QVERIFY(types);
        for (int i = 0; i < types->count(); ++i)
            shown << types->itemText(i);
        QCOMPARE(dialog->fileMode(), QFileDialog::AnyFile);
    });
    QVERIFY(!dialogs.getOpenFileName(nullptr, cartscope::app::openImageFilters()));
    QCOMPARE(shown, (QStringList{"NDS Rom Files (*.nds;*.zip)", "Nintendo DS Rom Files (*.nds)",
                                 "iQueDS Rom Files (*.ids)", "Zip Files (*.zip)",
                                 "DSi Rom Files (*.dsi;*.srl)", "7z Files (*.7z)"}));
}

void DialogsTest::folderPickerShowsTitleAndStatus()
{
    fixture::TempDir dir;
    cartscope::app::QtDialogs dialogs;
    bool inspected = false;
    whenModal([&](QFileDialog* dialog) {
        inspected = true;
        QCOMPARE(dialog->windowTitle(), QString::fromLatin1(cartscope::app::kFolderPickerTitle));
        const auto* status = dialog->findChild<QLabel*>(QStringLiteral("StatusLabel"));
        QVERIFY(status);
        QCOMPARE(status->text(), QStringLiteral("A New SubDir 'MYGAME' Will Be Created Here"));
        QCOMPARE(QDir(dialog->directory()).absolutePath(), q(dir.path()));
        if (qEnvironmentVariableIsSet("CARTSCOPE_TEST_GRAB"))
            dialog->grab().save(qEnvironmentVariable("CARTSCOPE_TEST_GRAB") + "-folder.png");
    });
    QVERIFY(!dialogs.getExistingDirectory(
        nullptr, QString::fromLatin1(cartscope::app::kFolderPickerTitle),
        QStringLiteral("A New SubDir 'MYGAME' Will Be Created Here"), q(dir.path())));
    QVERIFY(inspected);
}

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
