// The memo's text model: CR LF text and positions, the Windows-1252 boundary, the selection rules,
// the user's edits and their undo. The widget's input and painting are in app_memo_test.cpp.
#include "app/MemoText.h"

#include "persistence/Cp1252.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <iterator>
#include <string_view>

using namespace std::string_view_literals;

using quindle::MemoText;
using Status = MemoText::EditStatus;

namespace {

// A string with embedded NULs, unit for unit.
QString units(std::u16string_view s)
{
    return QString(reinterpret_cast<const QChar*>(s.data()), qsizetype(s.size()));
}

TEST(MemoText, LineBreaksAreCrLfAndCountAsTwoPositions)
{
    MemoText memo;
    memo.setText(QStringLiteral(u"ab\ncd\r\nef\r€Ω"));
    EXPECT_EQ(memo.text(), QStringLiteral(u"ab\r\ncd\r\nef\r\n€Ω"));
    EXPECT_EQ(memo.length(), 14);
    EXPECT_EQ(memo.charAt(2), QChar(u'\r'));
    EXPECT_EQ(memo.charAt(3), QChar(u'\n'));
    EXPECT_EQ(memo.charAt(4), QChar(u'c'));
    EXPECT_EQ(memo.charAt(14), QChar()) << "past the end reads as nothing";
    EXPECT_EQ(memo.charAt(-1), QChar());
    EXPECT_EQ(memo.codeAt(12), 0x80) << "the euro sign's Windows-1252 code";
    EXPECT_EQ(memo.codeAt(13), quindle::cp1252::kUnmappable) << "not in the code page: unlisted";
    EXPECT_EQ(memo.selStart(), 14) << "after setText the caret stands after the last character";
    EXPECT_FALSE(memo.modified());

    const QString text = QStringLiteral("line\r\n").repeated(1000);
    memo.setText(text);
    EXPECT_TRUE(memo.text().isSharedWith(text)) << "a text with CR LF ends is shared, not copied";
}

TEST(MemoText, CaretAndSelectionNeverStandBetweenCrAndLf)
{
    MemoText memo;
    memo.setText(QStringLiteral("ab\r\ncd"));
    memo.setSelStart(3);
    EXPECT_EQ(memo.selStart(), 2);
    EXPECT_EQ(memo.selEnd(), 2);
    memo.setSelLength(1);
    EXPECT_EQ(memo.selStart(), 2);
    EXPECT_EQ(memo.selEnd(), 4) << "a selected line break is selected whole";
    memo.setSelStart(1);
    memo.setSelLength(2);
    EXPECT_EQ(memo.selectedText(), QStringLiteral("b\r\n"));

    // Ctrl+Right's target: the start of the next word (letters, digits, '_'), or the end.
    const struct {
        const char16_t* text;
        int from;
        int to;
    } words[] = {{u"one  two", 0, 5}, {u"one  two", 1, 5},  {u"a.b, c", 0, 2}, {u"a.b, c", 2, 5},
                 {u"x_1 y", 0, 4},    {u"ab,\r\ncd", 0, 5}, {u"ab\r\n", 1, 4}, {u"ab", 2, 2}};
    for (const auto& w : words) {
        memo.setText(QString::fromUtf16(w.text));
        EXPECT_EQ(memo.wordStartAfter(w.from), w.to)
            << QString::fromUtf16(w.text).toStdString() << " " << w.from;
    }
}

struct ClampCase {
    int start;
    int length;
    int selStart;
    int selLength;
};

TEST(MemoText, SelectionIsClampedToTheText)
{
    MemoText memo;
    memo.setText(QStringLiteral("abcde"));
    const ClampCase cases[] = {
        {0, 0, 0, 0},  {5, 0, 5, 0}, {100, 0, 5, 0},     {-3, 0, 0, 0},      {2, 100, 2, 3},
        {2, -1, 2, 0}, {5, 1, 5, 0}, {4, INT_MAX, 4, 1}, {INT_MAX, 1, 5, 0}, {INT_MIN, 2, 0, 2},
    };
    for (const ClampCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "start " << c.start << " length " << c.length);
        memo.setSelStart(c.start);
        memo.setSelLength(c.length);
        EXPECT_EQ(memo.selStart(), c.selStart);
        EXPECT_EQ(memo.selEnd() - memo.selStart(), c.selLength);
    }
}

