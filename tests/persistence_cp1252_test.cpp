#include "persistence/Cp1252.h"

#include <gtest/gtest.h>

namespace quindle {
namespace {

TEST(Cp1252, EveryByteRoundTrips)
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    const QString text = cp1252::decode(all);
    ASSERT_EQ(text.size(), 256);
    qsizetype bad = 123;
    EXPECT_EQ(cp1252::encode(text, &bad), all);
    EXPECT_EQ(bad, -1);
    for (int b = 0; b < 256; ++b) {
        bool ok = false;
        EXPECT_EQ(cp1252::fromUnicode(cp1252::toUnicode(uint8_t(b)), &ok), b) << b;
        EXPECT_TRUE(ok) << b;
    }
}

TEST(Cp1252, MapsTheHighSlots)
{
    const struct {
        uint8_t code;
        char16_t unicode;
    } cases[] = {
        {0x80, 0x20AC}, // euro sign
        {0x8A, 0x0160},
        {0x9F, 0x0178},
        {0x99, 0x2122},
        {0x85, 0x2026},
        // The undefined slots stand for the C1 control of the same value.
        {0x81, 0x0081},
        {0x8D, 0x008D},
        {0x8F, 0x008F},
        {0x90, 0x0090},
        {0x9D, 0x009D},
        {0xA0, 0x00A0},
        {0xE9, 0x00E9},
        {0xFF, 0x00FF},
        {0x41, 0x0041},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cp1252::toUnicode(c.code).unicode(), c.unicode) << int(c.code);
        bool ok = false;
        EXPECT_EQ(cp1252::fromUnicode(QChar(c.unicode), &ok), c.code) << int(c.code);
        EXPECT_TRUE(ok);
    }
}

TEST(Cp1252, UnmappableCharactersBecomeTheUnlistedCode)
{
    // U+0080 and U+009F have real characters in their slots, so the code page cannot hold them.
    for (const char16_t u : {char16_t(0x0080), char16_t(0x009F), char16_t(0x0100), char16_t(0x4E2D),
                             char16_t(0xD83D), char16_t(0xFFFD)}) {
        bool ok = true;
        EXPECT_EQ(cp1252::fromUnicode(QChar(u), &ok), cp1252::kUnmappable) << int(u);
        EXPECT_FALSE(ok) << int(u);
    }
    qsizetype bad = -1;
    const QByteArray bytes = cp1252::encode(QStringLiteral("ab\u20AC\u4E2Dc\u0100"), &bad);
    EXPECT_EQ(bad, 3);
    EXPECT_EQ(bytes, QByteArray("ab\x80\x81"
                                "c\x81"));
}

} // namespace
} // namespace quindle
