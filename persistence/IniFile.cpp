#include "persistence/IniFile.h"

#include "persistence/Cp1252.h"
#include "persistence/TextFile.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace quindle {

namespace {

const QByteArray kLineEnd = QByteArrayLiteral("\r\n");

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

// A byte range of m_bytes.
struct Span {
    qsizetype begin;
    qsizetype end;
    qsizetype size() const { return end - begin; }
};

Span trimmed(const QByteArray& bytes, Span s)
{
    while (s.begin < s.end && isBlank(bytes[s.begin]))
        ++s.begin;
    while (s.end > s.begin && isBlank(bytes[s.end - 1]))
        --s.end;
    return s;
}

// The name of a section header line ("[name]", the name ending at the last ']'), or nothing.
std::optional<Span> headerName(const QByteArray& bytes, Span line)
{
    const Span t = trimmed(bytes, line);
    if (t.size() == 0 || bytes[t.begin] != '[')
        return std::nullopt;
    for (qsizetype i = t.end - 1; i > t.begin; --i) {
        if (bytes[i] == ']')
            return trimmed(bytes, {t.begin + 1, i});
    }
    return std::nullopt;
}

// The first '=' of a line, or -1: a line without one is no entry.
qsizetype equalsSign(const QByteArray& bytes, Span line)
{
    for (qsizetype i = line.begin; i < line.end; ++i) {
        if (bytes[i] == '=')
            return i;
    }
    return -1;
}

// Windows-1252 is one byte per character, so names of another length never match; only those of
// the right length are decoded for the case-insensitive comparison.
bool nameEquals(const QByteArray& bytes, Span name, const QString& wanted)
{
    if (name.size() != wanted.size())
        return false;
    const QString text = cp1252::decode(bytes.mid(name.begin, name.size()));
    return text.compare(wanted, Qt::CaseInsensitive) == 0;
}

bool hasLineBreakOrNul(const QString& s)
{
    return s.contains(u'\r') || s.contains(u'\n') || s.contains(QChar(u'\0'));
}

} // namespace

IniFile::IniFile(QString fileName) : m_fileName(std::move(fileName)) {}

void IniFile::load()
{
    if (m_loaded)
        return;
    m_loaded = true;
    QFile file(m_fileName);
    // A missing or unreadable file reads as empty: every key then gives its default. One that
    // exists but cannot be read is never rewritten from that empty picture.
    if (file.open(QIODevice::ReadOnly)) {
        // One byte more than the cap tells a file at the cap from a larger one, also for devices
        // and pipes whose size is unknown.
        // QIODevice::read(n) reserves n bytes first: ask a regular file for no more than it holds.
        const qint64 wanted = file.isSequential() ? kMaxFileSize + 1 : std::min(file.size(), kMaxFileSize) + 1;
        m_bytes = file.read(wanted);
        if (m_bytes.size() > kMaxFileSize) {
            m_tooLarge = true;
            m_bytes.truncate(kMaxFileSize);
        }
        if (file.error() != QFileDevice::NoError) {
            m_unreadable = file.errorString();
            m_bytes.clear();
        }
    } else if (QFileInfo::exists(m_fileName)) {
        m_unreadable = QFileInfo(m_fileName).isDir() ? QString::fromLocal8Bit(std::strerror(EISDIR))
                                                     : file.errorString();
    }
    indexLines();
}

void IniFile::indexLines()
{
    m_lines.clear();
    const qsizetype n = m_bytes.size();
    const char* p = m_bytes.constData();
    qsizetype start = 0;
    for (qsizetype i = 0; i < n; ++i) {
        if (p[i] == '\n' || p[i] == '\r') {
            const qsizetype end = (p[i] == '\r' && i + 1 < n && p[i + 1] == '\n') ? i + 2 : i + 1;
            m_lines.push_back({start, i - start, end});
            start = end;
            i = end - 1;
        }
    }
    if (start < n)
        m_lines.push_back({start, n - start, n});
}

IniFile::Found IniFile::find(const QString& section, const QString& key) const
{
    Found found;
    bool inMatching = false;
    bool inFirst = false;
    for (qsizetype i = 0; i < qsizetype(m_lines.size()); ++i) {
        const Span line{m_lines[i].start, m_lines[i].start + m_lines[i].length};
        if (const auto name = headerName(m_bytes, line)) {
            inMatching = nameEquals(m_bytes, *name, section);
            inFirst = inMatching && found.sectionLine < 0;
            if (inFirst) {
                found.sectionLine = i;
                found.insertAfter = i;
            }
            continue;
        }
        if (!inMatching)
            continue;
        if (inFirst && trimmed(m_bytes, line).size() > 0)
            found.insertAfter = i;
        const qsizetype eq = equalsSign(m_bytes, line);
        if (eq >= 0 && nameEquals(m_bytes, trimmed(m_bytes, {line.begin, eq}), key)) {
            found.keyLine = i;
            return found;
        }
    }
    return found;
}

