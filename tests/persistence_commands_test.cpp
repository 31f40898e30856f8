#include "persistence/DocumentCommands.h"
#include "tests/support/PersistenceTestSupport.h"
#include "tests/support/ScriptedDialogs.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace quindle {
namespace {

using Kind = ScriptedDialogs::Kind;

// The memo as a plain string and flag; the questions go to scripted dialogs.
class ScriptedView final : public DocumentView {
public:
    bool memoModified() const override { return modified; }
    void memoSetModified(bool m) override { modified = m; }
    void memoClear() override
    {
        text.clear();
        modified = false;
    }
    QString memoText() const override { return text; }
    void memoSetText(const QString& t) override { text = t; }
    void memoSetFocus() override { ++focusCount; }
    Answer confirm(const QString& t) override { return dialogs.confirm(t); }
    void error(const QString& t) override { dialogs.error(t); }
    bool executeOpen(QString& fileName) override { return dialogs.executeOpen(fileName); }
    bool executeSave(QString& fileName) override { return dialogs.executeSave(fileName); }

    ScriptedDialogs dialogs;
    QString text;
    bool modified = false;
    int focusCount = 0;
};

const QString kUnsaved = QStringLiteral("unsaved text\r\nline two");
const QString kLoaded = QStringLiteral("from the file\r\nsecond line");

class DocumentCommandsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(test::writeFileBytes(path("in.txt"), "from the file\nsecond line"));
        ASSERT_TRUE(test::writeFileBytes(path("plain"), "a regular file"));
        ASSERT_TRUE(QDir().mkdir(path("folder")));
        m_view.text = kUnsaved;
    }
    QString path(const QString& name) const { return m_dir.filePath(name); }
    // A save target whose parent is a regular file: the save fails, also for root.
    QString unwritable() const { return path("plain/out.txt"); }

    QTemporaryDir m_dir;
    ScriptedView m_view;
    DocumentCommands m_commands{m_view};
};

enum class Command { New, ClearScreen, Open, Drop, Argument };
enum class SaveScript { None, Cancel, Write, Fail };
enum class OpenScript { None, Cancel, Existing, Missing };
enum class DropScript { None, File, Folder };
enum class Memo { Unsaved, Empty, Loaded };

struct TableCase {
    const char* name;
    Command command;
    bool modified;
    std::optional<Answer> answer; // the answer scripted for the question, if one is expected
    SaveScript save;
    OpenScript open;
    DropScript drop;
    // What must follow.
    std::vector<Kind> asked;
    Memo memo;
    bool modifiedAfter;
    bool written; // out.txt holds the unsaved text
    bool focused;
};

constexpr auto Yes = Answer::Yes;
constexpr auto No = Answer::No;
constexpr auto Cancel = Answer::Cancel;
constexpr auto none = std::nullopt;

