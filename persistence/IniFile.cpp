#include "persistence/IniFile.h"

#include "persistence/Cp1252.h"
#include "persistence/TextFile.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quindle {

namespace {

const QByteArray kLineEnd = QByteArrayLiteral("\r\n");
// What many editors write at the start of a UTF-8 file.
const QByteArray kUtf8Mark = QByteArrayLiteral("\xEF\xBB\xBF");
// The UTF-16 little-endian mark, with which the profile functions read and write UTF-16 files.
const QByteArray kUtf16Mark = QByteArrayLiteral("\xFF\xFE");

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

QString systemErrorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Reads at most limit bytes of the regular file at path into bytes. Returns why the file cannot be
// read, or "" when it was read or is missing (bytes then empty). Anything but a regular file cannot
// be read, and is not even opened: a named pipe would block, a device may act on being opened.
QString readRegularFile(const QString& path, qint64 limit, QByteArray& bytes)
{
    bytes.clear();
    const QString notRegular = QStringLiteral("Not a regular file");
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::stat(name.constData(), &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? QString() : systemErrorText(errno);
    if (!S_ISREG(info.st_mode))
        return S_ISDIR(info.st_mode) ? systemErrorText(EISDIR) : notRegular;
    // Non-blocking all the same: a pipe may have taken the file's place since.
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return systemErrorText(errno);
    QString error;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = S_ISREG(info.st_mode) ? systemErrorText(errno) : notRegular;
    } else {
        // A buffer of the file's own size, not of the limit.
        bytes.resize(qsizetype(std::min<qint64>(info.st_size, limit)));
        qsizetype got = 0;
        while (got < bytes.size() && error.isEmpty()) {
            const ssize_t n = ::read(fd, bytes.data() + got, size_t(bytes.size() - got));
            if (n == 0)
                break;
            if (n < 0 && errno != EINTR)
                error = systemErrorText(errno);
            got += std::max<ssize_t>(n, 0);
        }
        bytes.truncate(error.isEmpty() ? got : 0);
    }
    ::close(fd);
    return error;
}

QString decode(const QByteArray& bytes, Span span, bool utf8)
{
    const QByteArray part = bytes.mid(span.begin, span.size());
    return utf8 ? QString::fromUtf8(part) : cp1252::decode(part);
}

// Windows-1252 is one byte per character, so names of another length never match; only those of
// the right length are decoded for the case-insensitive comparison.
bool nameEquals(const QByteArray& bytes, Span name, const QString& wanted, bool utf8)
{
    if (!utf8 && name.size() != wanted.size())
        return false;
    return decode(bytes, name, utf8).compare(wanted, Qt::CaseInsensitive) == 0;
}

QString boolText(bool value)
{
    return value ? QStringLiteral("1") : QStringLiteral("0");
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
    // A missing file reads as empty: every key then gives its default. One that exists but cannot
    // be read is never rewritten from that empty picture.
    m_unreadable = readRegularFile(m_fileName, kMaxFileSize + 1, m_bytes);
    // One byte more than the cap tells a file at the cap from a larger one.
    if (m_bytes.size() > kMaxFileSize) {
        m_tooLarge = true;
        m_bytes.truncate(kMaxFileSize);
    }
    // A UTF-16 file is held as the UTF-8 one with the same text, and written back as UTF-16. One
    // that would not come back byte for byte (an odd length, a lone surrogate) is never rewritten.
    m_utf16 = m_bytes.startsWith(kUtf16Mark);
    if (m_utf16) {
        const QByteArrayView body = QByteArrayView(m_bytes).sliced(kUtf16Mark.size());
        QString text(body.size() / 2, Qt::Uninitialized);
        for (qsizetype i = 0; i < text.size(); ++i)
            text[i] = QChar(char16_t(uint8_t(body[2 * i]) | uint8_t(body[2 * i + 1]) << 8));
        const QByteArray utf8 = text.toUtf8();
        if (m_unreadable.isEmpty() && !m_tooLarge &&
            (body.size() % 2 != 0 || QString::fromUtf8(utf8) != text))
            m_unreadable = QStringLiteral("Not valid UTF-16 text");
        m_bytes = kUtf8Mark + utf8;
    }
    m_utf8 = m_bytes.startsWith(kUtf8Mark);
    m_bodyStart = m_utf8 ? kUtf8Mark.size() : 0;
    indexLines();
}

void IniFile::indexLines()
{
    m_lines.clear();
    const qsizetype n = m_bytes.size();
    const char* p = m_bytes.constData();
    // The mark is no part of the first line, and stays where it is when the file is written.
    qsizetype start = m_bodyStart;
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
            inMatching = nameEquals(m_bytes, *name, section, m_utf8);
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
        if (eq >= 0 && nameEquals(m_bytes, trimmed(m_bytes, {line.begin, eq}), key, m_utf8)) {
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
    // A UTF-8 character takes up to 4 bytes.
    value.end = std::min(value.end, value.begin + kMaxValueLength * (m_utf8 ? 4 : 1));
    return decode(m_bytes, value, m_utf8).left(kMaxValueLength);
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

bool IniFile::setString(const QString& section, const QString& key, const QString& value)
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
    if (!canStore(section) || !canStore(key) || !canStore(value))
        return fail(
            QStringLiteral("The value of \"%1\" holds a character that Windows-1252 cannot hold").arg(key));
    const QByteArray sectionBytes = encode(section);
    const QByteArray keyBytes = encode(key);
    const QByteArray valueBytes = encode(value);

    if (!canReplace())
        return false;

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
        if (bytes.size() > m_bodyStart && !bytes.endsWith('\n') && !bytes.endsWith('\r'))
            bytes += kLineEnd;
        bytes += '[' + sectionBytes + ']' + kLineEnd + keyBytes + '=' + valueBytes + kLineEnd;
    }

    // What the next read sees and a commit writes.
    m_bytes = bytes;
    indexLines();
    return true;
}

bool IniFile::canReplace()
{
    load();
    if (!m_unreadable.isEmpty())
        return fail(
            QStringLiteral("Cannot read \"%1\": %2; it is left unchanged").arg(m_fileName, m_unreadable));
    if (m_tooLarge)
        return fail(QStringLiteral("The file \"%1\" is larger than %2 bytes; it is left unchanged")
                        .arg(m_fileName, QString::number(kMaxFileSize)));
    return true;
}

bool IniFile::commit()
{
    m_error.clear();
    if (!canReplace())
        return false;
    QByteArray bytes = m_bytes;
    if (m_utf16) {
        const QString text = QString::fromUtf8(QByteArrayView(m_bytes).sliced(m_bodyStart));
        bytes = kUtf16Mark;
        bytes.reserve(bytes.size() + 2 * text.size());
        for (const QChar c : text)
            bytes.append(char(c.unicode() & 0xFF)).append(char(c.unicode() >> 8));
    }
    const FileResult saved = writeFileAtomically(m_fileName, bytes);
    if (!saved.ok)
        return fail(QStringLiteral("Cannot write \"%1\": %2").arg(m_fileName, saved.systemError));
    return true;
}

bool IniFile::writeString(const QString& section, const QString& key, const QString& value)
{
    // On failure the object goes on holding what the file holds.
    load();
    const QByteArray before = m_bytes;
    if (!setString(section, key, value))
        return false;
    if (commit())
        return true;
    m_bytes = before;
    indexLines();
    return false;
}

bool IniFile::canStore(const QString& text)
{
    load();
    if (m_utf8)
        return true;
    qsizetype bad = -1;
    cp1252::encode(text, &bad);
    return bad < 0;
}

QByteArray IniFile::encode(const QString& text) const
{
    return m_utf8 ? text.toUtf8() : cp1252::encode(text);
}

bool IniFile::writeInteger(const QString& section, const QString& key, int value)
{
    return writeString(section, key, QString::number(value));
}

bool IniFile::writeBool(const QString& section, const QString& key, bool value)
{
    return writeString(section, key, boolText(value));
}

bool IniFile::setInteger(const QString& section, const QString& key, int value)
{
    return setString(section, key, QString::number(value));
}

bool IniFile::setBool(const QString& section, const QString& key, bool value)
{
    return setString(section, key, boolText(value));
}

} // namespace quindle
