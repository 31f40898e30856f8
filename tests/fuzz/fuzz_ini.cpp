// The settings file reader and writer on any file content. Every read of the program's keys is
// checked against a plain model of the format (lines, sections, first occurrence, trimming,
// quotes, the NUL cut and the length cap); then one key is written and the file must be the old
// one with exactly that line replaced or added, and every other key must read as before.
//
// Input layout: the control values are taken from the end of the input, the file from the rest,
// so a seed settings file is mostly read as it is.

#include "persistence/Cp1252.h"
#include "persistence/IniFile.h"
#include "tests/fuzz/FuzzSupport.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

const char* const quindle::fuzz::kTarget = "fuzz_ini";

namespace {

using quindle::fuzz::fail;
using quindle::fuzz::readAll;
using quindle::fuzz::writeAll;

using namespace quindle;

enum class Type { Integer, Boolean, String };

struct Key {
    const char* name;
    Type type;
    int intDefault;
};

// The program's section "Morse", in its order, and one key that the program does not know.
constexpr std::array<Key, 12> kKeys = {{
    {"Freq", Type::Integer, 750},
    {"Speed", Type::Integer, 100},
    {"Delay", Type::Integer, 1},
    {"Case", Type::Boolean, 1},
    {"Size", Type::Integer, 9},
    {"Font", Type::String, 0},
    {"Punctuation", Type::Boolean, 0},
    {"Accented", Type::Boolean, 0},
    {"Speaker", Type::Boolean, 0},
    {"Settings", Type::Boolean, 0},
    {"AutoCT", Type::Boolean, 0},
    {"Other Key", Type::String, 0},
}};
const QString kFontDefault = QStringLiteral("Courier New");

std::unique_ptr<QTemporaryDir> g_dir;

// A plain model of the file format, written for clarity rather than speed.
class Model {
public:
    struct Line {
        qsizetype start;
        QByteArray content; // without its line end
        qsizetype end;      // after its line end
    };

    // After the UTF-8 mark, which is no part of the first line, the file is UTF-8.
    explicit Model(const QByteArray& bytes) : m_bytes(bytes), m_utf8(bytes.startsWith("\xEF\xBB\xBF"))
    {
        qsizetype start = bodyStart();
        while (start < bytes.size()) {
            qsizetype i = start;
            while (i < bytes.size() && bytes[i] != '\r' && bytes[i] != '\n')
                ++i;
            qsizetype end = i;
            if (end < bytes.size())
                end += bytes.mid(end, 2) == "\r\n" ? 2 : 1;
            m_lines.push_back({start, bytes.mid(start, i - start), end});
            start = end;
        }
    }

    static QByteArray trimmed(QByteArray s)
    {
        auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; };
        while (!s.isEmpty() && blank(s.front()))
            s.remove(0, 1);
        while (!s.isEmpty() && blank(s.back()))
            s.chop(1);
        return s;
    }

    qsizetype bodyStart() const { return m_utf8 ? 3 : 0; }
    QString decode(const QByteArray& bytes) const
    {
        return m_utf8 ? QString::fromUtf8(bytes) : cp1252::decode(bytes);
    }
    QByteArray encode(const QString& text) const { return m_utf8 ? text.toUtf8() : cp1252::encode(text); }

    bool sameName(const QByteArray& name, const QString& wanted) const
    {
        return decode(name).compare(wanted, Qt::CaseInsensitive) == 0;
    }

    // The section name of a header line.
    static std::optional<QByteArray> header(const QByteArray& content)
    {
        const QByteArray t = trimmed(content);
        const qsizetype close = t.lastIndexOf(']');
        if (!t.startsWith('[') || close < 1)
            return std::nullopt;
        return trimmed(t.mid(1, close - 1));
    }

    // What a read gives for the value text of an entry line.
    QString valueOf(const QByteArray& raw) const
    {
        QByteArray v = trimmed(raw);
        if (const qsizetype nul = v.indexOf('\0'); nul >= 0)
            v.truncate(nul);
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            v = v.mid(1, v.size() - 2);
        return decode(v).left(IniFile::kMaxValueLength);
    }

