#include "app/Fonts.h"
#include "app/QtDialogs.h"
#include "tests/support/ModalWindows.h"
#include "tests/support/ScriptedDialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <memory>

namespace quindle {
namespace {

QPushButton* buttonWithText(QMessageBox* box, const QString& text)
{
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() == text)
            return qobject_cast<QPushButton*>(button);
    }
    return nullptr;
}

TEST(ErrorBoxTextTest, FullStopOnlyAfterCharactersAboveTheFullStop)
{
    const std::pair<const char*, const char*> cases[] = {
        {"abc", "abc."},
        {"x.", "x."},
        {"x!", "x!"},  // '!' comes before '.'
        {"x/", "x/."}, // '/' comes after '.'
        {"x-", "x-"},  // '-' comes just before '.'
        {"x)", "x)"},
        {"", ""},
        {"Cannot open file \"C:\\a.txt\". Not found", "Cannot open file \"C:\\a.txt\". Not found."},
        {"7", "7."},
        {"x ", "x "},
    };
    for (const auto& [text, shown] : cases)
        EXPECT_EQ(errorBoxText(QString::fromUtf8(text)), QString::fromUtf8(shown)) << text;
    EXPECT_EQ(errorBoxText(QStringLiteral("Fehler: \u00fc")), QStringLiteral("Fehler: \u00fc."));
}

class QtDialogsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { installFontSubstitutions(); }

    void SetUp() override
    {
        ASSERT_TRUE(folder.isValid());
        window = std::make_unique<QWidget>();
        window->resize(300, 200);
        window->show();
        dialogs = std::make_unique<QtDialogs>(window.get());
    }

    QString path(const QString& name) const { return QDir(folder.path()).filePath(name); }

    QTemporaryDir folder;
    std::unique_ptr<QWidget> window;
    std::unique_ptr<QtDialogs> dialogs;
    QObject context;
};

TEST_F(QtDialogsTest, ConfirmationBoxLooksAndAnswersAsSpecified)
{
    struct Case {
        const char* name;
        std::function<void(QMessageBox*)> press;
        Answer expected;
    };
    const Case cases[] = {
        {"Yes", [](QMessageBox* box) { buttonWithText(box, QStringLiteral("&Yes"))->click(); }, Answer::Yes},
        {"No", [](QMessageBox* box) { buttonWithText(box, QStringLiteral("&No"))->click(); }, Answer::No},
        {"Cancel", [](QMessageBox* box) { buttonWithText(box, QStringLiteral("Cancel"))->click(); },
         Answer::Cancel},
        {"Enter", [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Return); }, Answer::Yes},
        {"Esc", [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); }, Answer::Cancel},
        {"close", [](QMessageBox* box) { box->close(); }, Answer::Cancel},
        {"minimised", [](QMessageBox* box) { box->setWindowState(Qt::WindowMinimized); }, Answer::Cancel},
        {"Alt+N", [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_N, Qt::AltModifier); }, Answer::No},
    };
    for (const Case& c : cases) {
        bool inspected = false;
        whenModal<QMessageBox>(&context, [&](QMessageBox* box) {
            inspected = true;
            EXPECT_EQ(box->windowTitle(), "Confirm");
            EXPECT_EQ(box->text(), "Save Text?");
            EXPECT_EQ(box->icon(), QMessageBox::Question);
            QStringList texts;
            for (QAbstractButton* button : box->buttons())
                texts << button->text();
            texts.sort();
            EXPECT_EQ(texts, QStringList({"&No", "&Yes", "Cancel"}));
            EXPECT_EQ(box->defaultButton(), buttonWithText(box, QStringLiteral("&Yes")));
            const QPoint screenCentre = box->screen()->geometry().center();
            EXPECT_LE((box->geometry().center() - screenCentre).manhattanLength(), 2);
            c.press(box);
        });
        EXPECT_EQ(dialogs->confirm(QStringLiteral("Save Text?")), c.expected) << c.name;
        EXPECT_TRUE(inspected) << c.name;
    }
}

