#include "persistence/IniFile.h"
#include "persistence/SettingsLocation.h"
#include "tests/support/ProcStatus.h"
#include "tests/support/PersistenceTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <climits>
#include <variant>

#include <sys/stat.h>

namespace quindle {
namespace {

using test::readAll;
using test::writeAll;

class IniFileTest : public ::testing::Test {
protected:
    QString path(const QString& name = QStringLiteral("quindle2.ini")) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

// One read against one stored file. An int or bool default reads with readInteger or readBool, a
// string default with readString.
struct ReadCase {
    const char* name;
    QByteArray file;
    const char* key;
    std::variant<int, bool, QString> def;
    std::variant<int, bool, QString> expected;
};

// A settings file in UTF-16 LE with its mark.
QByteArray utf16(const char* utf8)
{
    QByteArray bytes = "\xFF\xFE";
    for (const QChar c : QString::fromUtf8(utf8))
        bytes.append(char(c.unicode() & 0xFF)).append(char(c.unicode() >> 8));
    return bytes;
}

// clang-format off
const ReadCase kReadCases[] = {
    {"plain integer", "[Morse]\r\nSpeed=500\r\n", "Speed", 100, 500},
    {"not an integer", "[Morse]\r\nSpeed=abc\r\n", "Speed", 100, 100},
    {"hex 0x", "[Morse]\r\nSpeed=0x50\r\n", "Speed", 100, 80},
    {"hex 0X", "[Morse]\r\nSpeed=0X5a\r\n", "Speed", 100, 90},
    {"hex $", "[Morse]\r\nSpeed=$50\r\n", "Speed", 100, 80},
    {"hex takes 32 bits", "[Morse]\r\nSpeed=$FFFFFFFF\r\n", "Speed", 100, -1},
    {"hex too wide", "[Morse]\r\nSpeed=$100000000\r\n", "Speed", 100, 100},
    {"prefix without digits", "[Morse]\r\nSpeed=0x\r\n", "Speed", 100, 100},
    {"dollar alone", "[Morse]\r\nSpeed=$\r\n", "Speed", 100, 100},
    {"blanks around the value", "[Morse]\r\nSpeed= \t42 \r\n", "Speed", 100, 42},
    {"blanks around the name", "[Morse]\r\n  Speed  =42\r\n", "Speed", 100, 42},
    {"empty value", "[Morse]\r\nSpeed=\r\n", "Speed", 100, 100},
    {"signed", "[Morse]\r\nSpeed=-7\r\n", "Speed", 100, -7},
    {"plus sign", "[Morse]\r\nSpeed=+7\r\n", "Speed", 100, 7},
    {"trailing text", "[Morse]\r\nSpeed=12abc\r\n", "Speed", 100, 100},
    {"inner blank", "[Morse]\r\nSpeed=1 2\r\n", "Speed", 100, 100},
    {"largest int", "[Morse]\r\nSpeed=2147483647\r\n", "Speed", 100, INT_MAX},
    {"smallest int", "[Morse]\r\nSpeed=-2147483648\r\n", "Speed", 100, INT_MIN},
    {"decimal overflow", "[Morse]\r\nSpeed=2147483648\r\n", "Speed", 100, 100},
    {"huge number", "[Morse]\r\nSpeed=99999999999999999999999\r\n", "Speed", 100, 100},
    {"bool 0", "[Morse]\r\nCase=0\r\n", "Case", true, false},
    {"bool 1", "[Morse]\r\nCase=1\r\n", "Case", false, true},
    {"bool 2", "[Morse]\r\nCase=2\r\n", "Case", false, true},
    {"bool -1", "[Morse]\r\nCase=-1\r\n", "Case", false, true},
    {"bool yes, default true", "[Morse]\r\nCase=yes\r\n", "Case", true, true},
    {"bool yes, default false", "[Morse]\r\nPunctuation=yes\r\n", "Punctuation", false, false},
    {"bool hex", "[Morse]\r\nCase=0x0\r\n", "Case", true, false},
    {"string present", "[Morse]\r\nFont=Arial\r\n", "Font", QStringLiteral("Courier New"), QStringLiteral("Arial")},
    {"string present but empty", "[Morse]\r\nFont=\r\n", "Font", QStringLiteral("Courier New"), QString()},
    {"string missing", "[Morse]\r\nSize=9\r\n", "Font", QStringLiteral("Courier New"), QStringLiteral("Courier New")},
    {"string in quotes", "[Morse]\r\nFont= \"Courier New\" \r\n", "Font", QString(), QStringLiteral("Courier New")},
    {"single quotes", "[Morse]\r\nFont='Arial'\r\n", "Font", QString(), QStringLiteral("Arial")},
    {"unpaired quote", "[Morse]\r\nFont=\"Arial\r\n", "Font", QString(), QStringLiteral("\"Arial")},
    {"empty in quotes", "[Morse]\r\nFont=\"\"\r\n", "Font", QStringLiteral("x"), QString()},
    {"quote alone", "[Morse]\r\nFont=\"\r\n", "Font", QString(), QStringLiteral("\"")},
    {"inner blanks kept", "[Morse]\r\nFont=Liberation  Mono\r\n", "Font", QString(), QStringLiteral("Liberation  Mono")},
    {"value holds '='", "[Morse]\r\nFont=a=b\r\n", "Font", QString(), QStringLiteral("a=b")},
    {"Windows-1252 value", "[Morse]\r\nFont=Caf\xe9 \x80\r\n", "Font", QString(), QStringLiteral("Caf\u00e9 \u20ac")},
    {"cut at NUL", QByteArray("[Morse]\r\nFont=Ari\0al\r\n", 21), "Font", QString(), QStringLiteral("Ari")},
    {"names ignore case", "[mORSE]\r\nfREQ=600\r\n", "Freq", 750, 600},
    {"section name trimmed", "  [ Morse ]  \r\nFreq=600\r\n", "Freq", 750, 600},
    {"accented name ignores case", "[Morse]\r\n\xc9t\xe9=3\r\n", "\u00e9T\u00c9", 0, 3},
    {"other section", "[Other]\r\nFreq=600\r\n", "Freq", 750, 750},
    {"before any section", "Freq=600\r\n[Morse]\r\n", "Freq", 750, 750},
    {"no section at all", "Freq=600\r\n", "Freq", 750, 750},
    {"line without '='", "[Morse]\r\nFreq\r\nFont 600\r\n", "Freq", 750, 750},
    {"comment", "[Morse]\r\n;Freq=600\r\n", "Freq", 750, 750},
    {"header without ']'", "[Morse\r\nFreq=600\r\n", "Freq", 750, 750},
    {"repeated key: first wins", "[Morse]\r\nFreq=600\r\nFreq=700\r\n", "Freq", 750, 600},
    {"repeated section: first wins", "[Morse]\r\nFreq=600\r\n[x]\r\n[Morse]\r\nFreq=700\r\n", "Freq", 750, 600},
    {"repeated section: key only in the second", "[Morse]\r\n[Morse]\r\nFreq=700\r\n", "Freq", 750, 700},
    {"LF only", "[Morse]\nSize=12\nFreq=600\n", "Freq", 750, 600},
    {"CR only", "[Morse]\rSize=12\rFreq=600\r", "Freq", 750, 600},
    {"no final line break", "[Morse]\r\nFreq=600", "Freq", 750, 600},
    {"empty file", "", "Freq", 750, 750},
    {"UTF-8 mark", "\xef\xbb\xbf[Morse]\r\nFreq=600\r\n", "Freq", 750, 600},
    {"UTF-16 LE mark", utf16("[Morse]\r\nFreq=600\r\n"), "Freq", 750, 600},
    {"UTF-16 LE name", utf16("[Morse]\r\nFont=\u6587\r\n"), "Font", QString(), QStringLiteral("\u6587")},
};
// clang-format on

class IniReadTest : public IniFileTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(IniReadTest, ReadsAsTheProfileStringsDo)
{
    const ReadCase& c = GetParam();
    writeAll(path(), c.file);
    IniFile ini(path());
    const QString key = QString::fromUtf8(c.key);
    if (const int* def = std::get_if<int>(&c.def))
        EXPECT_EQ(ini.readInteger(QStringLiteral("Morse"), key, *def), std::get<int>(c.expected));
    else if (const bool* defBool = std::get_if<bool>(&c.def))
        EXPECT_EQ(ini.readBool(QStringLiteral("Morse"), key, *defBool), std::get<bool>(c.expected));
    else
        EXPECT_EQ(ini.readString(QStringLiteral("Morse"), key, std::get<QString>(c.def)),
                  std::get<QString>(c.expected));
}

INSTANTIATE_TEST_SUITE_P(Table, IniReadTest, ::testing::ValuesIn(kReadCases), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p)
        name += std::isalnum(uint8_t(*p)) ? *p : '_';
    return name + "_" + std::to_string(info.index);
});

// Which settings file is read and which written, against a file system where the paths listed
// exist, and those listed as writable can be written.
struct LocationCase {
    const char* program;
    const char* xdgConfigHome;
    QStringList existing, writable;
    const char* read;
    const char* write;
    const char* xdgConfigDirs = "";
};

// clang-format off
const LocationCase kLocationCases[] = {
    {"/b/quindle2", "", {}, {"/b"}, "/b/quindle2.ini", "/b/quindle2.ini"},
    {"/b/quindle2", "", {"/b/quindle2.ini"}, {"/b/quindle2.ini"}, "/b/quindle2.ini", "/b/quindle2.ini"},
    {"/opt/q/prog.exe", "", {}, {"/opt/q"}, "/opt/q/prog.ini", "/opt/q/prog.ini"},
    {"/opt/q.d/prog", "", {}, {"/opt/q.d"}, "/opt/q.d/prog.ini", "/opt/q.d/prog.ini"},
    {"/opt/q/a.b.c", "", {}, {"/opt/q"}, "/opt/q/a.b.ini", "/opt/q/a.b.ini"},
    // A file its user cannot write, in a folder they can: the per-user file, starting from it.
    {"/b/quindle2", "/x/cfg", {"/b/quindle2.ini"}, {"/b"}, "/b/quindle2.ini", "/x/cfg/quindle2/quindle2.ini"},
    // Under /usr never beside the program, even where it can write (root); the starting values
    // from the first of $XDG_CONFIG_DIRS (/etc/xdg) that has the file, until the user's own exists.
    {"/usr/bin/quindle2", "", {"/usr/bin/quindle2.ini", "/etc/xdg/quindle2/quindle2.ini"},
     {"/usr/bin", "/usr/bin/quindle2.ini"},
     "/etc/xdg/quindle2/quindle2.ini", "/home/u/.config/quindle2/quindle2.ini"},
    {"/usr/local/lib/quindle2/quindle2", "/x/cfg", {"/b/quindle2/quindle2.ini", "/etc/xdg/quindle2/quindle2.ini"}, {},
     "/b/quindle2/quindle2.ini", "/x/cfg/quindle2/quindle2.ini", "rel:/a:/b/:/etc/xdg"},
    {"/usr/lib/quindle2/quindle2", "cfg", {"rel/quindle2/quindle2.ini"}, {},
     "/home/u/.config/quindle2/quindle2.ini", "/home/u/.config/quindle2/quindle2.ini", "rel"},
    {"/usr/lib/quindle2/quindle2", "/x/cfg/", {"/etc/xdg/quindle2/quindle2.ini", "/x/cfg/quindle2/quindle2.ini"},
     {"/x/cfg/quindle2/quindle2.ini"}, "/x/cfg/quindle2/quindle2.ini", "/x/cfg/quindle2/quindle2.ini"},
};
// clang-format on

TEST(SettingsLocation, BesideTheProgramWhenItsUserCanWriteThereElsePerUser)
{
    for (const LocationCase& c : kLocationCases) {
        const FileAccess fs{[&c](const QString& p) { return c.existing.contains(p); },
                            [&c](const QString& p) { return c.writable.contains(p); }};
        const SettingsFiles files = settingsFilesFor(
            QString::fromUtf8(c.program), QString::fromUtf8(c.xdgConfigHome), QString::fromUtf8(c.xdgConfigDirs),
            QStringLiteral("/home/u"), fs);
        EXPECT_EQ(files, (SettingsFiles{QString::fromUtf8(c.read), QString::fromUtf8(c.write)}))
            << c.program << " " << c.xdgConfigHome << ": " << files.read.toStdString() << ", "
            << files.write.toStdString();
    }
}

TEST_F(IniFileTest, MissingFileGivesDefaultsAndIsNotCreatedByReading)
{
    IniFile ini(path());
    EXPECT_EQ(ini.readInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 750), 750);
    EXPECT_TRUE(ini.readBool(QStringLiteral("Morse"), QStringLiteral("Case"), true));
    EXPECT_EQ(ini.readString(QStringLiteral("Morse"), QStringLiteral("Font"), QStringLiteral("Courier New")),
              QStringLiteral("Courier New"));
    EXPECT_FALSE(QFile::exists(path()));
}

