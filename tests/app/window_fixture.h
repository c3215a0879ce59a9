#pragma once

// What every window test shares: a fake dialog seam that records each call and answers from
// queues, a window built over it, and small helpers to find controls by name and to write
// images and archives.

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QDropEvent>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMimeData>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>

#include "app/dialogs.h"
#include "app/main_window.h"
#include "tests/fixture/image_builder.h"

namespace cartscope::apptest {

namespace fixture = cartscope::fixture;
using fixture::Bytes;
using fixture::ImageBuilder;
using fixture::Node;

struct DialogCall {
    // "open", "save", "folder", "information", "error", "question", "saveChanges", "organise"
    QString kind;
    QString title;
    QString text; // status line, message text or initial path
    QString start;
    std::vector<app::FileFilter> filters;
};

class FakeDialogs final : public app::Dialogs {
public:
    std::vector<DialogCall> calls;
    std::deque<std::optional<QString>> openAnswers;
    std::deque<std::optional<QString>> saveAnswers;
    std::deque<std::optional<QString>> folderAnswers;
    std::deque<bool> questionAnswers;                // No when empty
    std::deque<app::SaveChoice> saveChangesAnswers;  // Cancel when empty
    std::deque<app::OrganiseChoice> organiseAnswers; // cancelled when empty
    QStringList informations;
    QStringList errors;

    std::optional<QString> getOpenFileName(QWidget*,
                                           const std::vector<app::FileFilter>& filters) override
    {
        calls.push_back({"open", {}, {}, {}, filters});
        return next(openAnswers);
    }
    std::optional<QString> getSaveFileName(QWidget*, const QString& initialPath,
                                           const app::FileFilter& filter) override
    {
        calls.push_back({"save", {}, initialPath, initialPath, {filter}});
        return next(saveAnswers);
    }
    std::optional<QString> getExistingDirectory(QWidget*, const QString& title,
                                                const QString& status,
                                                const QString& startFolder) override
    {
        calls.push_back({"folder", title, status, startFolder, {}});
        return next(folderAnswers);
    }
    void information(QWidget*, const QString& text) override
    {
        calls.push_back({"information", {}, text, {}, {}});
        informations << text;
    }
    void error(QWidget*, const QString& text) override
    {
        calls.push_back({"error", {}, text, {}, {}});
        errors << text;
    }
    bool question(QWidget*, const QString& text) override
    {
        calls.push_back({"question", {}, text, {}, {}});
        if (questionAnswers.empty())
            return false;
        const bool yes = questionAnswers.front();
        questionAnswers.pop_front();
        return yes;
    }

    app::SaveChoice askSaveChanges(QWidget*, const QString& text) override
    {
        calls.push_back({"saveChanges", {}, text, {}, {}});
        if (saveChangesAnswers.empty())
            return app::SaveChoice::Cancel;
        const app::SaveChoice answer = saveChangesAnswers.front();
        saveChangesAnswers.pop_front();
        return answer;
    }

    std::optional<app::OrganiseChoice> getOrganiseChoice(QWidget*) override
    {
        calls.push_back({"organise", {}, {}, {}, {}});
        if (organiseAnswers.empty())
            return std::nullopt;
        const app::OrganiseChoice answer = organiseAnswers.front();
        organiseAnswers.pop_front();
        return answer;
    }

    int count(const QString& kind) const
    {
        int n = 0;
        for (const DialogCall& c : calls)
            n += c.kind == kind ? 1 : 0;
        return n;
    }
    const DialogCall* last(const QString& kind) const
    {
        for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
            if (it->kind == kind)
                return &*it;
        }
        return nullptr;
    }

private:
    static std::optional<QString> next(std::deque<std::optional<QString>>& answers)
    {
        if (answers.empty())
            return std::nullopt; // an unexpected dialog is cancelled
        // Taken apart rather than copied whole: g++ 12 at -O3 warns (falsely) that a copied
        // optional<QString> may be used uninitialised.
        const bool given = answers.front().has_value();
        QString value = given ? *answers.front() : QString();
        answers.pop_front();
        if (!given)
            return std::nullopt;
        return value;
    }
};

// The real main window over a fake seam (the window owns the fake).
class Window {
public:
    Window()
    {
        auto fake = std::make_unique<FakeDialogs>();
        dialogs = fake.get();
        form = std::make_unique<app::TForm1>(std::move(fake));
    }

    template <class T> T* child(const char* name) const
    {
        T* widget = form->findChild<T*>(QString::fromLatin1(name));
        if (!widget)
            qFatal("no control named %s", name);
        return widget;
    }
    QString text(const char* editName) const { return child<QLineEdit>(editName)->text(); }

    // Opens the file and lets the load's whole-file read (the CRC-32, on a background thread)
    // run to its end, as a user who waits for the values would.
    void open(const std::string& path)
    {
        form->openFile(path);
        waitForReadPass();
    }
    void waitForReadPass()
    {
        QElapsedTimer timer;
        timer.start();
        while (form->readPassRunning() && timer.elapsed() < 30000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }

    // A drop of these local files on a control of the window (the window itself when none is
    // named), through the real drag-enter and drop events: the toolkit offers the drag to the
    // control under the cursor and then to its parents, and delivers the drop only to the one
    // that accepted the drag's entry. The data carries the paths as text as well, as file
    // managers send them. Returns whether the drag was accepted; the drop has been handled
    // when it returns.
    bool drop(const QStringList& paths, QWidget* onto = nullptr)
    {
        QList<QUrl> urls;
        for (const QString& p : paths)
            urls << QUrl::fromLocalFile(p);
        QMimeData mime;
        mime.setUrls(urls);
        mime.setText(paths.join(QLatin1Char('\n')));
        QWidget* target = onto ? onto : form.get();
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        QCoreApplication::sendEvent(target, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent event(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &event);
        // The window applies the drop rule once the drop event has returned.
        QCoreApplication::sendPostedEvents(form.get(), QEvent::MetaCall);
        return true;
    }

    FakeDialogs* dialogs = nullptr;
    std::unique_ptr<app::TForm1> form;
};

inline QString q(const std::string& s)
{
    return QString::fromStdString(s);
}

// A typical image: internal name MYGAME, serial NTR-ASME-USA, the sample banner and a tree of
// a root file and two directory levels.
inline ImageBuilder sampleImage(const std::string& title = "MYGAME")
{
    ImageBuilder b;
    b.title(title).gameCode("ASME").makerCode("01").banner(fixture::sampleBanner());
    b.root({Node::file("icon.bin", fixture::Bytes(100, 0x11)),
            Node::dir("data", {Node::dir("sound", {Node::file("bgm.sdat", "music data")}),
                               Node::file("big.bin", fixture::Bytes(3000, 0x22))}),
            Node::file("empty.bin", fixture::Bytes{})});
    return b;
}

inline std::string writeImage(const fixture::TempDir& dir, const std::string& name,
                              const ImageBuilder& builder)
{
    const std::string path = dir.file(name);
    builder.writeTo(path);
    return path;
}

// Every regular file below a folder, as paths relative to it, sorted.
// The texts of one column of a list, top to bottom.
inline QStringList column(QTreeWidget* list, int c)
{
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        out << list->topLevelItem(i)->text(c);
    return out;
}

inline QStringList filesBelow(const std::string& folder)
{
    QStringList out;
    std::error_code ec;
    if (!std::filesystem::exists(folder, ec))
        return out;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ec)) {
        if (entry.is_regular_file())
            out << q(std::filesystem::relative(entry.path(), folder).string());
    }
    out.sort();
    return out;
}

} // namespace cartscope::apptest