// clang-format off
const TableCase kTable[] = {
    // name, command, modified, answer, save, open, drop, asked, memo, modified after, written, focused
    {"new_clear_flag", Command::New, false, none, SaveScript::None, OpenScript::None, DropScript::None, {}, Memo::Empty, false, false, false},
    {"new_yes_saved", Command::New, true, Yes, SaveScript::Write, OpenScript::None, DropScript::None, {Kind::Confirm, Kind::Save}, Memo::Empty, false, true, false},
    {"new_yes_save_cancelled", Command::New, true, Yes, SaveScript::Cancel, OpenScript::None, DropScript::None, {Kind::Confirm, Kind::Save}, Memo::Unsaved, true, false, false},
    {"new_yes_save_failed", Command::New, true, Yes, SaveScript::Fail, OpenScript::None, DropScript::None, {Kind::Confirm, Kind::Save, Kind::Error}, Memo::Unsaved, true, false, false},
    {"new_no", Command::New, true, No, SaveScript::None, OpenScript::None, DropScript::None, {Kind::Confirm}, Memo::Empty, false, false, false},
    {"new_cancel", Command::New, true, Cancel, SaveScript::None, OpenScript::None, DropScript::None, {Kind::Confirm}, Memo::Unsaved, true, false, false},
    {"clear_clear_flag", Command::ClearScreen, false, none, SaveScript::None, OpenScript::None, DropScript::None, {}, Memo::Empty, false, false, false},
    {"clear_yes_saved", Command::ClearScreen, true, Yes, SaveScript::Write, OpenScript::None, DropScript::None, {Kind::Confirm, Kind::Save}, Memo::Empty, false, true, false},
    {"clear_yes_save_cancelled", Command::ClearScreen, true, Yes, SaveScript::Cancel, OpenScript::None, DropScript::None, {Kind::Confirm, Kind::Save}, Memo::Unsaved, true, false, false},
    {"clear_no", Command::ClearScreen, true, No, SaveScript::None, OpenScript::None, DropScript::None, {Kind::Confirm}, Memo::Empty, false, false, false},
    {"clear_cancel", Command::ClearScreen, true, Cancel, SaveScript::None, OpenScript::None, DropScript::None, {Kind::Confirm}, Memo::Unsaved, true, false, false},
    {"open_clear_flag", Command::Open, false, none, SaveScript::None, OpenScript::Existing, DropScript::None, {Kind::Open}, Memo::Loaded, false, false, false},
    {"open_clear_flag_cancelled", Command::Open, false, none, SaveScript::None, OpenScript::Cancel, DropScript::None, {Kind::Open}, Memo::Unsaved, false, false, false},
    {"open_clear_flag_missing", Command::Open, false, none, SaveScript::None, OpenScript::Missing, DropScript::None, {Kind::Open, Kind::Error}, Memo::Empty, false, false, false},
    {"open_yes_saved", Command::Open, true, Yes, SaveScript::Write, OpenScript::Existing, DropScript::None, {Kind::Confirm, Kind::Save, Kind::Open}, Memo::Loaded, false, true, false},
    {"open_yes_save_cancelled", Command::Open, true, Yes, SaveScript::Cancel, OpenScript::Existing, DropScript::None, {Kind::Confirm, Kind::Save, Kind::Open}, Memo::Loaded, false, false, false},
    {"open_yes_save_failed", Command::Open, true, Yes, SaveScript::Fail, OpenScript::None, DropScript::None, {Kind::Confirm, Kind::Save, Kind::Error}, Memo::Unsaved, true, false, false},
    {"open_yes_saved_open_cancelled", Command::Open, true, Yes, SaveScript::Write, OpenScript::Cancel, DropScript::None, {Kind::Confirm, Kind::Save, Kind::Open}, Memo::Unsaved, true, true, false},
    {"open_no", Command::Open, true, No, SaveScript::None, OpenScript::Existing, DropScript::None, {Kind::Confirm, Kind::Open}, Memo::Loaded, false, false, false},
    {"open_no_open_cancelled", Command::Open, true, No, SaveScript::None, OpenScript::Cancel, DropScript::None, {Kind::Confirm, Kind::Open}, Memo::Empty, false, false, false},
    {"open_no_missing", Command::Open, true, No, SaveScript::None, OpenScript::Missing, DropScript::None, {Kind::Confirm, Kind::Open, Kind::Error}, Memo::Empty, false, false, false},
    {"open_cancel", Command::Open, true, Cancel, SaveScript::None, OpenScript::None, DropScript::None, {Kind::Confirm}, Memo::Unsaved, true, false, false},
    // A file argument: Open with the file as the dialog's answer.
    {"argument_clear_flag", Command::Argument, false, none, SaveScript::None, OpenScript::Existing, DropScript::None, {}, Memo::Loaded, false, false, false},
    {"argument_no", Command::Argument, true, No, SaveScript::None, OpenScript::Existing, DropScript::None, {Kind::Confirm}, Memo::Loaded, false, false, false},
    {"argument_cancel", Command::Argument, true, Cancel, SaveScript::None, OpenScript::Existing, DropScript::None, {Kind::Confirm}, Memo::Unsaved, true, false, false},
    {"argument_missing", Command::Argument, false, none, SaveScript::None, OpenScript::Missing, DropScript::None, {Kind::Error}, Memo::Empty, false, false, false},
    {"drop_clear_flag", Command::Drop, false, none, SaveScript::None, OpenScript::None, DropScript::File, {}, Memo::Loaded, false, false, true},
    {"drop_yes_saved", Command::Drop, true, Yes, SaveScript::Write, OpenScript::None, DropScript::File, {Kind::Confirm, Kind::Save}, Memo::Loaded, false, true, true},
    {"drop_yes_save_cancelled", Command::Drop, true, Yes, SaveScript::Cancel, OpenScript::None, DropScript::File, {Kind::Confirm, Kind::Save}, Memo::Loaded, false, false, true},
    {"drop_yes_save_failed", Command::Drop, true, Yes, SaveScript::Fail, OpenScript::None, DropScript::File, {Kind::Confirm, Kind::Save, Kind::Error}, Memo::Unsaved, true, false, false},
    {"drop_no", Command::Drop, true, No, SaveScript::None, OpenScript::None, DropScript::File, {Kind::Confirm}, Memo::Loaded, false, false, true},
    {"drop_cancel", Command::Drop, true, Cancel, SaveScript::None, OpenScript::None, DropScript::File, {Kind::Confirm}, Memo::Unsaved, true, false, false},
    {"drop_folder_clear_flag", Command::Drop, false, none, SaveScript::None, OpenScript::None, DropScript::Folder, {Kind::Error}, Memo::Unsaved, false, false, true},
    {"drop_folder_no", Command::Drop, true, No, SaveScript::None, OpenScript::None, DropScript::Folder, {Kind::Confirm, Kind::Error}, Memo::Empty, false, false, true},
    {"drop_folder_yes_saved", Command::Drop, true, Yes, SaveScript::Write, OpenScript::None, DropScript::Folder, {Kind::Confirm, Kind::Save, Kind::Error}, Memo::Unsaved, true, true, true},
};
// clang-format on