TEST_F(IniFileTest, LongValuesAreCutAt2047Characters)
{
    const QByteArray value(3000, 'v');
    writeAll(path(), "[Morse]\r\nFont=" + value + "\r\n");
    IniFile ini(path());
    EXPECT_EQ(ini.readString(QStringLiteral("Morse"), QStringLiteral("Font"), QString()),
              QString(IniFile::kMaxValueLength, u'v'));
}

// A sequence of writes to one stored file and the exact bytes it must leave.
struct WriteCase {
    const char* name;
    QByteArray before; // "<none>": no file
    std::vector<std::pair<const char*, const char*>> writes;
    QByteArray after;
};

// clang-format off
const WriteCase kWriteCases[] = {
    {"new file, keys in written order, CR LF",
     "<none>",
     {{"Freq", "750"}, {"Speed", "100"}, {"Font", "Courier New"}},
     "[Morse]\r\nFreq=750\r\nSpeed=100\r\nFont=Courier New\r\n"},
    {"replaced in place, everything else kept",
     "; comment\r\n[Other]\r\nFreq=1\r\n\r\n[Morse]\r\nA=1\r\nFreq=2\r\nforeign line\r\nZ=3\r\n\r\n[Last]\r\nx=y",
     {{"Freq", "800"}},
     "; comment\r\n[Other]\r\nFreq=1\r\n\r\n[Morse]\r\nA=1\r\nFreq=800\r\nforeign line\r\nZ=3\r\n\r\n[Last]\r\nx=y"},
    {"new key after the section's last line, before blank lines",
     "[Morse]\r\nFreq=2\r\n\r\n[Other]\r\nx=y\r\n",
     {{"Speed", "90"}},
     "[Morse]\r\nFreq=2\r\nSpeed=90\r\n\r\n[Other]\r\nx=y\r\n"},
    {"new key into an empty section",
     "[Morse]\r\n[Other]\r\n",
     {{"Speed", "90"}},
     "[Morse]\r\nSpeed=90\r\n[Other]\r\n"},
    {"new key after a last line without line end",
     "[Morse]\r\nFreq=2",
     {{"Speed", "90"}},
     "[Morse]\r\nFreq=2\r\nSpeed=90\r\n"},
    {"section appended to a file without final line end",
     "[Other]\r\nx=y",
     {{"Freq", "750"}},
     "[Other]\r\nx=y\r\n[Morse]\r\nFreq=750\r\n"},
    {"key spelling, blanks and line end of the replaced line",
     "[morse]\nfreq = 750 \nx=y\n",
     {{"Freq", "800"}, {"Speed", "90"}},
     "[morse]\nfreq=800\nx=y\nSpeed=90\r\n"},
    {"CR-only lines",
     "[Morse]\rFreq=1\r",
     {{"Freq", "2"}},
     "[Morse]\rFreq=2\r"},
    {"section appended after a last line ending in a lone CR",
     "[Other]\rx=y\r",
     {{"Freq", "750"}},
     "[Other]\rx=y\r[Morse]\r\nFreq=750\r\n"},
    {"section appended after a last line ending in a lone LF",
     "[Other]\nx=y\n",
     {{"Freq", "750"}},
     "[Other]\nx=y\n[Morse]\r\nFreq=750\r\n"},
    {"repeated key: the first is replaced",
     "[Morse]\r\nFreq=1\r\nFreq=2\r\n",
     {{"Freq", "3"}},
     "[Morse]\r\nFreq=3\r\nFreq=2\r\n"},
    {"repeated section: a new key goes into the first",
     "[Morse]\r\nA=1\r\n[Morse]\r\nB=2\r\n",
     {{"C", "3"}, {"B", "4"}},
     "[Morse]\r\nA=1\r\nC=3\r\n[Morse]\r\nB=4\r\n"},
    {"a line without '=' is kept beside the new key",
     "[Morse]\r\nFreq\r\n",
     {{"Freq", "750"}},
     "[Morse]\r\nFreq\r\nFreq=750\r\n"},
    {"Windows-1252 bytes",
     "<none>",
     {{"Font", "Caf\u00e9 \u20ac"}},
     "[Morse]\r\nFont=Caf\xe9 \x80\r\n"},
    {"UTF-8 mark kept, UTF-8 written after it",
     "\xef\xbb\xbf[Morse]\r\nFreq=1\r\n",
     {{"Freq", "2"}, {"Font", "Caf\u00e9 \u6587"}},
     "\xef\xbb\xbf[Morse]\r\nFreq=2\r\nFont=Caf\xc3\xa9 \xe6\x96\x87\r\n"},
    {"a file of only the mark", "\xef\xbb\xbf", {{"Freq", "750"}}, "\xef\xbb\xbf[Morse]\r\nFreq=750\r\n"},
    {"UTF-16 LE mark kept, UTF-16 LE written",
     utf16("[Morse]\r\nFreq=1\n[Other]\r\n"),
     {{"Freq", "2"}, {"Font", "Caf\u00e9 \u6587"}},
     utf16("[Morse]\r\nFreq=2\nFont=Caf\u00e9 \u6587\r\n[Other]\r\n")},
};
// clang-format on