TEST_F(QtDialogsTest, ConfirmationBoxStaysCentredWhenTheMainWindowMoves)
{
    window->move(0, 0);
    QPoint first;
    whenModal<QMessageBox>(&context, [&](QMessageBox* box) {
        first = box->pos();
        box->close();
    });
    dialogs->confirm(QStringLiteral("Save Current Text?"));
    window->move(400, 300);
    QPoint second;
    whenModal<QMessageBox>(&context, [&](QMessageBox* box) {
        second = box->pos();
        box->close();
    });
    dialogs->confirm(QStringLiteral("Save Current Text?"));
    EXPECT_EQ(first, second);
}

TEST_F(QtDialogsTest, ErrorBoxIsTitledWithTheApplicationAndEndsInAFullStop)
{
    bool inspected = false;
    whenModal<QMessageBox>(&context, [&](QMessageBox* box) {
        inspected = true;
        EXPECT_EQ(box->windowTitle(), "QuindleII");
        EXPECT_EQ(box->icon(), QMessageBox::Critical);
        EXPECT_EQ(box->text(), "Text exceeds memo capacity.");
        ASSERT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->standardButton(box->buttons().first()), QMessageBox::Ok);
        QTest::keyClick(box, Qt::Key_Return);
    });
    dialogs->error(QStringLiteral("Text exceeds memo capacity"));
    EXPECT_TRUE(inspected);
}

// Types name into the file dialog and presses Enter.
void typeFileName(QFileDialog* dialog, const QString& name)
{
    auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(edit, nullptr);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, name);
    QTest::keyClick(edit, Qt::Key_Return);
}

TEST_F(QtDialogsTest, OpenDialogTakesATypedNameAsItIs)
{
    // A missing name, a file without an extension, a named pipe, a device: none gains ".txt".
    QFile readme(path(QStringLiteral("README")));
    ASSERT_TRUE(readme.open(QIODevice::WriteOnly));
    readme.close();
    ASSERT_EQ(::mkfifo(QFile::encodeName(path(QStringLiteral("fifo"))).constData(), 0600), 0);
    for (const QString& typed : {path(QStringLiteral("missing")), path(QStringLiteral("README")),
                                 path(QStringLiteral("fifo")), QStringLiteral("/dev/zero")}) {
        QString offered;
        whenModal<QFileDialog>(&context, [&](QFileDialog* dialog) {
            EXPECT_EQ(dialog->nameFilters(), QStringList({"Text Files (*.txt)"}));
            EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptOpen);
            EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
            auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            offered = edit->text();
            // Set whole: typed, a full path would open the completer's list, which takes the Enter.
            edit->setText(typed);
            QTest::keyClick(edit, Qt::Key_Return);
        });
        QString fileName = path(QStringLiteral("last.txt"));
        ASSERT_TRUE(dialogs->executeOpen(fileName)) << typed.toStdString();
        EXPECT_EQ(offered, "last.txt");
        EXPECT_EQ(QFileInfo(fileName).absoluteFilePath(), QFileInfo(typed).absoluteFilePath());
    }
    EXPECT_FALSE(QFile::exists(path(QStringLiteral("missing"))));
}

TEST_F(QtDialogsTest, CancelledFileDialogsLeaveTheNameAlone)
{
    for (const bool save : {false, true}) {
        whenModal<QFileDialog>(&context,
                               [](QFileDialog* dialog) { QTest::keyClick(dialog, Qt::Key_Escape); });
        QString fileName = path(QStringLiteral("kept.txt"));
        EXPECT_FALSE(save ? dialogs->executeSave(fileName) : dialogs->executeOpen(fileName));
        EXPECT_EQ(fileName, path(QStringLiteral("kept.txt")));
    }
}