class CommandTableTest : public DocumentCommandsTest, public ::testing::WithParamInterface<TableCase> {};

TEST_P(CommandTableTest, DoesWhatTheAnswerAsks)
{
    const TableCase& c = GetParam();
    m_view.modified = c.modified;
    if (c.answer)
        m_view.dialogs.answerConfirm(*c.answer);
    switch (c.save) {
    case SaveScript::None:
        break;
    case SaveScript::Cancel:
        m_view.dialogs.cancelSave();
        break;
    case SaveScript::Write:
        m_view.dialogs.chooseSave(path("out.txt"));
        break;
    case SaveScript::Fail:
        m_view.dialogs.chooseSave(unwritable());
        break;
    }
    switch (c.command == Command::Argument ? OpenScript::None : c.open) {
    case OpenScript::None:
        break;
    case OpenScript::Cancel:
        m_view.dialogs.cancelOpen();
        break;
    case OpenScript::Existing:
        m_view.dialogs.chooseOpen(path("in.txt"));
        break;
    case OpenScript::Missing:
        m_view.dialogs.chooseOpen(path("missing.txt"));
        break;
    }

    switch (c.command) {
    case Command::New:
        m_commands.New1Click();
        break;
    case Command::ClearScreen:
        m_commands.btnClearClick();
        break;
    case Command::Open:
        m_commands.Open1Click();
        break;
    case Command::Drop:
        m_commands.WMDropFiles({path(c.drop == DropScript::Folder ? "folder" : "in.txt")});
        break;
    case Command::Argument:
        m_commands.openFile(path(c.open == OpenScript::Missing ? "missing.txt" : "in.txt"));
        break;
    }

    EXPECT_EQ(m_view.dialogs.kinds(), c.asked);
    EXPECT_EQ(m_view.dialogs.unusedAnswers(), 0);
    if (c.answer) {
        const QString question =
            c.command == Command::Drop ? QStringLiteral("Save Current Text?") : QStringLiteral("Save Text?");
        EXPECT_EQ(m_view.dialogs.confirmTexts(), QStringList{question});
    }
    const QString expectedMemo = c.memo == Memo::Unsaved  ? kUnsaved
                                 : c.memo == Memo::Loaded ? kLoaded
                                                          : QString();
    EXPECT_EQ(m_view.text, expectedMemo);
    EXPECT_EQ(m_view.modified, c.modifiedAfter);
    EXPECT_EQ(test::readFileBytes(path("out.txt")),
              c.written ? kUnsaved.toLatin1() : QByteArray("<missing>"));
    EXPECT_EQ(m_view.focusCount, c.focused ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Table, CommandTableTest, ::testing::ValuesIn(kTable),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DocumentCommandsTest, ErrorsNameThePathAndTheReason)
{
    m_view.dialogs.chooseOpen(path("missing.txt"));
    m_commands.Open1Click();
    m_view.dialogs.answerConfirm(Answer::Yes);
    m_view.dialogs.chooseSave(unwritable());
    m_view.text = kUnsaved;
    m_view.modified = true;
    m_commands.New1Click();
    m_view.modified = false;
    m_commands.WMDropFiles({path("folder")});
    EXPECT_EQ(
        m_view.dialogs.errorTexts(),
        (QStringList{
            QStringLiteral("Cannot open file \"%1\". No such file or directory.").arg(path("missing.txt")),
            QStringLiteral("Cannot create file \"%1\". Not a directory.").arg(unwritable()),
            QStringLiteral("Cannot open file \"%1\". Is a directory.").arg(path("folder"))}));
}

TEST_F(DocumentCommandsTest, EachDialogStartsWithTheNameLastChosenInIt)
{
    m_view.modified = true;
    m_view.dialogs.chooseSave(path("a.txt"));
    m_commands.SaveAs1Click();
    // The save offered by New uses the same dialog; a cancel keeps the name.
    m_view.dialogs.answerConfirm(Answer::Yes);
    m_view.dialogs.cancelSave();
    m_commands.New1Click();
    m_view.dialogs.answerConfirm(Answer::No);
    m_view.dialogs.chooseOpen(path("in.txt"));
    m_commands.Open1Click();
    m_view.dialogs.cancelOpen();
    m_commands.Open1Click();
    m_view.dialogs.chooseSave(path("b.txt"));
    m_commands.SaveAs1Click();
    m_view.dialogs.chooseSave(path("c.txt"));
    m_commands.SaveAs1Click();

    QStringList offered;
    for (const auto& q : m_view.dialogs.asked()) {
        if (q.kind == Kind::Open || q.kind == Kind::Save)
            offered << QStringLiteral("%1 %2").arg(kindName(q.kind), QFileInfo(q.fileName).fileName());
    }
    EXPECT_EQ(offered,
              (QStringList{"save ", "save a.txt", "open ", "open in.txt", "save a.txt", "save b.txt"}));
    EXPECT_EQ(m_commands.saveFileName(), path("c.txt"));
    EXPECT_EQ(m_commands.openFileName(), path("in.txt"));
}

TEST_F(DocumentCommandsTest, SaveAsKeepsTheFlagSoNewStillAsks)
{
    m_view.modified = true;
    m_view.dialogs.chooseSave(path("out.txt"));
    m_commands.SaveAs1Click();
    EXPECT_TRUE(m_view.modified);
    EXPECT_EQ(test::readFileBytes(path("out.txt")), kUnsaved.toLatin1());
    m_view.dialogs.answerConfirm(Answer::Cancel);
    m_commands.New1Click();
    EXPECT_EQ(m_view.dialogs.confirmTexts(), QStringList{QStringLiteral("Save Text?")});

    // Over an existing file, without a question; a cancelled dialog writes nothing.
    m_view.text = QStringLiteral("shorter");
    m_view.dialogs.chooseSave(path("out.txt"));
    m_commands.SaveAs1Click();
    m_view.dialogs.cancelSave();
    m_commands.SaveAs1Click();
    EXPECT_EQ(test::readFileBytes(path("out.txt")), QByteArray("shorter"));
    EXPECT_EQ(m_view.dialogs.kinds(), (std::vector<Kind>{Kind::Save, Kind::Confirm, Kind::Save, Kind::Save}));
}

TEST_F(DocumentCommandsTest, AUtf8DocumentIsSavedAsUtf8AndANewOneAsWindows1252)
{
    ASSERT_TRUE(test::writeFileBytes(path("utf8.txt"), "\xEF\xBB\xBFGru\xC3\x9F"));
    m_view.modified = false;
    m_view.dialogs.chooseOpen(path("utf8.txt"));
    m_commands.Open1Click();
    for (const QByteArray& saved : {QByteArray("\xEF\xBB\xBFGru\xC3\x9F"), QByteArray("Gru\xDF")}) {
        m_view.dialogs.chooseSave(path("out.txt"));
        m_commands.SaveAs1Click();
        EXPECT_EQ(test::readFileBytes(path("out.txt")), saved);
        m_commands.New1Click(); // the same text as a new document
        m_view.text = QString::fromUtf8("Gruß");
    }
    // Characters that Windows-1252 cannot hold, as they were read.
    const QByteArray russian = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";
    ASSERT_TRUE(test::writeFileBytes(path("utf8.txt"), russian));
    m_view.modified = false;
    m_view.dialogs.chooseOpen(path("utf8.txt"));
    m_commands.Open1Click();
    EXPECT_EQ(m_view.text, QStringLiteral("Привет"));
    m_view.dialogs.chooseSave(path("out.txt"));
    m_commands.SaveAs1Click();
    EXPECT_EQ(test::readFileBytes(path("out.txt")), russian);
    EXPECT_TRUE(m_view.dialogs.errorTexts().isEmpty()) << m_view.dialogs.errorTexts().join(u'\n').toStdString();
}

TEST_F(DocumentCommandsTest, NewAfterNoClearsWithoutAskingAgain)
{
    m_view.modified = true;
    m_view.dialogs.answerConfirm(Answer::No);
    m_commands.New1Click();
    m_view.text = QStringLiteral("left by a run");
    m_commands.New1Click();
    EXPECT_TRUE(m_view.text.isEmpty());
    EXPECT_EQ(m_view.dialogs.kinds(), std::vector<Kind>{Kind::Confirm});
}

TEST_F(DocumentCommandsTest, DropLoadsOnlyTheFirstPath)
{
    ASSERT_TRUE(test::writeFileBytes(path("second.txt"), "second"));
    m_commands.WMDropFiles({path("in.txt"), path("second.txt"), path("folder")});
    EXPECT_EQ(m_view.text, kLoaded);
    EXPECT_TRUE(m_view.dialogs.asked().empty());
    // Nothing readable: nothing happens.
    m_commands.WMDropFiles({});
    m_commands.WMDropFiles({QString(), path("second.txt")});
    EXPECT_EQ(m_view.text, kLoaded);
    EXPECT_EQ(m_view.focusCount, 1);
}

TEST_F(DocumentCommandsTest, SaveWritesTheTextAsItIsWhenTheDialogCloses)
{
    // A group run appends while the Save dialog holds it.
    m_view.modified = true;
    m_view.dialogs.answerConfirm(Answer::Yes);
    m_view.dialogs.chooseSave(path("out.txt"), [this] { m_view.text += QStringLiteral("ABCDE "); });
    m_commands.New1Click();
    EXPECT_EQ(test::readFileBytes(path("out.txt")), (kUnsaved + QStringLiteral("ABCDE ")).toLatin1());
    EXPECT_TRUE(m_view.text.isEmpty());
}

TEST_F(DocumentCommandsTest, UnstorableTextIsNotSavedAndNotCleared)
{
    m_view.text = QStringLiteral("abc\r\n\u4e2d");
    m_view.modified = true;
    m_view.dialogs.answerConfirm(Answer::Yes);
    m_view.dialogs.chooseSave(path("out.txt"));
    m_commands.New1Click();
    EXPECT_EQ(m_view.text, QStringLiteral("abc\r\n\u4e2d"));
    EXPECT_TRUE(m_view.modified);
    EXPECT_FALSE(QFile::exists(path("out.txt")));
    ASSERT_EQ(m_view.dialogs.errorTexts().size(), 1);
    EXPECT_TRUE(m_view.dialogs.errorTexts()[0].contains(QStringLiteral("U+4E2D")))
        << m_view.dialogs.errorTexts()[0].toStdString();
}

} // namespace
} // namespace quindle