    struct Where {
        int sectionLine = -1; // header of the first section of the name
        int lastLine = -1;    // last non-blank line of that section
        int keyLine = -1;
    };

    Where find(const QString& section, const QString& key) const
    {
        Where w;
        bool matching = false;
        bool inFirst = false;
        for (int i = 0; i < int(m_lines.size()); ++i) {
            const QByteArray& content = m_lines[i].content;
            if (const auto name = header(content)) {
                matching = sameName(*name, section);
                inFirst = matching && w.sectionLine < 0;
                if (inFirst)
                    w.sectionLine = w.lastLine = i;
                continue;
            }
            if (!matching)
                continue;
            if (inFirst && !trimmed(content).isEmpty())
                w.lastLine = i;
            const qsizetype eq = content.indexOf('=');
            if (eq >= 0 && sameName(trimmed(content.left(eq)), key)) {
                w.keyLine = i;
                return w;
            }
        }
        return w;
    }

    std::optional<QString> read(const QString& section, const QString& key) const
    {
        const Where w = find(section, key);
        if (w.keyLine < 0)
            return std::nullopt;
        const QByteArray& content = m_lines[w.keyLine].content;
        return valueOf(content.mid(content.indexOf('=') + 1));
    }

    const std::vector<Line>& lines() const { return m_lines; }

private:
    QByteArray m_bytes;
    bool m_utf8;
    std::vector<Line> m_lines;
};

// The integer a value text stands for, by the documented rules.
std::optional<int> integerOf(const QString& text)
{
    QStringView s(text);
    bool negative = false;
    if (!s.isEmpty() && (s[0] == u'+' || s[0] == u'-')) {
        negative = s[0] == u'-';
        s = s.mid(1);
    }
    int base = 10;
    if (s.startsWith(u'$')) {
        base = 16;
        s = s.mid(1);
    } else if (s.startsWith(u"0x") || s.startsWith(u"0X")) {
        base = 16;
        s = s.mid(2);
    }
    if (s.isEmpty())
        return std::nullopt;
    for (const QChar c : s) {
        const bool digit = c >= u'0' && c <= u'9';
        const bool hexDigit = (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (!digit && !(base == 16 && hexDigit))
            return std::nullopt;
    }
    bool ok = false;
    const qulonglong magnitude = s.toULongLong(&ok, base);
    if (!ok)
        return std::nullopt;
    if (base == 16) {
        if (magnitude > 0xFFFFFFFFull)
            return std::nullopt;
        const uint32_t bits = uint32_t(magnitude);
        return int32_t(negative ? uint32_t(0) - bits : bits);
    }
    const qulonglong limit = qulonglong(std::numeric_limits<int>::max()) + (negative ? 1 : 0);
    if (magnitude > limit)
        return std::nullopt;
    return int(negative ? -qlonglong(magnitude) : qlonglong(magnitude));
}

// The name with the letter case of some letters flipped, as a user may have typed it.
QString mangled(const char* name, uint32_t mask)
{
    QString s = QString::fromLatin1(name);
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (mask & (1u << (i % 32)))
            s[i] = s[i].isUpper() ? s[i].toLower() : s[i].toUpper();
    }
    return s;
}

// Reads every key of both sections and checks each against the model.
void checkReads(IniFile& ini, const Model& model, uint32_t mask)
{
    for (const char* section : {"Morse", "Other"}) {
        const QString sectionName = mangled(section, mask);
        for (const Key& key : kKeys) {
            const QString keyName = mangled(key.name, mask >> 7);
            const std::optional<QString> expected = model.read(QString::fromLatin1(section), QString::fromLatin1(key.name));
            const QString text = ini.readString(sectionName, keyName, kFontDefault);
            if (text != expected.value_or(kFontDefault))
                fail("a string read differs from the model");
            if (text.size() > IniFile::kMaxValueLength || text.contains(u'\r') || text.contains(u'\n')
                || text.contains(QChar(u'\0')))
                fail("a string value out of bounds");
            if (key.type == Type::String)
                continue;
            const int def = key.intDefault;
            const std::optional<int> number = expected ? integerOf(*expected) : std::nullopt;
            if (ini.readInteger(sectionName, keyName, def) != number.value_or(def))
                fail("an integer read differs from the model");
            if (key.type == Type::Boolean && ini.readBool(sectionName, keyName, def != 0) != (number.value_or(def) != 0))
                fail("a Boolean read differs from the model");
        }
    }
}

