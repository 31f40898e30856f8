#pragma once

#include <QFont>
#include <QHash>
#include <QString>

#include <vector>

class QPaintDevice;

namespace quindle {

// Word wrap of the memo's text into visual lines. Greedy: a line breaks after its last space
// that still fits, and a word longer than the line breaks anywhere. Only the start of every
// visual line is kept; x positions inside a line are summed from cached per-character advances
// when asked for, so no operation touches more text than the lines it changes.
//
// The text is read through a reference to the owner's string. Its line breaks are CR LF; the
// pair takes no width. Controls (NUL etc.), lone CR or LF and lone surrogates take the fixed
// width of a placeholder, a tab the width of four spaces; a surrogate pair is measured as one
// character on its first unit and is never split by a break.
class MemoLayout {
public:
    enum class Kind { Normal, Space, Tab, Control, BreakCr, BreakLf, PairHigh, PairLow };

    explicit MemoLayout(const QString& text);

    // Takes the font to measure with (kerning and shaping off, so that summed advances match the
    // drawing) and drops the layout.
    void setFont(const QFont& font, QPaintDevice* device);
    const QFont& font() const { return m_font; }
    // Width available to a line [px]; a change drops the layout.
    void setWidth(qreal width);
    qreal width() const { return m_width; }

    bool isValid() const { return m_valid; }
    void invalidate();
    // Wraps the whole text.
    void relayout();
    // The text was lengthened at its end: re-wraps the last line only.
    void textAppended();
    // The text [pos, pos + removed) was replaced by `inserted` characters: re-wraps from the line
    // before the edit until the line starts meet the old ones again. Returns the first line that
    // may have changed.
    int textReplaced(int pos, int removed, int inserted);

    int lineCount() const { return static_cast<int>(m_starts.size()); }
    int lineStart(int line) const { return m_starts[static_cast<size_t>(line)]; }
    // Start of the next line, or the text's length for the last line.
    int lineEnd(int line) const;
    // The visual line holding pos; a position where a line wraps belongs to the following line.
    int lineOf(int pos) const;
    // The last position the caret may take on the line: before its CR LF, before the last
    // character of a wrapped line, the text's end on the last line.
    int caretEnd(int line) const;

    Kind kindAt(int pos) const;
    // Width of the character at pos [px] (a surrogate pair's on its first unit, 0 on its second).
    qreal advance(int pos) const;
    // Distance from the line's start to pos [px].
    qreal xOf(int line, int pos) const;
    // The caret position nearest to x [px] on the line.
    int posAt(int line, qreal x) const;

    int lineHeight() const { return m_lineHeight; } // [px]
    int ascent() const { return m_ascent; }         // [px]
    qreal placeholderWidth() const { return m_placeholderWidth; }

private:
    // Start of the line after the one starting at `start`, or -1 when that line runs to the end.
    int nextLineStart(int start) const;
    qreal charAdvance(char16_t c) const;

    const QString& m_text;
    QFont m_font;
    QPaintDevice* m_device = nullptr;
    qreal m_width = 0;
    bool m_valid = false;
    std::vector<int> m_starts{0};

    // Advance per UTF-16 unit of the basic plane, measured on first use (negative: not yet).
    mutable std::vector<float> m_advances;
    mutable QHash<char32_t, float> m_pairAdvances;
    qreal m_placeholderWidth = 1;
    qreal m_tabWidth = 1;
    int m_lineHeight = 1;
    int m_ascent = 1;
};

} // namespace quindle