TEST_F(QtDialogsTest, SaveDialogReplacesAnExistingFileWithoutAsking)
{
    QFile existing(path(QStringLiteral("notes.txt")));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.close();

    QString title;
    whenModal<QFileDialog>(&context, [&](QFileDialog* dialog) {
        EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
        EXPECT_EQ(dialog->nameFilters(), QStringList({"Text Files (*.txt)"}));
        title = dialog->windowTitle();
        // An overwrite question would be a modal box on top of the dialog: answer it and fail.
        QTimer question;
        QObject::connect(&question, &QTimer::timeout, &context, [dialog] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                ADD_FAILURE() << "asked \"" << box->text().toStdString() << "\"";
                box->reject();
                dialog->reject();
            }
        });
        question.start(5);
        typeFileName(dialog, QStringLiteral("notes"));
    });
    QString fileName = path(QStringLiteral("other.txt"));
    ASSERT_TRUE(dialogs->executeSave(fileName));
    EXPECT_EQ(title, QFileDialog::tr("Save As")); // the toolkit's own title
    EXPECT_EQ(QFileInfo(fileName).absoluteFilePath(), QFileInfo(existing).absoluteFilePath());
}

TEST_F(QtDialogsTest, SaveDialogKeepsAGivenExtension)
{
    whenModal<QFileDialog>(&context,
                           [](QFileDialog* dialog) { typeFileName(dialog, QStringLiteral("log.text")); });
    QString fileName;
    ASSERT_TRUE(dialogs->executeSave(fileName));
    EXPECT_TRUE(fileName.endsWith(QStringLiteral("/log.text"))) << fileName.toStdString();
}

TEST_F(QtDialogsTest, FontDialogOffersNoEffectsAndStartsWithTheGivenFont)
{
    QString shownFamily;
    int shownSize = 0;
    whenModal<QFontDialog>(&context, [&](QFontDialog* dialog) {
        for (QCheckBox* box : dialog->findChildren<QCheckBox*>())
            EXPECT_FALSE(box->isVisibleTo(dialog)) << box->text().toStdString();
        shownFamily = dialog->currentFont().family();
        shownSize = dialog->currentFont().pointSize();
        dialog->accept();
    });
    FontChoice font{kCourierNew, 9, false, false};
    ASSERT_TRUE(dialogs->executeFont(font));
    EXPECT_EQ(shownFamily, "Liberation Mono");
    EXPECT_EQ(shownSize, 9);
    // Kept as it was: the substituted name survives a confirmed dialog.
    EXPECT_EQ(font, (FontChoice{kCourierNew, 9, false, false}));
}

TEST_F(QtDialogsTest, FontDialogReturnsTheChosenFont)
{
    whenModal<QFontDialog>(&context, [](QFontDialog* dialog) {
        QFont chosen(QStringLiteral("Liberation Serif"), 14, QFont::Bold, true);
        dialog->setCurrentFont(chosen);
        dialog->accept();
    });
    FontChoice font{kCourierNew, 9, false, false};
    ASSERT_TRUE(dialogs->executeFont(font));
    EXPECT_EQ(font, (FontChoice{QStringLiteral("Liberation Serif"), 14, true, true}));

    whenModal<QFontDialog>(&context, [](QFontDialog* dialog) {
        dialog->setCurrentFont(QFont(QStringLiteral("Liberation Sans"), 20));
        dialog->reject();
    });
    EXPECT_FALSE(dialogs->executeFont(font));
    EXPECT_EQ(font, (FontChoice{QStringLiteral("Liberation Serif"), 14, true, true}));
}

// A handler nested in the dialog's event loop may destroy the main window.
TEST_F(QtDialogsTest, ParentDestroyedWhileADialogIsOpenIsCancel)
{
    whenModal<QMessageBox>(&context, [this](QMessageBox*) { window.reset(); });
    EXPECT_EQ(dialogs->confirm(QStringLiteral("Save Text?")), Answer::Cancel);

    window = std::make_unique<QWidget>();
    dialogs = std::make_unique<QtDialogs>(window.get());
    whenModal<QFileDialog>(&context, [this](QFileDialog*) { window.reset(); });
    QString fileName = QStringLiteral("a.txt");
    EXPECT_FALSE(dialogs->executeSave(fileName));
    EXPECT_EQ(fileName, "a.txt");

    window = std::make_unique<QWidget>();
    dialogs = std::make_unique<QtDialogs>(window.get());
    whenModal<QFontDialog>(&context, [this](QFontDialog*) { window.reset(); });
    FontChoice font{kArial, 8, false, false};
    EXPECT_FALSE(dialogs->executeFont(font));

    // With no parent left the dialogs still work, as top-level windows. A mnemonic reaches only
    // the active window, which a busy machine makes it a little after it is shown.
    whenModal<QMessageBox>(&context, [](QMessageBox* box) {
        EXPECT_TRUE(QTest::qWaitForWindowActive(box));
        QTest::keyClick(box, Qt::Key_N, Qt::AltModifier);
    });
    EXPECT_EQ(dialogs->confirm(QStringLiteral("Save Text?")), Answer::No);
}

