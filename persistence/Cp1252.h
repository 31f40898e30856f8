#pragma once

#include <QByteArray>
#include <QChar>
#include <QString>

#include <cstdint>

namespace quindle::cp1252 {

// The code that stands for a character Windows-1252 cannot hold: an undefined slot of the code
// page, so the keying engine treats it as unlisted. Never '?'.
constexpr uint8_t kUnmappable = 0x81;

// The Unicode character of a byte. The five undefined slots (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to
// the C1 controls of the same value, so every byte round-trips.
QChar toUnicode(uint8_t code);
// The byte of a character, or kUnmappable with *ok false when the code page cannot hold it.
uint8_t fromUnicode(QChar ch, bool* ok = nullptr);

QString decode(const QByteArray& bytes);
// Encodes text; *firstBad receives the index of the first character that cannot be held (-1 if
// none), which is then written as kUnmappable.
QByteArray encode(const QString& text, qsizetype* firstBad = nullptr);

} // namespace quindle::cp1252