class IniWriteTest : public IniFileTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(IniWriteTest, WritesInPlaceKeepingEveryOtherByte)
{
    const WriteCase& c = GetParam();
    if (c.before != "<none>")
        writeAll(path(), c.before);
    IniFile ini(path());
    for (const auto& [key, value] : c.writes) {
        ASSERT_TRUE(
            ini.writeString(QStringLiteral("Morse"), QString::fromUtf8(key), QString::fromUtf8(value)))
            << qPrintable(ini.errorString());
    }
    EXPECT_EQ(readAll(path()), c.after);
    // The same values set in memory and written by one commit give the same bytes; each reads as
    // set meanwhile.
    if (c.before != "<none>")
        writeAll(path(), c.before);
    else
        QFile::remove(path());
    IniFile batch(path());
    for (const auto& [key, value] : c.writes) {
        ASSERT_TRUE(batch.setString(QStringLiteral("Morse"), QString::fromUtf8(key), QString::fromUtf8(value)));
        EXPECT_EQ(batch.readString(QStringLiteral("mORSE"), QString::fromUtf8(key).toUpper(), QString()),
                  QString::fromUtf8(value).trimmed());
    }
    ASSERT_TRUE(batch.commit()) << qPrintable(batch.errorString());
    EXPECT_EQ(readAll(path()), c.after);
    // A fresh reader sees every written value.
    IniFile again(path());
    for (const auto& [key, value] : c.writes) {
        if (std::string_view(c.name).starts_with("repeated section") && std::string_view(key) == "B")
            continue;
        EXPECT_EQ(
            again.readString(QStringLiteral("Morse"), QString::fromUtf8(key), QStringLiteral("<default>")),
            QString::fromUtf8(value).trimmed());
    }
}

