#pragma once

#include <QByteArray>
#include <QString>

namespace quindle {

// The most text the memo takes, line breaks counted as CR LF. [characters]
constexpr qsizetype kMemoCapacity = 32 * 1024 * 1024;

// A file write: on failure, systemError is the system's description of why.
struct FileResult {
    bool ok = false;
    QString systemError;
};

// Replaces the file at path with bytes in one step: a new file beside it is written and synced once
// and then takes its place, and the folder is synced, so that after a failure the old file, if
// any, is whole. The new file keeps the old one's owner, mode, access list and extended
// attributes. A file that cannot be replaced that way is overwritten in place instead, keeping all
// of them and its links: a file with more than one hard link, one in a folder that takes no new
// file, and one whose owner, mode or attributes the new file could not be given. No byte of the old
// content is overwritten before the room for the new one is taken (reserved, or where the file
// system cannot reserve room, written past the old end and synced first), so a full disk leaves it
// whole too. A symbolic link stays: the file it points to is written, with the kernel's rule for
// links followed (protected_symlinks): another user's link in a sticky folder that all may write
// is refused, unless the folder is that user's. Anything but a regular file (a named pipe, a
// socket, a device) is refused with "Not a regular file", and a folder with "Is a directory".
FileResult writeFileAtomically(const QString& path, const QByteArray& bytes);

// How a text document's bytes hold its characters.
enum class TextEncoding { Windows1252, Utf8, Utf8WithMark };

struct TextLoadResult {
    bool ok = false;
    TextEncoding encoding = TextEncoding::Windows1252;
    QString text;  // every line break as CR LF
    QString error; // the error box's text when !ok
};

struct TextSaveResult {
    bool ok = false;
    QString error; // the error box's text when !ok
};

// Reads a text file whole and turns every line break (CR LF, lone CR, lone LF) into CR LF. A file
// that starts with the UTF-8 mark, or is valid UTF-8 holding a multi-byte sequence, is read as
// UTF-8 (the mark is no part of the text); any other as Windows-1252. Fails with "Cannot open
// file "<full path>". <reason>" (the reason "Not a regular file" for a named pipe or a device,
// which is not even opened) or "Text exceeds memo capacity"; a file's size is checked before it is
// read.
TextLoadResult loadTextFile(const QString& path);

// Writes text in encoding (byte for byte as Windows-1252, or as UTF-8 with or without its mark),
// adding no line break, and replaces the file in one step. Fails with "Cannot create file
// "<full path>". <reason>", or, writing nothing, when text holds a character that the encoding
// cannot hold: one outside Windows-1252, or in UTF-8 half a surrogate pair.
TextSaveResult saveTextFile(const QString& path, const QString& text,
                            TextEncoding encoding = TextEncoding::Windows1252);

} // namespace quindle
