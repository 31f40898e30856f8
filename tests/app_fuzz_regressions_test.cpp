// Inputs that once broke the memo under the fuzz target, replayed on the real widget.
#include "app/MemoEdit.h"

#include <QString>

#include <gtest/gtest.h>

using quindle::MemoEdit;

namespace {

struct NarrowCase {
    int width; // [px] of the whole widget, scroll bar and frame included
    const char* text;
};

class NarrowMemo : public ::testing::TestWithParam<NarrowCase> {};

// A memo narrower than its scroll bar and margins has a negative wrap width. A line that began
// with a space was then ended before its first character, so laying out never finished. The first
// case is the fuzzer's input as it reached the widget: a 9 x 9 memo given "\r ".
TEST_P(NarrowMemo, LaysOutEveryLineWithAtLeastOneCharacter)
{
    const NarrowCase c = GetParam();
    MemoEdit memo;
    memo.resize(c.width, 9);
    memo.show();
    memo.setText(QString::fromLatin1(c.text));

    const int lines = memo.lineCount();
    ASSERT_GE(lines, 1);
    EXPECT_LE(lines, memo.length() + 1);
    EXPECT_EQ(memo.lineOfPosition(memo.length()), lines - 1);
    // Appending lays out through the incremental path; it must agree with a full layout.
    memo.append(QStringLiteral("  x "));
    MemoEdit fresh;
    fresh.resize(c.width, 9);
    fresh.show();
    fresh.setText(memo.text());
    ASSERT_EQ(fresh.lineCount(), memo.lineCount());
    for (int pos = 0; pos <= memo.length(); ++pos)
        EXPECT_EQ(fresh.lineOfPosition(pos), memo.lineOfPosition(pos)) << "at " << pos;
}

INSTANTIATE_TEST_SUITE_P(FuzzInputs, NarrowMemo,
                         ::testing::Values(NarrowCase{9, "\r "}, NarrowCase{1, " "}, NarrowCase{1, "   a  b"},
                                           NarrowCase{5, "\t\tx"}, NarrowCase{20, "\r\n\r\n  \r\n "},
                                           NarrowCase{30, " a b c d e f"}));

} // namespace

// A low surrogate appended to a trailing high surrogate turns a lone half (drawn as a wide
// placeholder) into one narrower character, which can move the break of the line before. The
// fuzzer's case: a 28 px memo.
TEST(MemoAppend, CompletingASurrogatePairRewrapsLikeAFullLayout)
{
    for (int width = 28; width <= 35; ++width) {
        SCOPED_TRACE(width);
        MemoEdit memo;
        memo.resize(width, 17);
        memo.show();
        const char16_t units[] = {0xDBFF, 0xDC00, 0xDE00, 0xDBFF, 0xDBFF};
        memo.setText(QString::fromUtf16(units, 5));
        ASSERT_GE(memo.lineCount(), 1);
        memo.append(QString(QChar(0xDC00)));
        MemoEdit fresh;
        fresh.resize(width, 17);
        fresh.show();
        fresh.setText(memo.text());
        ASSERT_EQ(fresh.lineCount(), memo.lineCount());
        for (int pos = 0; pos <= memo.length(); ++pos)
            EXPECT_EQ(memo.lineOfPosition(pos), fresh.lineOfPosition(pos)) << "at " << pos;
    }
}