INSTANTIATE_TEST_SUITE_P(Table, IniWriteTest, ::testing::ValuesIn(kWriteCases),
                         [](const auto& info) { return "case_" + std::to_string(info.index); });

TEST_F(IniFileTest, DefaultSettingsFileHasTheExactBytes)
{
    IniFile ini(path());
    ASSERT_TRUE(ini.writeInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 750));
    ASSERT_TRUE(ini.writeInteger(QStringLiteral("Morse"), QStringLiteral("Speed"), 100));
    ASSERT_TRUE(ini.writeInteger(QStringLiteral("Morse"), QStringLiteral("Delay"), 1));
    ASSERT_TRUE(ini.writeBool(QStringLiteral("Morse"), QStringLiteral("Case"), true));
    ASSERT_TRUE(ini.writeInteger(QStringLiteral("Morse"), QStringLiteral("Size"), 9));
    ASSERT_TRUE(
        ini.writeString(QStringLiteral("Morse"), QStringLiteral("Font"), QStringLiteral("Courier New")));
    for (const char* key : {"Punctuation", "Accented", "Speaker", "Settings", "AutoCT"})
        ASSERT_TRUE(ini.writeBool(QStringLiteral("Morse"), QString::fromLatin1(key), false));
    EXPECT_EQ(readAll(path()),
              QByteArray("[Morse]\r\nFreq=750\r\nSpeed=100\r\nDelay=1\r\nCase=1\r\nSize=9\r\n"
                         "Font=Courier New\r\nPunctuation=0\r\nAccented=0\r\nSpeaker=0\r\n"
                         "Settings=0\r\nAutoCT=0\r\n"));
    // Written again with other values, nothing moves.
    IniFile second(path());
    ASSERT_TRUE(second.writeInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), -5));
    ASSERT_TRUE(second.writeBool(QStringLiteral("Morse"), QStringLiteral("AutoCT"), true));
    EXPECT_EQ(readAll(path()), QByteArray("[Morse]\r\nFreq=-5\r\nSpeed=100\r\nDelay=1\r\nCase=1\r\nSize=9\r\n"
                                          "Font=Courier New\r\nPunctuation=0\r\nAccented=0\r\nSpeaker=0\r\n"
                                          "Settings=0\r\nAutoCT=1\r\n"));
}

