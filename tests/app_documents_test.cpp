#include "app/Controls.h"
#include "app/MemoEdit.h"
#include "app/Unit1.h"
#include "keying/Keyer.h"
#include "tests/support/AppFixture.h"
#include "tests/support/PersistenceTestSupport.h"

#include <QAction>
#include <QDir>
#include <QDropEvent>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QUrl>

namespace quindle {
namespace {

using Kind = ScriptedDialogs::Kind;

// QApplication does not pass on a drop event sent outside a drag of the window system, so the
// test hands it to the window's event handler, where the window system's delivery ends too.
struct EventAccess : QWidget {
    using QWidget::event;
};

// The document commands on the real main window: menus, Clear Screen and drops from the desktop.
class DocumentWindow : public AppFixture {
protected:
    QString path(const QString& name) const { return dir.filePath(name); }

    // A drop of local files onto the window, as the desktop delivers it.
    void drop(const QStringList& paths)
    {
        QList<QUrl> urls;
        for (const QString& p : paths)
            urls << QUrl::fromLocalFile(p);
        QMimeData mime;
        mime.setUrls(urls);
        QDropEvent event(QPointF(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        bool (QWidget::*deliver)(QEvent*) = &EventAccess::event;
        (static_cast<QWidget&>(morse()).*deliver)(&event);
        morse().processMessages();
    }
};

TEST_F(DocumentWindow, FileMenuAndClearScreen)
{
    TMorse& m = morse();
    showMorse();
    ASSERT_TRUE(test::writeFileBytes(path("in.txt"), "one\ntwo"));
    QTest::keyClicks(m.Memo, QStringLiteral("abc"));
    ASSERT_TRUE(m.Memo->modified());

    dialogs.answerConfirm(Answer::Yes);
    dialogs.chooseSave(path("out.txt"));
    m.mnuNew->trigger();
    EXPECT_EQ(test::readFileBytes(path("out.txt")), QByteArray("abc"));
    EXPECT_TRUE(m.Memo->text().isEmpty());
    EXPECT_FALSE(m.Memo->modified());

    dialogs.chooseOpen(path("in.txt"));
    m.mnuOpen->trigger();
    EXPECT_EQ(m.Memo->text(), QStringLiteral("one\r\ntwo"));
    EXPECT_FALSE(m.Memo->modified());

    QTest::keyClicks(m.Memo, QStringLiteral("x"));
    dialogs.chooseSave(path("copy.txt"));
    m.mnuSaveAs->trigger();
    EXPECT_EQ(test::readFileBytes(path("copy.txt")), m.Memo->text().toLatin1());
    EXPECT_TRUE(m.Memo->modified());

    dialogs.answerConfirm(Answer::No);
    QTest::mouseClick(m.btnClear, Qt::LeftButton);
    EXPECT_TRUE(m.Memo->text().isEmpty());
    EXPECT_EQ(dialogs.kinds(),
              (std::vector<Kind>{Kind::Confirm, Kind::Save, Kind::Open, Kind::Save, Kind::Confirm}));
    EXPECT_EQ(dialogs.confirmTexts(),
              (QStringList{QStringLiteral("Save Text?"), QStringLiteral("Save Text?")}));
    // The save offered by New and Save As share one dialog, which remembers its name.
    EXPECT_EQ(dialogs.asked()[3].fileName, path("out.txt"));
}

TEST_F(DocumentWindow, DropOfThreeFilesLoadsOnlyTheFirst)
{
    TMorse& m = morse();
    showMorse();
    ASSERT_TRUE(test::writeFileBytes(path("first.txt"), "first\rfile"));
    ASSERT_TRUE(test::writeFileBytes(path("second.txt"), "second"));
    ASSERT_TRUE(test::writeFileBytes(path("third.txt"), "third"));
    drop({path("first.txt"), path("second.txt"), path("third.txt")});
    EXPECT_EQ(m.Memo->text(), QStringLiteral("first\r\nfile"));
    EXPECT_FALSE(m.Memo->modified());
    EXPECT_TRUE(dialogs.asked().empty());
}

TEST_F(DocumentWindow, DroppedFolderShowsTheErrorAndKeepsTheMemo)
{
    TMorse& m = morse();
    showMorse();
    ASSERT_TRUE(QDir().mkdir(path("folder")));
    QTest::keyClicks(m.Memo, QStringLiteral("typed"));

    dialogs.answerConfirm(Answer::Cancel);
    drop({path("folder")});
    EXPECT_EQ(m.Memo->text(), QStringLiteral("typed"));
    EXPECT_TRUE(m.Memo->modified());

    dialogs.answerConfirm(Answer::No);
    drop({path("folder")});
    EXPECT_TRUE(m.Memo->text().isEmpty());

    m.Memo->setText(QStringLiteral("kept"));
    drop({path("folder")});
    EXPECT_EQ(m.Memo->text(), QStringLiteral("kept"));
    EXPECT_EQ(dialogs.confirmTexts(),
              (QStringList{QStringLiteral("Save Current Text?"), QStringLiteral("Save Current Text?")}));
    const QString error = QStringLiteral("Cannot open file \"%1\". Is a directory.").arg(path("folder"));
    EXPECT_EQ(dialogs.errorTexts(), (QStringList{error, error}));
}

TEST_F(DocumentWindow, DropDuringALettersRunReplacesTheTextTheRunGoesOnWith)
{
    TMorse& m = morse();
    m.mnuSoundcard->trigger(); // silent routes keep the timeline simple
    ASSERT_TRUE(test::writeFileBytes(path("in.txt"), "loaded\n"));
    // The run raised the modified flag, so the drop asks; the run is held while it does.
    dialogs.answerConfirm(Answer::No);
    clock.at(800, [&] { drop({path("in.txt")}); });
    clock.at(4000, [&] { m.btnStop->click(); });
    m.btnLetters->click(); // returns when the run has ended
    const QString text = m.Memo->text();
    EXPECT_TRUE(text.startsWith(QStringLiteral("loaded\r\n"))) << text.toStdString();
    EXPECT_GT(text.size(), 8);
    EXPECT_EQ(dialogs.confirmTexts(), QStringList{QStringLiteral("Save Current Text?")});
    EXPECT_FALSE(m.keyer().isBusy());
}

} // namespace
} // namespace quindle
