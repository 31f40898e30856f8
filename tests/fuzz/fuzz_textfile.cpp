// The text file loader and saver on any file content: the loaded text has CR LF line breaks only,
// keeps every other byte as its Windows-1252 character, and a save and reload give it back exactly.

#include "persistence/Cp1252.h"
#include "persistence/TextFile.h"
#include "tests/fuzz/FuzzSupport.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

const char* const quindle::fuzz::kTarget = "fuzz_textfile";

namespace {

using quindle::fuzz::fail;
using quindle::fuzz::readAll;
using quindle::fuzz::writeAll;

using namespace quindle;

std::unique_ptr<QTemporaryDir> g_dir;

// Every line break (CR LF, lone CR, lone LF) as CR LF.
QByteArray withCrLf(QByteArray bytes)
{
    bytes.replace("\r\n", "\n");
    bytes.replace('\r', '\n');
    bytes.replace("\n", "\r\n");
    return bytes;
}

bool onlyCrLfBreaks(const QString& text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r' && (i + 1 == text.size() || text[i + 1] != u'\n'))
            return false;
        if (text[i] == u'\n' && (i == 0 || text[i - 1] != u'\r'))
            return false;
    }
    return true;
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
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString inPath = g_dir->filePath(QStringLiteral("in.txt"));
    const QString outPath = g_dir->filePath(QStringLiteral("out.txt"));
    writeAll(inPath, input);

    const TextLoadResult loaded = loadTextFile(inPath);
    if (!loaded.ok || !loaded.error.isEmpty())
        fail("a small file did not load");
    if (!onlyCrLfBreaks(loaded.text))
        fail("a line break other than CR LF");
    // UTF-8 after its mark, or where the whole file is valid UTF-8 beyond ASCII; else Windows-1252.
    const QByteArray normalized = withCrLf(input);
    const bool marked = input.startsWith("\xEF\xBB\xBF");
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::ConvertInitialBom | QStringDecoder::Flag::Stateless);
    const QString utf8 = decoder(QByteArrayView(normalized).sliced(marked ? 3 : 0));
    const bool isUtf8 = marked || (!decoder.hasError() && utf8.size() < normalized.size());
    if (loaded.encoding != (marked   ? TextEncoding::Utf8WithMark
                            : isUtf8 ? TextEncoding::Utf8
                                     : TextEncoding::Windows1252))
        fail("the file's encoding was taken for another");
    if (!isUtf8 && (loaded.text.size() < input.size() || loaded.text.size() > 2 * input.size()))
        fail("text length out of bounds");
    if (loaded.text != (isUtf8 ? utf8 : cp1252::decode(normalized)))
        fail("text differs from the file's characters");

    QFile::remove(outPath);
    // Saved in its own encoding, whatever characters it holds: as the file was, line breaks aside
    // (and the invalid sequences that a marked UTF-8 file held, read as replacement characters).
    const TextSaveResult saved = saveTextFile(outPath, loaded.text, loaded.encoding);
    if (!saved.ok || !saved.error.isEmpty())
        fail("a loaded text did not save");
    if (readAll(outPath) != (isUtf8 ? (marked ? "\xEF\xBB\xBF" : "") + utf8.toUtf8() : normalized))
        fail("saved bytes differ from the loaded text");
    const TextLoadResult reloaded = loadTextFile(outPath);
    if (!reloaded.ok || reloaded.text != loaded.text)
        fail("save and reload changed the text");
    return 0;
}