TEST_F(IniFileTest, RefusedValuesLeaveTheFileUnchanged)
{
    const QByteArray before = "[Morse]\r\nFreq=750\r\nFont=Arial\r\n";
    writeAll(path(), before);
    IniFile ini(path());
    const struct {
        const char* section;
        const char* key;
        QString value;
    } cases[] = {
        {"Morse", "Font", QStringLiteral("a\r\n[Evil]")},
        {"Morse", "Font", QStringLiteral("a\nb")},
        {"Morse", "Font", QString(QChar(u'\0'))},
        {"Morse", "Font", QStringLiteral("\u6587\u6cc9")}, // not in Windows-1252
        {"Morse", "Fo=nt", QStringLiteral("x")},
        {"Morse", "", QStringLiteral("x")},
        {"Morse", " Font", QStringLiteral("x")},
        {"Morse", "[Font]", QStringLiteral("x")},
        {"Mo]rse", "Font", QStringLiteral("x")},
        {"", "Font", QStringLiteral("x")},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(ini.writeString(QString::fromUtf8(c.section), QString::fromUtf8(c.key), c.value))
            << c.key;
        EXPECT_FALSE(ini.errorString().isEmpty());
    }
    EXPECT_EQ(readAll(path()), before);
    // UTF-16 that would not be written back as it was: an odd byte, a lone surrogate; UTF-16
    // big-endian, which is not read (not as Windows-1252 either).
    QByteArray bigEndian = "\xFE\xFF";
    for (const QChar c : QStringLiteral("[Morse]\r\nFreq=600\r\n"))
        bigEndian.append(char(c.unicode() >> 8)).append(char(c.unicode() & 0xFF));
    for (const QByteArray& bad :
         {utf16("[Morse]\r\n") + 'x', utf16("[Morse]\r\n") + QByteArray("\x00\xD8", 2), bigEndian}) {
        writeAll(path(), bad);
        IniFile file(path());
        EXPECT_FALSE(file.writeInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 1));
        EXPECT_TRUE(file.errorString().endsWith(QStringLiteral("; it is left unchanged")))
            << qPrintable(file.errorString());
        EXPECT_EQ(readAll(path()), bad);
    }
    EXPECT_EQ(IniFile(path()).readInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 750), 750);
}

