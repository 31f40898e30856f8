// The memo's incremental word wrap must always equal a wrap of the whole text from scratch.
#include "app/MemoLayout.h"

#include <QFont>
#include <QImage>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <vector>

using quindle::MemoLayout;

namespace {

std::vector<int> starts(const MemoLayout& layout)
{
    std::vector<int> out;
    for (int line = 0; line < layout.lineCount(); ++line)
        out.push_back(layout.lineStart(line));
    return out;
}

class MemoLayoutTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        layout.setFont(QFont(QString::fromLatin1(GetParam()), 9), &device);
        fresh.setFont(QFont(QString::fromLatin1(GetParam()), 9), &device);
        layout.setWidth(120);
        fresh.setWidth(120);
    }
    void expectSameAsFresh(const char* what)
    {
        fresh.relayout();
        ASSERT_EQ(starts(layout), starts(fresh)) << what << " on \"" << text.left(200).toStdString() << "\"";
    }

    QImage device{1, 1, QImage::Format_RGB32};
    QString text;
    MemoLayout layout{text};
    MemoLayout fresh{text};
};

TEST_P(MemoLayoutTest, EditsAndAppendsRewrapLikeAFullWrap)
{
    // Pieces that stress the break rules: words of many lengths, hanging space runs, line
    // breaks, tabs, controls, surrogate pairs and a word longer than the line.
    const QString pieces[] = {QStringLiteral("a"),     QStringLiteral("word"), QStringLiteral(" "),
                              QStringLiteral("   "),   QStringLiteral("\r\n"), QStringLiteral("\t"),
                              QString(QChar(0)),       QStringLiteral(u"\U0001D11E"),
                              QStringLiteral("WWWWWWWWWWWWWWWWWWWWWWWWWWWW"), QStringLiteral("iii "),
                              QStringLiteral("ab cd ef ")};
    QRandomGenerator random(20261207);
    auto piece = [&] { return pieces[random.bounded(int(std::size(pieces)))]; };
    for (int step = 0; step < 6000; ++step) {
        if (step % 3000 == 0) {
            // A narrow width as well, where most words are broken anywhere.
            const qreal width = step == 0 ? 120 : 35;
            layout.setWidth(width);
            fresh.setWidth(width);
            text.clear();
            layout.relayout();
        }
        const int choice = random.bounded(3);
        if (choice == 0 || text.isEmpty()) {
            text += piece();
            layout.textAppended();
            expectSameAsFresh("append");
        } else {
            // Edit boundaries keep CR LF and surrogate pairs whole, as the memo does.
            auto whole = [&](int pos) {
                if (pos > 0 && pos < text.size() &&
                    ((text.at(pos - 1) == u'\r' && text.at(pos) == u'\n') ||
                     (text.at(pos - 1).isHighSurrogate() && text.at(pos).isLowSurrogate())))
                    --pos;
                return pos;
            };
            const int pos = whole(random.bounded(int(text.size()) + 1));
            int end = whole(std::min<int>(int(text.size()), pos + random.bounded(12)));
            if (end < pos)
                end = pos;
            const QString inserted = choice == 1 ? piece() : QString();
            text.replace(pos, end - pos, inserted);
            layout.textReplaced(pos, end - pos, int(inserted.size()));
            expectSameAsFresh(choice == 1 ? "replace" : "delete");
        }
        if (text.size() > 3000)
            text.remove(0, 1500), layout.relayout();
    }
}

TEST_P(MemoLayoutTest, PositionsAndWidthsWithinALine)
{
    text = QStringLiteral("ab cd\r\nef");
    layout.relayout();
    ASSERT_EQ(layout.lineCount(), 2);
    EXPECT_EQ(layout.lineEnd(0), 7);
    EXPECT_EQ(layout.caretEnd(0), 5) << "before the CR LF";
    EXPECT_EQ(layout.caretEnd(1), 9);
    EXPECT_EQ(layout.lineOf(6), 0);
    EXPECT_EQ(layout.lineOf(7), 1);
    EXPECT_EQ(layout.advance(5), 0);
    EXPECT_EQ(layout.advance(6), 0);
    const qreal x = layout.xOf(0, 4);
    EXPECT_GT(x, 0);
    EXPECT_EQ(layout.posAt(0, x + layout.advance(4) / 3), 4);
    EXPECT_EQ(layout.posAt(0, x + layout.advance(4) * 0.7), 5);
    EXPECT_EQ(layout.posAt(0, 10000), 5);
    EXPECT_EQ(layout.posAt(0, -5), 0);

    text = QString(reinterpret_cast<const QChar*>(u"\u0000\u0001x"), 3);
    layout.relayout();
    EXPECT_EQ(layout.advance(0), layout.placeholderWidth());
    EXPECT_EQ(layout.advance(1), layout.placeholderWidth());
}

TEST_P(MemoLayoutTest, NarrowWidthStillPutsACharacterOnEachLine)
{
    layout.setWidth(0);
    text = QStringLiteral(u"ab \U0001D11E\r\nc");
    layout.relayout();
    EXPECT_EQ(starts(layout), (std::vector<int>{0, 1, 3, 7})) << "the pair stays whole, the space hangs";
}

TEST_P(MemoLayoutTest, TextsOfSpacesOrZeroWidthCharactersStillGetShortLines)
{
    // Otherwise one visual line would hold the whole text, and every paint and caret move on it
    // would walk all of it.
    for (const QChar c : {QChar(u' '), QChar(0x200B)}) {
        text = QString(100000, c);
        layout.relayout();
        EXPECT_GT(layout.lineCount(), 20);
        for (int line = 0; line < layout.lineCount(); ++line)
            ASSERT_LE(layout.lineEnd(line) - layout.lineStart(line), 4096);
    }
}

INSTANTIATE_TEST_SUITE_P(Fonts, MemoLayoutTest, ::testing::Values("Liberation Mono", "Liberation Sans"));

} // namespace