std::optional<QString> IniFile::rawValue(const QString& section, const QString& key)
{
    load();
    const Found found = find(section, key);
    if (found.keyLine < 0)
        return std::nullopt;
    const Line& line = m_lines[found.keyLine];
    const qsizetype eq = equalsSign(m_bytes, {line.start, line.start + line.length});
    Span value = trimmed(m_bytes, {eq + 1, line.start + line.length});
    // The value is a C string to the platform: it ends at a NUL.
    for (qsizetype i = value.begin; i < value.end; ++i) {
        if (m_bytes[i] == '\0') {
            value.end = i;
            break;
        }
    }
    if (value.size() >= 2) {
        const char first = m_bytes[value.begin];
        if ((first == '"' || first == '\'') && m_bytes[value.end - 1] == first) {
            ++value.begin;
            --value.end;
        }
    }
    value.end = std::min(value.end, value.begin + kMaxValueLength);
    return cp1252::decode(m_bytes.mid(value.begin, value.size()));
}

QString IniFile::readString(const QString& section, const QString& key, const QString& def)
{
    return rawValue(section, key).value_or(def);
}

std::optional<int> IniFile::parseInteger(const QString& text)
{
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    bool hex = false;
    if (i < text.size() && text[i] == u'$') {
        hex = true;
        i += 1;
    } else if (i + 1 < text.size() && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        hex = true;
        i += 2;
    }
    if (i == text.size())
        return std::nullopt;
    // Hexadecimal takes the full 32 bits (so "$FFFFFFFF" is -1); decimal must fit a signed int.
    const uint64_t limit =
        hex ? 0xFFFFFFFFull : uint64_t(std::numeric_limits<int>::max()) + (negative ? 1 : 0);
    uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        int digit = -1;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (hex && c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (hex && c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        if (digit < 0)
            return std::nullopt;
        magnitude = magnitude * (hex ? 16 : 10) + uint64_t(digit);
        if (magnitude > limit)
            return std::nullopt;
    }
    const uint32_t bits = uint32_t(magnitude);
    const uint32_t value = negative ? uint32_t(0) - bits : bits;
    return int32_t(value);
}

int IniFile::readInteger(const QString& section, const QString& key, int def)
{
    const std::optional<QString> raw = rawValue(section, key);
    if (!raw)
        return def;
    return parseInteger(*raw).value_or(def);
}

bool IniFile::readBool(const QString& section, const QString& key, bool def)
{
    return readInteger(section, key, def ? 1 : 0) != 0;
}

bool IniFile::fail(const QString& message)
{
    m_error = message;
    return false;
}

bool IniFile::writeString(const QString& section, const QString& key, const QString& value)
{
    m_error.clear();
    // Names and values that would change the file's structure when written are refused.
    if (section.isEmpty() || hasLineBreakOrNul(section) || section.contains(u']'))
        return fail(QStringLiteral("Invalid section name \"%1\"").arg(section));
    if (key.trimmed().isEmpty() || key.trimmed() != key || hasLineBreakOrNul(key) || key.contains(u'=') ||
        key.startsWith(u'['))
        return fail(QStringLiteral("Invalid key name \"%1\"").arg(key));
    if (hasLineBreakOrNul(value))
        return fail(QStringLiteral("The value of \"%1\" holds a line break").arg(key));
    qsizetype bad = -1;
    const QByteArray sectionBytes = cp1252::encode(section, &bad);
    const QByteArray keyBytes = bad < 0 ? cp1252::encode(key, &bad) : QByteArray();
    const QByteArray valueBytes = bad < 0 ? cp1252::encode(value, &bad) : QByteArray();
    if (bad >= 0)
        return fail(
            QStringLiteral("The value of \"%1\" holds a character that Windows-1252 cannot hold").arg(key));

    load();
    if (!m_unreadable.isEmpty())
        return fail(
            QStringLiteral("Cannot read \"%1\": %2; it is left unchanged").arg(m_fileName, m_unreadable));
    if (m_tooLarge)
        return fail(QStringLiteral("The file \"%1\" is larger than %2 bytes; it is left unchanged")
                        .arg(m_fileName, QString::number(kMaxFileSize)));

    const Found found = find(section, key);
    QByteArray bytes;
    if (found.keyLine >= 0) {
        const Line& line = m_lines[found.keyLine];
        const qsizetype eq = equalsSign(m_bytes, {line.start, line.start + line.length});
        const Span name = trimmed(m_bytes, {line.start, eq});
        bytes = m_bytes.left(line.start) + m_bytes.mid(name.begin, name.size()) + '=' + valueBytes +
                m_bytes.mid(line.start + line.length);
    } else if (found.sectionLine >= 0) {
        const Line& after = m_lines[found.insertAfter];
        const bool ended = after.end > after.start + after.length;
        bytes = m_bytes.left(after.end) + (ended ? QByteArray() : kLineEnd) + keyBytes + '=' + valueBytes +
                kLineEnd + m_bytes.mid(after.end);
    } else {
        bytes = m_bytes;
        if (!bytes.isEmpty() && !bytes.endsWith('\n') && !bytes.endsWith('\r'))
            bytes += kLineEnd;
        bytes += '[' + sectionBytes + ']' + kLineEnd + keyBytes + '=' + valueBytes + kLineEnd;
    }

    const FileResult saved = writeFileAtomically(m_fileName, bytes);
    if (!saved.ok)
        return fail(QStringLiteral("Cannot write \"%1\": %2").arg(m_fileName, saved.systemError));
    // The new content is what the next read or write works on.
    m_bytes = bytes;
    indexLines();
    return true;
}

bool IniFile::writeInteger(const QString& section, const QString& key, int value)
{
    return writeString(section, key, QString::number(value));
}

bool IniFile::writeBool(const QString& section, const QString& key, bool value)
{
    return writeString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

} // namespace quindle