TEST_F(IniFileTest, WriteFailureReturnsFalseWithTheReason)
{
    // A parent that is a regular file stops the write, also for root.
    writeAll(path(QStringLiteral("plain")), "x");
    IniFile ini(path(QStringLiteral("plain/quindle2.ini")));
    EXPECT_FALSE(ini.writeInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 750));
    EXPECT_TRUE(ini.errorString().contains(QStringLiteral("Not a directory")))
        << qPrintable(ini.errorString());

    IniFile onFolder(m_dir.path());
    EXPECT_FALSE(onFolder.writeInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 750));
    EXPECT_TRUE(onFolder.errorString().contains(QStringLiteral("Is a directory")))
        << qPrintable(onFolder.errorString());
    EXPECT_TRUE(QFileInfo(m_dir.path()).isDir());
}

TEST_F(IniFileTest, FailedWriteLeavesTheOldFileWhole)
{
    QByteArray before = "[Morse]\r\nFreq=750\r\n[Other]\r\n";
    before += QByteArray(8000, 'x');
    writeAll(path(), before);
    IniFile ini(path());
    bool written = true;
    {
        const test::FileSizeLimit limit(4096);
        written = ini.writeInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 800);
    }
    EXPECT_FALSE(written);
    EXPECT_TRUE(ini.errorString().contains(QStringLiteral("File too large")))
        << ini.errorString().toStdString();
    EXPECT_EQ(readAll(path()), before);
    // The object still holds what the file holds, so a later write builds on it.
    ASSERT_TRUE(ini.writeInteger(QStringLiteral("Morse"), QStringLiteral("Speed"), 90));
    EXPECT_EQ(IniFile(path()).readInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 0), 750);
}

