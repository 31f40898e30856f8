// The memo widget under a random sequence of text, selection, edit and size operations. After each
// step its text, characters, selection and line breaks are checked against a plain model; at the
// end its incrementally kept word wrap must equal that of a fresh memo given the same text.

#include "app/MemoEdit.h"
#include "tests/fuzz/FuzzSupport.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QPixmap>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

const char* const quindle::fuzz::kTarget = "fuzz_memo";

namespace {

using quindle::fuzz::fail;

using namespace quindle;

// Units that make the interesting cases likely: line breaks, blanks, surrogates, controls, marks.
constexpr char16_t kPalette[] = {u'\r', u'\n', u' ', u'\t', u'a', u'W', u'-', u'.', 0x0000, 0x00A0, 0x00AD,
                                 0x0300, 0x200B, 0x2028, 0xD83D, 0xDE00, 0xDBFF, 0xDC00, 0xFFFF, 0x20AC};

QString randomText(FuzzedDataProvider& fdp)
{
    const size_t length = fdp.ConsumeIntegralInRange<size_t>(0, 80);
    QString s;
    for (size_t i = 0; i < length && fdp.remaining_bytes() > 0; ++i) {
        const uint8_t pick = fdp.ConsumeIntegral<uint8_t>();
        if (pick < 2 * std::size(kPalette))
            s += QChar(kPalette[pick % std::size(kPalette)]);
        else if (pick < 0xF0)
            s += QChar(char16_t(u'!' + pick % 94));
        else
            s += QChar(fdp.ConsumeIntegral<char16_t>());
    }
    return s;
}

// Lone CR and lone LF become CR LF.
QString withCrLf(const QString& s)
{
    QString out;
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s[i] == u'\r' && i + 1 < s.size() && s[i + 1] == u'\n')
            continue;
        if (s[i] == u'\r' || s[i] == u'\n')
            out += QStringLiteral("\r\n");
        else
            out += s[i];
    }
    return out;
}

bool insideCrLf(const QString& text, qint64 pos)
{
    return pos > 0 && pos < text.size() && text[pos - 1] == u'\r' && text[pos] == u'\n';
}

void checkText(const MemoEdit& memo, const QString& model)
{
    if (memo.text() != model || memo.length() != model.size())
        fail("text differs from the model");
    for (int i = 0; i < memo.length(); ++i) {
        if (memo.charAt(i) != model[i])
            fail("charAt differs from text()");
    }
    if (!memo.charAt(-1).isNull() || !memo.charAt(memo.length()).isNull())
        fail("charAt outside the text is not NUL");
    const int start = memo.selStart();
    const int length = memo.selLength();
    if (start < 0 || length < 0 || start + length > memo.length())
        fail("selection outside the text");
    if (insideCrLf(model, start) || insideCrLf(model, start + length))
        fail("selection edge between CR and LF");
    if (memo.selectedText() != model.mid(start, length))
        fail("selected text differs from the model");
}

void checkLines(const MemoEdit& memo, const QString& model)
{
    const int lines = memo.lineCount();
    if (lines < 1)
        fail("no line");
    if (memo.lineOfPosition(0) != 0 || memo.lineOfPosition(-5) != 0)
        fail("the text does not start on line 0");
    if (memo.lineOfPosition(memo.length()) != lines - 1 || memo.lineOfPosition(memo.length() + 5) != lines - 1)
        fail("the text's end is not on the last line");
    int previous = 0;
    for (int pos = 0; pos <= memo.length(); ++pos) {
        const int line = memo.lineOfPosition(pos);
        if (line < previous || line > previous + 1)
            fail("line numbers do not rise one by one");
        if (pos >= 2 && model[pos - 1] == u'\n' && line == memo.lineOfPosition(pos - 2))
            fail("a line break did not start a new line");
        previous = line;
    }
}

// The line of every position, as a fresh memo of the same size wraps the same text.
void checkAgainstFresh(MemoEdit& memo)
{
    MemoEdit fresh;
    fresh.resize(memo.size());
    fresh.show();
    fresh.setText(memo.text());
    if (fresh.text() != memo.text())
        fail("setText changed a CR LF text");
    if (fresh.lineCount() != memo.lineCount())
        fail("incremental wrap has another line count than a fresh one");
    for (int pos = 0; pos <= memo.length(); ++pos) {
        if (fresh.lineOfPosition(pos) != memo.lineOfPosition(pos))
            fail("incremental wrap differs from a fresh one");
    }
}

} // namespace

