#include "persistence/IniFile.h"

#include "persistence/Cp1252.h"
#include "persistence/TextFile.h"

#include <QFile>

#include <algorithm>
#include <array>
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
// The UTF-16 big-endian mark: a file that starts with it is not read, nor rewritten.
const QByteArray kUtf16BigEndianMark = QByteArrayLiteral("\xFE\xFF");

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

// A UTF-16 unit as a case-insensitive comparison of two QStrings sees it: folded. A surrogate
// stays a surrogate there (a pair is folded as a whole), so all of them are one here.
char16_t foldUnit(char16_t unit)
{
    return QChar::isSurrogate(unit) ? char16_t(0xD800) : char16_t(QChar::toCaseFolded(char32_t(unit)));
}

// Names that are equal without regard to letter case have the same hash; others seldom do.
class NameHash {
public:
    void add(char16_t folded) { m_hash = (m_hash ^ folded) * 16777619u; }
    uint value() const { return m_hash; }

private:
    uint m_hash = 2166136261u;
};

uint hashOf(const QString& name)
{
    NameHash hash;
    for (const QChar c : name)
        hash.add(foldUnit(c.unicode()));
    return hash.value();
}

// The hash of a name in the file, decoded as Windows-1252 or as UTF-8: one byte is one character
// in the first and, when it is ASCII, in the second; no copy is made but for other UTF-8.
uint hashOf(const QByteArray& bytes, Span name, bool utf8)
{
    static const auto folded = [] {
        std::array<char16_t, 256> table{};
        for (int b = 0; b < 256; ++b)
            table[size_t(b)] = foldUnit(cp1252::toUnicode(uint8_t(b)).unicode());
        return table;
    }();
    NameHash hash;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData());
    for (qsizetype i = name.begin; i < name.end; ++i) {
        if (utf8 && p[i] >= 0x80)
            return hashOf(decode(bytes, name, utf8));
        hash.add(folded[p[i]]);
    }
    return hash.value();
}