// The double must answer in script order per kind and refuse loudly what was not scripted, or
// document tests would pass on questions they never expected.
TEST(ScriptedDialogsTest, AnswersInOrderPerKindAndRecordsEveryQuestion)
{
    ScriptedDialogs dialogs;
    int openActions = 0;
    dialogs.answerConfirm(Answer::Yes);
    dialogs.answerConfirm(Answer::No);
    dialogs.cancelSave();
    dialogs.chooseOpen(QStringLiteral("/tmp/b.txt"), [&] { ++openActions; });
    dialogs.chooseFont({QStringLiteral("Liberation Mono"), 12, true, false});

    EXPECT_EQ(dialogs.confirm(QStringLiteral("Save Text?")), Answer::Yes);
    QString saveName = QStringLiteral("a.txt");
    EXPECT_FALSE(dialogs.executeSave(saveName));
    EXPECT_EQ(saveName, "a.txt");
    QString openName = QStringLiteral("last.txt");
    EXPECT_EQ(openActions, 0);
    EXPECT_TRUE(dialogs.executeOpen(openName));
    EXPECT_EQ(openActions, 1);
    EXPECT_EQ(openName, "/tmp/b.txt");
    dialogs.error(QStringLiteral("Cannot open file \"/tmp/b.txt\". No such file or directory"));
    EXPECT_EQ(dialogs.confirm(QStringLiteral("Save Current Text?")), Answer::No);
    FontChoice font{kCourierNew, 9, false, false};
    EXPECT_TRUE(dialogs.executeFont(font));
    EXPECT_EQ(font, (FontChoice{QStringLiteral("Liberation Mono"), 12, true, false}));

    using K = ScriptedDialogs::Kind;
    EXPECT_EQ(dialogs.kinds(), (std::vector<K>{K::Confirm, K::Save, K::Open, K::Error, K::Confirm, K::Font}));
    EXPECT_EQ(dialogs.confirmTexts(), QStringList({"Save Text?", "Save Current Text?"}));
    EXPECT_EQ(dialogs.errorTexts(),
              QStringList({"Cannot open file \"/tmp/b.txt\". No such file or directory."}));
    EXPECT_EQ(dialogs.asked()[1].fileName, "a.txt");
    EXPECT_EQ(dialogs.asked()[2].fileName, "last.txt");
    EXPECT_EQ(dialogs.asked()[5].font.family, kCourierNew);
    EXPECT_EQ(dialogs.unusedAnswers(), 0);
}

TEST(ScriptedDialogsTest, UnscriptedQuestionsFailTheTestAndAreCancelled)
{
    ScriptedDialogs dialogs;
    Answer answer = Answer::Yes;
    EXPECT_NONFATAL_FAILURE(answer = dialogs.confirm(QStringLiteral("Save Text?")), "Save Text?");
    EXPECT_EQ(answer, Answer::Cancel);
    QString name = QStringLiteral("x.txt");
    bool chosen = true;
    EXPECT_NONFATAL_FAILURE(chosen = dialogs.executeOpen(name), "x.txt");
    EXPECT_FALSE(chosen);
    EXPECT_EQ(name, "x.txt");
    // Scripting another kind does not answer this one.
    dialogs.chooseOpen(QStringLiteral("y.txt"));
    EXPECT_NONFATAL_FAILURE(chosen = dialogs.executeSave(name), "save");
    EXPECT_FALSE(chosen);
    EXPECT_EQ(dialogs.unusedAnswers(), 1);
    FontChoice font;
    EXPECT_NONFATAL_FAILURE(chosen = dialogs.executeFont(font), "font");
    EXPECT_FALSE(chosen);
}

} // namespace
} // namespace quindle