struct PasteCase {
    const char* name;
    QString pasted;
    QString stored;
};

TEST(MemoText, UserTextIsKeptExceptThatLineBreaksBecomeCrLf)
{
    const QString longLine(100000, QChar(u'w'));
    const PasteCase cases[] = {
        {"lone CR", QStringLiteral("a\rb"), QStringLiteral("a\r\nb")},
        {"lone LF", QStringLiteral("a\nb"), QStringLiteral("a\r\nb")},
        {"CR LF", QStringLiteral("a\r\nb"), QStringLiteral("a\r\nb")},
        {"LF CR", QStringLiteral("a\n\rb"), QStringLiteral("a\r\n\r\nb")},
        {"mixed", QStringLiteral("\r\r\n\n"), QStringLiteral("\r\n\r\n\r\n")},
        {"NUL", units(u"a\u0000b"sv), units(u"a\u0000b"sv)},
        {"controls", QStringLiteral("\x01\x1b\x7f\t"), QStringLiteral("\x01\x1b\x7f\t")},
        {"euro", QStringLiteral(u"5 €"), QStringLiteral(u"5 €")},
        {"outside Windows-1252", QStringLiteral(u"Ωж中ł"), QStringLiteral(u"Ωж中ł")},
        {"supplementary plane", QStringLiteral(u"a\U0001D11Eb"), QStringLiteral(u"a\U0001D11Eb")},
        {"lone surrogate", QString(QChar(0xD800)), QString(QChar(0xD800))},
        {"long line", longLine, longLine},
    };
    for (const PasteCase& c : cases) {
        SCOPED_TRACE(c.name);
        MemoText memo;
        memo.setText(QStringLiteral("[]"));
        memo.select(1, 2);
        const MemoText::Edit edit = memo.replace(1, 1, c.pasted, false);
        EXPECT_EQ(edit.status, Status::Changed);
        EXPECT_EQ(edit.change, (MemoText::Change{1, 1, int(c.stored.size())}));
        EXPECT_EQ(memo.text(), u'[' + c.stored);
        EXPECT_EQ(memo.caret(), c.stored.size() + 1);
        EXPECT_EQ(memo.anchor(), memo.caret());
        EXPECT_TRUE(memo.modified());
    }
}

TEST(MemoText, ModifiedIsRaisedByUserEditsOnly)
{
    MemoText memo;
    memo.setText(QStringLiteral("abc"));
    memo.append(QStringLiteral("d"));
    memo.setSelStart(1);
    memo.setSelLength(1);
    EXPECT_FALSE(memo.modified()) << "the program's changes";

    memo.replace(1, 1, QString(), false);
    EXPECT_TRUE(memo.modified()) << "deleting a selection";
    memo.setText(QStringLiteral("xyz"));
    EXPECT_TRUE(memo.modified()) << "setText leaves the flag";
    memo.setModified(false);
    EXPECT_FALSE(memo.modified());

    memo.replace(2, 1, QString(), false);
    EXPECT_TRUE(memo.modified());
    memo.clear();
    EXPECT_FALSE(memo.modified()) << "clear lowers it";

    EXPECT_EQ(memo.replace(0, 0, QString(), false).status, Status::Unchanged);
    EXPECT_FALSE(memo.modified()) << "nothing to delete is no edit";
    memo.setModified(true);
    EXPECT_TRUE(memo.modified());
}