// The file the model expects after writing value to section/key.
QByteArray expectedAfterWrite(const QByteArray& old, const Model& model, const QString& section, const QString& key,
                              const QByteArray& value)
{
    const Model::Where w = model.find(section, key);
    const QByteArray entry = model.encode(key) + '=' + value;
    if (w.keyLine >= 0) {
        const Model::Line& line = model.lines()[w.keyLine];
        const QByteArray name = Model::trimmed(line.content.left(line.content.indexOf('=')));
        return old.left(line.start) + name + '=' + value + old.mid(line.start + line.content.size());
    }
    if (w.sectionLine >= 0) {
        const Model::Line& line = model.lines()[w.lastLine];
        const bool ended = line.end > line.start + line.content.size();
        return old.left(line.end) + (ended ? "" : "\r\n") + entry + "\r\n" + old.mid(line.end);
    }
    QByteArray bytes = old;
    if (bytes.size() > model.bodyStart() && !bytes.endsWith('\r') && !bytes.endsWith('\n'))
        bytes += "\r\n";
    return bytes + '[' + model.encode(section) + "]\r\n" + entry + "\r\n";
}

// A value the writer must accept: Windows-1252 text without line breaks and NULs.
QString valueFrom(const std::vector<uint8_t>& raw, bool longValue)
{
    QByteArray bytes(reinterpret_cast<const char*>(raw.data()), qsizetype(raw.size()));
    for (char& c : bytes) {
        if (c == '\r' || c == '\n' || c == '\0')
            c = '_';
    }
    if (longValue)
        bytes = bytes.isEmpty() ? QByteArray(IniFile::kMaxValueLength + 5, 'v') : bytes.repeated(2100 / bytes.size() + 1);
    return cp1252::decode(bytes);
}

