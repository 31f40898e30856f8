#include "persistence/Cp1252.h"

#include <array>

namespace quindle::cp1252 {

namespace {

// 0x80..0x9F; zero marks the undefined slots, which keep their C1 value.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

} // namespace

QChar toUnicode(uint8_t code)
{
    if (code >= 0x80 && code <= 0x9F && kHigh[code - 0x80] != 0)
        return QChar(kHigh[code - 0x80]);
    return QChar(char16_t(code));
}

uint8_t fromUnicode(QChar ch, bool* ok)
{
    const char16_t u = ch.unicode();
    bool held = true;
    uint8_t code = kUnmappable;
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
        code = uint8_t(u);
    } else if (u >= 0x80 && u <= 0x9F) {
        // Only the C1 controls that stand for an undefined slot are held.
        held = kHigh[u - 0x80] == 0;
        code = held ? uint8_t(u) : kUnmappable;
    } else {
        held = false;
        for (size_t i = 0; i < kHigh.size(); ++i) {
            if (kHigh[i] == u) {
                code = uint8_t(0x80 + i);
                held = true;
                break;
            }
        }
    }
    if (ok)
        *ok = held;
    return code;
}

QString decode(const QByteArray& bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (qsizetype i = 0; i < bytes.size(); ++i)
        out[i] = toUnicode(uint8_t(bytes[i]));
    return text;
}

QByteArray encode(const QString& text, qsizetype* firstBad)
{
    QByteArray bytes(text.size(), Qt::Uninitialized);
    qsizetype bad = -1;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            bytes[i] = char(u);
            continue;
        }
        bool ok = true;
        bytes[i] = char(fromUnicode(text[i], &ok));
        if (!ok && bad < 0)
            bad = i;
    }
    if (firstBad)
        *firstBad = bad;
    return bytes;
}

} // namespace quindle::cp1252
