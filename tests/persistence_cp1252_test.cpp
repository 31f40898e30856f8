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
        // Every slot of 0x80..0x9F as the code page defines it. The undefined slots (0x81, 0x8D,
        // 0x8F, 0x90, 0x9D) stand for the C1 control of the same value.
        {0x80, 0x20AC}, {0x81, 0x0081}, {0x82, 0x201A}, {0x83, 0x0192},
        {0x84, 0x201E}, {0x85, 0x2026}, {0x86, 0x2020}, {0x87, 0x2021},
        {0x88, 0x02C6}, {0x89, 0x2030}, {0x8A, 0x0160}, {0x8B, 0x2039},
        {0x8C, 0x0152}, {0x8D, 0x008D}, {0x8E, 0x017D}, {0x8F, 0x008F},
        {0x90, 0x0090}, {0x91, 0x2018}, {0x92, 0x2019}, {0x93, 0x201C},
        {0x94, 0x201D}, {0x95, 0x2022}, {0x96, 0x2013}, {0x97, 0x2014},
        {0x98, 0x02DC}, {0x99, 0x2122}, {0x9A, 0x0161}, {0x9B, 0x203A},
        {0x9C, 0x0153}, {0x9D, 0x009D}, {0x9E, 0x017E}, {0x9F, 0x0178},
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
