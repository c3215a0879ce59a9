// The real dialog seam: what the Qt dialogs show. Each dialog is inspected and closed from a
// timer while it runs, so no box stays open.

#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
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
    void organiseChoiceOffersModesAndFormats();
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

// The organise options: Copy and Raw at first; Link takes the raw form only; the answer is the
// buttons checked when OK is pressed, none when the dialog is cancelled.
void DialogsTest::organiseChoiceOffersModesAndFormats()
{
    using cartscope::archive::OrganiseFormat;
    using cartscope::archive::OrganiseMode;
    const auto radios = [](QDialog* dialog, const char* group) {
        return dialog->findChild<QGroupBox*>(QString::fromLatin1(group))
            ->findChildren<QRadioButton*>();
    };
    const auto answer = [&](const std::function<void(QDialog*)>& pick, bool accept) {
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dialog) {
                QFAIL("no dialog is up");
                return;
            }
            pick(dialog);
            accept ? dialog->accept() : dialog->reject();
        });
        cartscope::app::QtDialogs dialogs;
        return dialogs.getOrganiseChoice(nullptr);
    };
    bool linkKeepsRawOnly = false;
    const auto chosen = answer(
        [&](QDialog* d) {
            QCOMPARE(d->windowTitle(), QStringLiteral("Organise"));
            QVERIFY(radios(d, "OrganiseModeGroup")[0]->isChecked());
            QVERIFY(radios(d, "OrganiseFormatGroup")[0]->isChecked());
            radios(d, "OrganiseFormatGroup")[2]->setChecked(true);
            radios(d, "OrganiseModeGroup")[2]->setChecked(true); // Link
            const auto formats = radios(d, "OrganiseFormatGroup");
            linkKeepsRawOnly = formats[0]->isChecked() && formats[0]->isEnabled() &&
                               !formats[1]->isEnabled() && !formats[2]->isEnabled();
            radios(d, "OrganiseModeGroup")[1]->setChecked(true); // Move
            radios(d, "OrganiseFormatGroup")[2]->setChecked(true);
        },
        true);
    QVERIFY(chosen);
    QVERIFY(*chosen ==
            (cartscope::app::OrganiseChoice{OrganiseMode::Move, OrganiseFormat::TorrentZip}));
    QVERIFY(linkKeepsRawOnly);
    QVERIFY(!answer([](QDialog*) {}, false));
}

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