TEST(MemoText, AppendKeepsCaretAndSelection)
{
    MemoText memo;
    memo.setText(QStringLiteral("abc"));
    memo.setSelStart(1);
    EXPECT_EQ(memo.append(QStringLiteral("def")), (MemoText::Change{3, 0, 3}));
    EXPECT_EQ(memo.selStart(), 1);
    EXPECT_EQ(memo.selEnd(), 1);
    memo.setSelLength(2);
    memo.append(QStringLiteral("g\nh"));
    EXPECT_EQ(memo.text(), QStringLiteral("abcdefg\r\nh"));
    EXPECT_EQ(memo.selectedText(), QStringLiteral("bc"));
    memo.replace(memo.selStart(), 2, QStringLiteral("X"), true);
    EXPECT_EQ(memo.text(), QStringLiteral("aXdefg\r\nh")) << "typing replaces the selection";
    EXPECT_FALSE(memo.append(QString()).has_value());
}

TEST(MemoText, UndoRevertsTheLastEditAndThenRedoesIt)
{
    MemoText memo;
    memo.setText(QStringLiteral("start "));
    for (const char* typed : {"a", "b", "c"})
        memo.replace(memo.caret(), 0, QString::fromLatin1(typed), true);
    EXPECT_EQ(memo.undo(), (MemoText::Change{6, 3, 0}));
    EXPECT_EQ(memo.text(), QStringLiteral("start ")) << "a run of typing is one step";
    EXPECT_EQ(memo.caret(), 6);
    memo.undo();
    EXPECT_EQ(memo.text(), QStringLiteral("start abc"));

    memo.replace(0, 6, QStringLiteral("x\ny"), false);
    EXPECT_EQ(memo.text(), QStringLiteral("x\r\nyabc"));
    memo.append(QStringLiteral(" end"));
    memo.undo();
    EXPECT_EQ(memo.text(), QStringLiteral("start abc end")) << "text appended since stays";

    memo.setText(QStringLiteral("ab"));
    memo.replace(2, 0, QStringLiteral("c"), true);
    memo.undo();
    memo.replace(2, 0, QStringLiteral("d"), true);
    memo.undo();
    EXPECT_EQ(memo.text(), QStringLiteral("ab")) << "typing after an undo is a step of its own";

    memo.setText(QStringLiteral("new"));
    EXPECT_FALSE(memo.isUndoAvailable()) << "a new text has nothing to undo";
}

} // namespace

namespace {

// Screen-reader offsets, counted by scanning: each CR LF before pos is one "\n".
int scannedLfOffset(const MemoText& m, int pos)
{
    if (m.insideCrLf(pos))
        --pos;
    int breaks = 0;
    for (int i = 0; i + 1 < pos; ++i)
        breaks += m.charAt(i) == u'\r' && m.charAt(i + 1) == u'\n';
    return pos - breaks;
}

// The break index follows every kind of change: each step is checked at every position against
// a scan of the whole text.
TEST(MemoText, ScreenReaderOffsetsCountEachLineBreakOnceAfterEveryChange)
{
    MemoText m;
    const std::function<void()> steps[] = {
        [&] { m.setText(QStringLiteral(u"ab\r\ncd\ne\r\n\r\nf")); },
        [&] { m.append(QStringLiteral(u"\r")); },          // a lone CR becomes a break at once
        [&] { m.append(QStringLiteral(u"gh\r\n")); },
        [&] { m.replace(3, 3, QStringLiteral(u"X"), false); }, // LF of a break removed: CR lone
        [&] { m.replace(2, 0, QStringLiteral(u"\n"), false); },
        [&] { m.undo(); },
        [&] { m.replace(0, m.length(), QStringLiteral(u"\r\n\r\n"), false); },
        [&] { m.undo(); },
        [&] { m.clear(); },
    };
    for (size_t step = 0; step < std::size(steps); ++step) {
        steps[step]();
        for (int pos = 0; pos <= m.length(); ++pos) {
            const int offset = scannedLfOffset(m, pos);
            ASSERT_EQ(m.lfOffset(pos), offset) << "step " << step << " pos " << pos;
            if (!m.insideCrLf(pos)) {
                ASSERT_EQ(m.posOfLfOffset(offset), pos) << "step " << step << " offset " << offset;
            }
        }
        ASSERT_EQ(m.lfLength(), scannedLfOffset(m, m.length())) << "step " << step;
        ASSERT_EQ(m.lfText(0, m.length()), QString(m.text()).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    }
}

} // namespace