// A UTF-16 LE file (FF FE) as the UTF-8 file with the same text, which is how the reader holds it;
// exact is false when it would not be written back as it was. A UTF-16 BE file (FE FF) reads as
// an empty one and is never written.
QByteArray asUtf8(const QByteArray& file, bool& exact)
{
    // UTF-16 big-endian is not read, nor written.
    if (file.startsWith("\xFE\xFF")) {
        exact = false;
        return {};
    }
    if (!file.startsWith("\xFF\xFE"))
        return file;
    QString text;
    for (qsizetype i = 2; i + 1 < file.size(); i += 2)
        text += QChar(char16_t(uint8_t(file[i]) | uint8_t(file[i + 1]) << 8));
    exact = file.size() % 2 == 0 && QString::fromUtf8(text.toUtf8()) == text;
    return "\xEF\xBB\xBF" + text.toUtf8();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_dir = std::make_unique<QTemporaryDir>();
    if (!g_dir->isValid())
        fail("no temporary folder");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const Key& key = kKeys[fdp.ConsumeIntegralInRange<size_t>(0, kKeys.size() - 1)];
    const uint32_t mask = fdp.ConsumeIntegral<uint32_t>();
    const uint8_t flags = fdp.ConsumeIntegral<uint8_t>();
    const int number = fdp.ConsumeIntegral<int>();
    std::vector<uint8_t> rawValue(fdp.ConsumeIntegralInRange<size_t>(0, 24));
    for (uint8_t& b : rawValue)
        b = fdp.ConsumeIntegral<uint8_t>();
    const std::vector<uint8_t> file = fdp.ConsumeRemainingBytes<uint8_t>();

    const QByteArray old(reinterpret_cast<const char*>(file.data()), qsizetype(file.size()));
    const QString path = g_dir->filePath(QStringLiteral("settings.ini"));
    writeAll(path, old);
    bool exact = true;
    const Model model(asUtf8(old, exact));

    auto reader = std::make_unique<IniFile>(path);
    checkReads(*reader, model, mask);

    // The write goes through the object that read (a load followed by a save) or a fresh one.
    if (flags & 1)
        reader = std::make_unique<IniFile>(path);
    const QString section = QString::fromLatin1((flags & 2) ? "Other" : "Morse");
    const QString keyName = QString::fromLatin1(key.name);
    QString value;
    bool written = false;
    if (key.type == Type::Integer) {
        value = QString::number(number);
        written = reader->writeInteger(section, keyName, number);
    } else if (key.type == Type::Boolean) {
        value = (number & 1) ? QStringLiteral("1") : QStringLiteral("0");
        written = reader->writeBool(section, keyName, number & 1);
    } else {
        value = valueFrom(rawValue, flags & 4);
        written = reader->writeString(section, keyName, value);
    }
    if (!exact) {
        if (written || readAll(path) != old)
            fail("a UTF-16 file that cannot be written back as it was was changed");
        return 0;
    }
    if (!written || !reader->errorString().isEmpty())
        fail("a valid write failed");

    const QByteArray nowBytes = readAll(path);
    if (nowBytes.startsWith("\xFF\xFE") != old.startsWith("\xFF\xFE"))
        fail("the write changed the file's encoding");
    const QByteArray now = asUtf8(nowBytes, exact);
    if (now != expectedAfterWrite(asUtf8(old, exact), model, section, keyName, model.encode(value)))
        fail("the write changed more than the key's line");

    // Every other key reads as before; the written one reads what was written.
    IniFile fresh(path);
    const Model after(now);
    for (const char* s : {"Morse", "Other"}) {
        for (const Key& k : kKeys) {
            const QString sName = QString::fromLatin1(s);
            const QString kName = QString::fromLatin1(k.name);
            const std::optional<QString> expected =
                (sName == section && kName == keyName)
                    ? std::optional<QString>(model.valueOf(model.encode(value)))
                    : model.read(sName, kName);
            if (fresh.readString(sName, kName, kFontDefault) != expected.value_or(kFontDefault))
                fail("a key reads differently after the write");
        }
    }
    // A second write through the same object works on the new content.
    if (flags & 8) {
        const QString again = QStringLiteral("x%1").arg(number);
        if (!reader->writeString(section, keyName, again))
            fail("a second write failed");
        IniFile check(path);
        if (check.readString(section, keyName, QString()) != again)
            fail("the second write is not read back");
    }
    checkReads(fresh, after, mask);
    // Several keys of several sections (one of them new) set in memory and written by one commit
    // give the bytes that writing them one at a time gives.
    if (flags & 16) {
        const QString batchPath = g_dir->filePath(QStringLiteral("batch.ini"));
        writeAll(path, old);
        writeAll(batchPath, old);
        IniFile oneByOne(path);
        IniFile batch(batchPath);
        for (int i = 0; i < 6; ++i) {
            const uint32_t bits = (mask ^ uint32_t(number) >> i) * 2654435761u * uint32_t(i + 1);
            static constexpr const char* kSections[] = {"Morse", "Other", "New"};
            const QString s = mangled(kSections[(bits >> 7) % 3], bits >> 2);
            const QString k = mangled(kKeys[(bits >> 11) % kKeys.size()].name, bits >> 3);
            const QString v = QStringLiteral("v%1").arg(i);
            if (!oneByOne.writeString(s, k, v) || !batch.setString(s, k, v))
                fail("a write of a batch failed");
            if (batch.readString(s, k, QString()) != v)
                fail("a value set is not read back before the commit");
        }
        if (!batch.commit())
            fail("a batch's commit failed");
        if (readAll(batchPath) != readAll(path))
            fail("one commit of several keys differs from writing them one at a time");
    }
    return 0;
}
