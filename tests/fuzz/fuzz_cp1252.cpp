// The memo's Windows-1252 boundary: any bytes decode and encode back unchanged, and encoding any
// UTF-16 text reports the first character the code page cannot hold.

#include "persistence/Cp1252.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using namespace quindle;

// The byte of each UTF-16 unit, built from the decoding direction only; -1 where no byte decodes
// to it.
std::array<int16_t, 0x10000> g_byteOf;

void buildReverseTable()
{
    g_byteOf.fill(-1);
    for (int b = 0; b < 256; ++b) {
        const char16_t u = cp1252::toUnicode(uint8_t(b)).unicode();
        if (g_byteOf[u] != -1)
            std::abort(); // two bytes decode to one character: no round trip
        g_byteOf[u] = int16_t(b);
    }
}

void checkBytes(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString text = cp1252::decode(bytes);
    if (text.size() != bytes.size())
        std::abort();
    qsizetype bad = -2;
    const QByteArray back = cp1252::encode(text, &bad);
    if (back != bytes || bad != -1)
        std::abort();
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != cp1252::toUnicode(data[i]))
            std::abort();
    }
}

void checkUtf16(const uint8_t* data, size_t size)
{
    QString text(qsizetype(size / 2), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        text[i] = QChar(char16_t(data[2 * i] | (data[2 * i + 1] << 8)));

    qsizetype expectedBad = -1;
    QByteArray expected(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const int b = g_byteOf[text[i].unicode()];
        if (b < 0 && expectedBad < 0)
            expectedBad = i;
        expected[i] = char(b < 0 ? cp1252::kUnmappable : b);
    }

    qsizetype bad = -2;
    const QByteArray bytes = cp1252::encode(text, &bad);
    if (bad != expectedBad || bytes != expected)
        std::abort();
    // Without the index asked for, the bytes are the same.
    if (cp1252::encode(text) != bytes)
        std::abort();
    if (expectedBad < 0 && cp1252::decode(bytes) != text)
        std::abort();
    for (qsizetype i = 0; i < text.size(); ++i) {
        bool ok = false;
        const uint8_t b = cp1252::fromUnicode(text[i], &ok);
        if (ok != (g_byteOf[text[i].unicode()] >= 0) || b != uint8_t(expected[i]))
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    buildReverseTable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    checkBytes(data, size);
    checkUtf16(data, size);
    return 0;
}