// The value of a key line as read: blanks around it removed, cut at a NUL, one pair of enclosing
// quotes removed, at most kMaxValueLength characters.
QString valueText(const QByteArray& bytes, Span value, bool utf8, int maxLength)
{
    value = trimmed(bytes, value);
    // The value is a C string to the platform: it ends at a NUL.
    for (qsizetype i = value.begin; i < value.end; ++i) {
        if (bytes[i] == '\0') {
            value.end = i;
            break;
        }
    }
    if (value.size() >= 2) {
        const char first = bytes[value.begin];
        if ((first == '"' || first == '\'') && bytes[value.end - 1] == first) {
            ++value.begin;
            --value.end;
        }
    }
    // A UTF-8 character takes up to 4 bytes.
    value.end = std::min(value.end, value.begin + qsizetype(maxLength) * (utf8 ? 4 : 1));
    return decode(bytes, value, utf8).left(maxLength);
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
    // UTF-16 big-endian, which the profile functions do not read either, is neither read as
    // Windows-1252 nor rewritten so.
    if (m_bytes.startsWith(kUtf16BigEndianMark)) {
        if (m_unreadable.isEmpty())
            m_unreadable = QStringLiteral("UTF-16 big-endian text, which is not read");
        m_bytes.clear();
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
}

IniFile::Line IniFile::lineAt(qsizetype start) const
{
    // CR LF, a lone CR and a lone LF each end a line.
    const qsizetype n = m_bytes.size();
    const char* p = m_bytes.constData();
    qsizetype stop = start;
    while (stop < n && p[stop] != '\n' && p[stop] != '\r')
        ++stop;
    const qsizetype end = stop == n                                          ? n
                          : p[stop] == '\r' && stop + 1 < n && p[stop + 1] == '\n' ? stop + 2
                                                                             : stop + 1;
    return {start, stop - start, end};
}

template <typename Header, typename Body, typename Visit>
void IniFile::walkSection(const QString& name, Header header, Body body, Visit visit) const
{
    const uint wanted = hashOf(name);
    bool inMatching = false;
    bool inFirst = false;
    bool seen = false;
    // The mark is no part of the first line.
    for (qsizetype start = m_bodyStart; start < m_bytes.size();) {
        const Line line = lineAt(start);
        const Span text{line.start, line.start + line.length};
        start = line.end;
        if (const auto found = headerName(m_bytes, text)) {
            inMatching = hashOf(m_bytes, *found, m_utf8) == wanted && nameEquals(m_bytes, *found, name, m_utf8);
            inFirst = inMatching && !seen;
            seen = seen || inMatching;
            if (inMatching)
                header(line, inFirst);
            continue;
        }
        if (!inMatching)
            continue;
        if (inFirst)
            body(line);
        const qsizetype eq = equalsSign(m_bytes, text);
        if (eq >= 0 && !visit(line, trimmed(m_bytes, {text.begin, eq})))
            return;
    }
}

const IniFile::Section& IniFile::section(const QString& name)
{
    load();
    const QString folded = name.toCaseFolded();
    if (const auto it = m_sections.constFind(folded); it != m_sections.cend())
        return *it;
    Section found;
    walkSection(
        name,
        [&found](const Line& line, bool first) {
            if (first)
                found.header = found.insertAfter = line;
        },
        [this, &found](const Line& line) {
            if (trimmed(m_bytes, {line.start, line.start + line.length}).size() > 0)
                found.insertAfter = line;
        },
        [this, &found](const Line& line, Span key) {
            const uint hash = hashOf(m_bytes, key, m_utf8);
            if (!found.keys.contains(hash))
                found.keys.insert(hash, line.start);
            return true;
        });
    return *m_sections.insert(folded, std::move(found));
}

std::optional<IniFile::Line> IniFile::keyLine(const QString& sectionName, const QString& key)
{
    const Section& found = section(sectionName);
    const auto it = found.keys.constFind(hashOf(key));
    if (it == found.keys.cend())
        return std::nullopt;
    const Line line = lineAt(*it);
    const qsizetype eq = equalsSign(m_bytes, {line.start, line.start + line.length});
    if (nameEquals(m_bytes, trimmed(m_bytes, {line.start, eq}), key, m_utf8))
        return line;
    // Another name with the same hash came first: the key, if there, is further on.
    std::optional<Line> match;
    walkSection(
        sectionName, [](const Line&, bool) {}, [](const Line&) {},
        [&](const Line& candidate, Span name) {
            if (nameEquals(m_bytes, name, key, m_utf8))
                match = candidate;
            return !match;
        });
    return match;
}

IniFile::Change* IniFile::changeOf(const QString& section, const QString& key)
{
    for (Change& change : m_changes) {
        if (change.section.compare(section, Qt::CaseInsensitive) == 0 &&
            change.key.compare(key, Qt::CaseInsensitive) == 0)
            return &change;
    }
    return nullptr;
}

std::optional<QString> IniFile::rawValue(const QString& section, const QString& key)
{
    load();
    if (const Change* change = changeOf(section, key))
        return valueText(change->valueBytes, {0, change->valueBytes.size()}, m_utf8, kMaxValueLength);
    const std::optional<Line> line = keyLine(section, key);
    if (!line)
        return std::nullopt;
    const qsizetype eq = equalsSign(m_bytes, {line->start, line->start + line->length});
    return valueText(m_bytes, {eq + 1, line->start + line->length}, m_utf8, kMaxValueLength);
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

    // Kept until the commit, which applies every change in one pass; reads see it meanwhile.
    if (Change* change = changeOf(section, key))
        change->valueBytes = valueBytes;
    else
        m_changes.push_back({section, key, sectionBytes, keyBytes, valueBytes});
    return true;
}

QByteArray IniFile::applyChanges()
{
    // An existing key keeps its line, with its own spelling of the name; a new key goes after the
    // last non-blank line of the first section of that name, after the keys set before it; a
    // missing section goes at the end, with its keys, in the order first set.
    struct Edit {
        qsizetype at;    // first byte replaced, or where the text goes
        qsizetype until; // the first byte after those replaced
        QByteArray text;
    };
    std::vector<Edit> edits;
    QHash<qsizetype, size_t> insertAt; // the edit that adds keys at a place
    std::vector<std::pair<QString, QByteArray>> added; // a new section's name and its lines
    for (const Change& change : m_changes) {
        const QByteArray entry = change.keyBytes + '=' + change.valueBytes + kLineEnd;
        if (const std::optional<Line> line = keyLine(change.section, change.key)) {
            const qsizetype eq = equalsSign(m_bytes, {line->start, line->start + line->length});
            const Span name = trimmed(m_bytes, {line->start, eq});
            edits.push_back({line->start, line->start + line->length,
                             m_bytes.mid(name.begin, name.size()) + '=' + change.valueBytes});
            continue;
        }
        const Section& found = section(change.section);
        if (found.header.start >= 0) {
            const Line after = found.insertAfter;
            auto it = insertAt.find(after.end);
            if (it == insertAt.end()) {
                it = insertAt.insert(after.end, edits.size());
                const bool ended = after.end > after.start + after.length;
                edits.push_back({after.end, after.end, ended ? QByteArray() : kLineEnd});
            }
            edits[*it].text += entry;
            continue;
        }
        const auto same = std::find_if(added.begin(), added.end(), [&](const auto& section) {
            return section.first.compare(change.section, Qt::CaseInsensitive) == 0;
        });
        if (same == added.end())
            added.emplace_back(change.section, '[' + change.sectionBytes + ']' + kLineEnd + entry);
        else
            same->second += entry;
    }
    std::stable_sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.at < b.at; });
    qsizetype size = m_bytes.size() + kLineEnd.size();
    for (const Edit& edit : edits)
        size += edit.text.size();
    for (const auto& section : added)
        size += section.second.size();
    QByteArray bytes;
    bytes.reserve(size);
    qsizetype copied = 0;
    for (const Edit& edit : edits) {
        bytes.append(QByteArrayView(m_bytes).sliced(copied, edit.at - copied)).append(edit.text);
        copied = edit.until;
    }
    bytes.append(QByteArrayView(m_bytes).sliced(copied));
    if (!added.empty() && bytes.size() > m_bodyStart && !bytes.endsWith('\n') && !bytes.endsWith('\r'))
        bytes += kLineEnd;
    for (const auto& section : added)
        bytes += section.second;
    return bytes;
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
    const QByteArray content = applyChanges();
    QByteArray bytes = content;
    if (m_utf16) {
        const QString text = QString::fromUtf8(QByteArrayView(content).sliced(m_bodyStart));
        bytes = kUtf16Mark;
        bytes.reserve(bytes.size() + 2 * text.size());
        for (const QChar c : text)
            bytes.append(char(c.unicode() & 0xFF)).append(char(c.unicode() >> 8));
    }
    const FileResult saved = writeFileAtomically(m_fileName, bytes);
    if (!saved.ok)
        return fail(QStringLiteral("Cannot write \"%1\": %2").arg(m_fileName, saved.systemError));
    // What the file now holds, read afresh.
    m_bytes = content;
    m_changes.clear();
    m_sections.clear();
    return true;
}

bool IniFile::writeString(const QString& section, const QString& key, const QString& value)
{
    // On failure the object goes on holding what the file holds.
    load();
    const std::vector<Change> before = m_changes;
    if (!setString(section, key, value))
        return false;
    if (commit())
        return true;
    m_changes = before;
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
