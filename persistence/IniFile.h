#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <optional>
#include <vector>

namespace quindle {

// A settings file in the INI format of the platform's profile-string services.
//
// Reading: section and key names match without regard to letter case; a value is the text after
// the first '=' with surrounding blanks removed (and one pair of enclosing quotes, '"' or '\''),
// cut at a NUL and at kMaxValueLength characters. Lines that hold no '=' and lines before the
// first section are foreign text: never read, always kept. When a section or a key occurs more
// than once, the first occurrence in the file wins; a write replaces exactly the line a read
// returns, so what is written is what is read back.
//
// Writing: an existing key keeps its line and its place, with the line's own key spelling and line
// end; a new key goes after the last non-blank line of the (first) section of that name; a missing
// section is appended at the end of the file; new lines end in CR LF. Every other byte of the file
// stays as it was. Each write replaces the whole file atomically, so a failure leaves it whole;
// to change several keys with one replacement, set them and then commit.
//
// The file is Windows-1252 text, or UTF-8 when it starts with the UTF-8 byte-order mark, or UTF-16
// little-endian when it starts with that mark (FF FE); the mark and the encoding are kept. A file
// that starts with the UTF-16 big-endian mark (FE FF) reads as one that cannot be read. Only a
// regular file is read: anything else (a folder, a named pipe, a device) reads as a file that
// cannot be read. The object reads the file at its first use and keeps the content for its life,
// which is meant to be one load or one save.
//
// Time and memory are linear in the file's size, whatever its lines: the sections of a name are
// looked through once, for all their keys, when that name is first asked for, and a commit
// applies every change in one pass.
class IniFile {
public:
    // A value holds at most this many characters when read. [characters]
    static constexpr int kMaxValueLength = 2047;
    // Reads see at most this many bytes of a file; a larger file is never rewritten, so a write to
    // it fails and leaves it untouched. The same holds for a file that exists but cannot be read.
    // [bytes]
    static constexpr qint64 kMaxFileSize = 16 * 1024 * 1024;

    explicit IniFile(QString fileName);

    const QString& fileName() const { return m_fileName; }

    // The value, or def when the file, the section or the key is missing.
    QString readString(const QString& section, const QString& key, const QString& def);
    // A decimal integer, or a hexadecimal one after "0x", "0X" or "$", optionally signed; anything
    // else (missing, empty, not a number, out of the 32-bit range) gives def.
    int readInteger(const QString& section, const QString& key, int def);
    // An integer as above; any value other than 0 is true.
    bool readBool(const QString& section, const QString& key, bool def);

    // Each returns false with errorString() set when the value could not be stored; the file is
    // then unchanged.
    bool writeString(const QString& section, const QString& key, const QString& value);
    bool writeInteger(const QString& section, const QString& key, int value);
    // Written as "1" or "0".
    bool writeBool(const QString& section, const QString& key, bool value);
    // The same changes to the content held in memory only: the file is left as it is until commit()
    // replaces it with that content, in one write. Each returns false with errorString() set when
    // the value cannot be stored (the content is then unchanged), as does commit().
    bool setString(const QString& section, const QString& key, const QString& value);
    bool setInteger(const QString& section, const QString& key, int value);
    bool setBool(const QString& section, const QString& key, bool value);
    bool commit();
    // Whether the file's encoding holds every character of text.
    bool canStore(const QString& text);

    // Why the last write failed.
    const QString& errorString() const { return m_error; }

    // The value text as read by readString, parsed as an integer; nullopt when it is not one.
    static std::optional<int> parseInteger(const QString& text);

private:
    // A line of m_bytes: its text is [start, start + length), and end is the first byte after its
    // line end.
    struct Line {
        qsizetype start = -1;
        qsizetype length = 0;
        qsizetype end = 0;
    };
    // Where the sections of one name are, found in one pass over the file for all of their keys.
    struct Section {
        Line header;      // of the first section of that name; start -1 when there is none
        Line insertAfter; // the last non-blank line of that section
        // Where the first key line of each hash of a case-folded key name starts, in every section
        // of that name.
        QHash<uint, qsizetype> keys;
    };
    // A value set and not yet written: the names as first set, the value as last set.
    struct Change {
        QString section;
        QString key;
        QByteArray sectionBytes;
        QByteArray keyBytes;
        QByteArray valueBytes;
    };

    void load();
    // The line that starts at start.
    Line lineAt(qsizetype start) const;
    const Section& section(const QString& name);
    // The line of the key, in m_bytes; nullopt when there is none.
    std::optional<Line> keyLine(const QString& section, const QString& key);
    // Calls visit(line, name) for each line that holds an '=' in the sections of that name, in the
    // order of the file, until it returns false; header(line, first) for each of their headers,
    // and body(line) for each other line of the first of them.
    template <typename Header, typename Body, typename Visit>
    void walkSection(const QString& name, Header header, Body body, Visit visit) const;
    // The change of that key not yet written, or null.
    Change* changeOf(const QString& section, const QString& key);
    // m_bytes with every change applied, in one pass.
    QByteArray applyChanges();
    std::optional<QString> rawValue(const QString& section, const QString& key);
    bool fail(const QString& message);
    // False, with the reason, when the file exists but must not be rewritten.
    bool canReplace();
    QByteArray encode(const QString& text) const;

    QString m_fileName;
    bool m_loaded = false;
    bool m_tooLarge = false;
    QString m_unreadable; // why an existing file could not be read

    QByteArray m_bytes;        // the file as read, or as last written
    bool m_utf8 = false;       // the file starts with the UTF-8 mark (a UTF-16 file is held so)
    bool m_utf16 = false;      // the file is UTF-16 LE, held in m_bytes as UTF-8
    qsizetype m_bodyStart = 0; // the first byte after the mark
    QHash<QString, Section> m_sections; // by case-folded name, as asked for
    std::vector<Change> m_changes;      // in the order first set
    QString m_error;
};

} // namespace quindle