TEST_F(IniFileTest, PermissionsDecideWhatIsWrittenAndLoseNothing)
{
    const std::string failure = test::withoutRoot([] {
        QTemporaryDir dir;
        const QString locked = dir.filePath(QStringLiteral("locked"));
        const QString unreadable = dir.filePath(QStringLiteral("unreadable.ini"));
        const QByteArray content = "[Morse]\r\nFreq=600\r\n[Other]\r\nkeep=me\r\n";
        if (!QDir().mkdir(locked) ||
            !test::writeFileBytes(locked + QStringLiteral("/quindle2.ini"), content) ||
            !test::writeFileBytes(unreadable, content))
            return std::string("cannot set up");
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner);
        QFile::setPermissions(unreadable, QFile::WriteOwner);

        // A folder that cannot be written: its writable file is saved in place; no new file is made.
        IniFile inLocked(locked + QStringLiteral("/quindle2.ini"));
        if (!inLocked.writeInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 2))
            return "in place: " + inLocked.errorString().toStdString();
        IniFile newInLocked(locked + QStringLiteral("/new.ini"));
        if (newInLocked.writeInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 2))
            return std::string("a file was made in a read-only folder");
        // A file that cannot be read reads as defaults and is never rewritten from them.
        IniFile notRead(unreadable);
        if (notRead.readInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 750) != 750)
            return std::string("unreadable file gave a value");
        if (notRead.writeInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 800) ||
            !notRead.errorString().contains(QStringLiteral("Permission denied")))
            return "unreadable file was written: " + notRead.errorString().toStdString();

        QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile::setPermissions(unreadable, QFile::ReadOwner | QFile::WriteOwner);
        if (test::readFileBytes(locked + QStringLiteral("/quindle2.ini")) !=
                QByteArray(content).replace("600", "2") ||
            test::readFileBytes(unreadable) != content)
            return std::string("a file changed");
        return std::string();
    });
    EXPECT_EQ(failure, "");
}

TEST_F(IniFileTest, RandomBytesNeverCrashAndSurviveAWrite)
{
    QRandomGenerator random(20261207);
    for (int round = 0; round < 20; ++round) {
        QByteArray garbage(4096 + round * 977, Qt::Uninitialized);
        for (char& b : garbage)
            b = char(random.bounded(256));
        // Some structure to stumble over: brackets, '=' and line ends in odd places.
        garbage.append("\r[Morse\n=\r\n[]=\0[Morse]x", 24);
        writeAll(path(), garbage);
        IniFile ini(path());
        ini.readInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 750);
        ini.readString(QStringLiteral("Morse"), QStringLiteral("Font"), QString());
        ASSERT_TRUE(ini.writeInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 1234));
        const QByteArray after = readAll(path());
        ASSERT_TRUE(after.startsWith(garbage)) << round;
        EXPECT_EQ(IniFile(path()).readInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 0), 1234);
    }
}