// Fontconfig keeps the fallback fonts it resolves for new characters in caches that the leak
// check cannot see referenced; those are not the memo's leaks.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static int argc = 1;
    static char name[] = "fuzz_memo";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(argc, argv); // lives for the whole run
    // Fonts, glyph caches and the platform's one-time allocations are made here, so that the leak
    // check between inputs sees only what one input leaves behind.
    MemoEdit memo;
    memo.resize(200, 100);
    memo.show();
    QString all;
    for (const char16_t c : kPalette)
        all += QChar(c);
    for (char16_t c = u'!'; c < u'!' + 94; ++c)
        all += QChar(c);
    memo.setText(all + all);
    memo.grab();
    QApplication::processEvents();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    MemoEdit memo;
    memo.resize(fdp.ConsumeIntegralInRange<int>(1, 400), fdp.ConsumeIntegralInRange<int>(1, 200));
    memo.show();
    QString model;

    for (int step = 0; step < 32 && fdp.remaining_bytes() > 0; ++step) {
        switch (fdp.ConsumeIntegralInRange<int>(0, 9)) {
        case 0: {
            model = withCrLf(randomText(fdp));
            memo.setText(model);
            if (memo.selStart() != model.size() || memo.selLength() != 0)
                fail("setText did not put the caret at the end");
            break;
        }
        case 1: {
            const int start = memo.selStart();
            const int length = memo.selLength();
            const QString s = randomText(fdp);
            model += withCrLf(s);
            memo.append(s);
            if (memo.selStart() != start || memo.selLength() != length)
                fail("append moved the selection");
            break;
        }
        case 2: {
            const int pos = fdp.ConsumeIntegral<int>() % 200;
            memo.setSelStart(pos);
            qint64 expected = std::clamp<qint64>(pos, 0, model.size());
            if (insideCrLf(model, expected))
                --expected;
            if (memo.selStart() != expected || memo.selLength() != 0)
                fail("setSelStart put the caret elsewhere");
            break;
        }
        case 3: {
            const int length = fdp.ConsumeBool() ? fdp.ConsumeIntegral<int>() : fdp.ConsumeIntegralInRange<int>(-3, 100);
            const int start = memo.selStart();
            memo.setSelLength(length);
            qint64 end = std::clamp<qint64>(qint64(start) + std::max(length, 0), start, model.size());
            if (insideCrLf(model, end))
                ++end;
            if (memo.selStart() != start || memo.selLength() != end - start)
                fail("setSelLength selected elsewhere");
            break;
        }
        case 4: {
            // A delete of the selection and its undo.
            const int start = memo.selStart();
            const int length = memo.selLength();
            const QString before = model;
            memo.deleteSelection();
            if (length > 0) {
                model.remove(start, length);
                if (!memo.modified() || memo.selStart() != start || memo.selLength() != 0)
                    fail("delete left a wrong state");
            }
            checkText(memo, model);
            if (length > 0 && fdp.ConsumeBool()) {
                memo.undo();
                model = before;
            }
            break;
        }
        case 5:
            memo.resize(fdp.ConsumeIntegralInRange<int>(1, 400), fdp.ConsumeIntegralInRange<int>(1, 200));
            break;
        case 6:
            memo.clear();
            model.clear();
            if (memo.selStart() != 0 || memo.modified())
                fail("clear left a wrong state");
            break;
        case 7:
            checkLines(memo, model);
            break;
        case 8:
            if (memo.grab().isNull())
                fail("the memo did not paint");
            break;
        case 9: {
            // A paste over the selection, then perhaps its undo.
            QClipboard* clipboard = QGuiApplication::clipboard();
            clipboard->setText(randomText(fdp));
            const QMimeData* mime = clipboard->mimeData();
            const bool hasText = mime && mime->hasText();
            const QString inserted = hasText ? withCrLf(mime->text()) : QString();
            const int start = memo.selStart();
            const int length = memo.selLength();
            const QString before = model;
            memo.paste();
            const bool edited = hasText && (length > 0 || !inserted.isEmpty());
            if (edited) {
                model.replace(start, length, inserted);
                if (!memo.modified() || memo.selStart() != start + inserted.size() || memo.selLength() != 0)
                    fail("paste left a wrong state");
            }
            checkText(memo, model);
            if (edited && fdp.ConsumeBool()) {
                memo.undo();
                model = before;
            }
            break;
        }
        }
        checkText(memo, model);
    }
    checkLines(memo, model);
    checkAgainstFresh(memo);
    return 0;
}