TEST_F(IniFileTest, TenMegabyteFileIsReadAndKeptOnWrite)
{
    QByteArray big;
    big.reserve(10 * 1024 * 1024 + 100);
    big += "[Foreign]\r\n";
    while (big.size() < 10 * 1024 * 1024)
        big += "SomeKey=some fairly long value that nobody reads\r\n";
    big += "[Morse]\r\nSpeed=120\r\n";
    writeAll(path(), big);
    IniFile ini(path());
    EXPECT_EQ(ini.readInteger(QStringLiteral("Morse"), QStringLiteral("Speed"), 100), 120);
    ASSERT_TRUE(ini.writeInteger(QStringLiteral("Morse"), QStringLiteral("Speed"), 60));
    ASSERT_TRUE(ini.writeInteger(QStringLiteral("Morse"), QStringLiteral("Delay"), 3));
    big.chop(5);
    EXPECT_EQ(readAll(path()), big + "60\r\nDelay=3\r\n");
}

// A figure of this process's memory ("VmRSS", "VmHWM"). [KiB]
qint64 memoryKb(const QByteArray& name)
{
    return quindle::testing::procStatus(name).toLongLong();
}

TEST_F(IniFileTest, AFileAtTheCapIsReadAndSavedInMemoryInProportionToItsSize)
{
    // Empty lines, and keys that no lookup wants, before the one that it does: an index of every
    // line (16 million of them) took 384 MB, and a save copied the file once for each key.
    for (const QByteArray& filler : {QByteArray("\n"), QByteArray("a=b\n")}) {
        SCOPED_TRACE(filler.toStdString());
        const QByteArray keys = "Freq=750\r\nSpeed=100\r\n";
        QByteArray bytes = "[Morse]\r\n" + filler.repeated((IniFile::kMaxFileSize - 9 - keys.size()) / filler.size());
        bytes += QByteArray(IniFile::kMaxFileSize - bytes.size() - keys.size(), '\n') + keys;
        writeAll(path(), bytes);
        // The peak is set back to what the process holds now (Linux 4.0 and later).
        QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
        if (!clearRefs.open(QIODevice::WriteOnly) || clearRefs.write("5") != 1)
            GTEST_SKIP() << "the peak memory cannot be reset";
        clearRefs.close();
        const qint64 before = memoryKb("VmRSS");
        {
            IniFile ini(path());
            EXPECT_EQ(ini.readInteger(QStringLiteral("Morse"), QStringLiteral("Speed"), 0), 100);
            EXPECT_EQ(ini.readInteger(QStringLiteral("Morse"), QStringLiteral("Delay"), 7), 7);
            ASSERT_TRUE(ini.setInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 800));
            ASSERT_TRUE(ini.setInteger(QStringLiteral("Morse"), QStringLiteral("Speed"), 120));
            ASSERT_TRUE(ini.commit()) << qPrintable(ini.errorString());
        }
        const qint64 grown = memoryKb("VmHWM") - before;
        // The file as read, and the file as written. [KiB]
        EXPECT_LT(grown, 5 * IniFile::kMaxFileSize / 1024) << "grown by " << grown << " KiB";
        bytes.chop(keys.size());
        EXPECT_EQ(readAll(path()), bytes + "Freq=800\r\nSpeed=120\r\n");
    }
}

TEST_F(IniFileTest, FileOverTheCapIsReadInPartAndNeverRewritten)
{
    QByteArray huge = "[Morse]\r\nSpeed=120\r\n";
    huge += QByteArray(IniFile::kMaxFileSize, 'x');
    writeAll(path(), huge);
    IniFile ini(path());
    EXPECT_EQ(ini.readInteger(QStringLiteral("Morse"), QStringLiteral("Speed"), 100), 120);
    EXPECT_FALSE(ini.writeInteger(QStringLiteral("Morse"), QStringLiteral("Speed"), 60));
    EXPECT_FALSE(ini.errorString().isEmpty());
    EXPECT_EQ(QFileInfo(path()).size(), huge.size());
}

TEST_F(IniFileTest, FolderOrPipeAsSettingsFileReadsDefaults)
{
    IniFile ini(m_dir.path());
    EXPECT_EQ(ini.readInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 750), 750);
    // A pipe without a writer would block its reader: it is not read, nor replaced by a file.
    ASSERT_EQ(::mkfifo(QFile::encodeName(path()).constData(), 0600), 0);
    IniFile pipe(path());
    EXPECT_EQ(pipe.readInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 750), 750);
    EXPECT_FALSE(pipe.writeInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 800));
    EXPECT_FALSE(QFileInfo(path()).isFile());
}

} // namespace
} // namespace quindle
