#pragma once

#include <QChar>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace quindle {

// The memo's text, selection and editing rules, without a widget (QtCore only). The text is held
// with CR LF line ends and a position is an index into it, so CR LF counts as two. The caret and
// the selection never stand between a CR and its LF, and the user's caret never inside a surrogate
// pair. Appending, reading one character and setting the selection copy nothing.
class MemoText {
public:
    // Longest text a user edit may produce; keeps every position well inside int.
    static constexpr qsizetype kMaxLength = 0x3FFFFFFF;

    // A change of the text: [pos, pos + removed) of the old text became `inserted` units.
    struct Change {
        int pos = 0;
        int removed = 0;
        int inserted = 0;
        bool operator==(const Change&) const = default;
    };
    enum class EditStatus { Changed, Unchanged, TooLong };
    struct Edit {
        EditStatus status = EditStatus::Unchanged;
        Change change;
    };

    // Line breaks as CR LF: a lone CR and a lone LF each become CR LF; nothing else changes. A text
    // that needs no change is returned shared, not copied.
    static QString withCrLf(const QString& s);

    const QString& text() const { return m_text; }
    int length() const { return static_cast<int>(m_text.size()); }
    // A null character outside the text.
    QChar charAt(int pos) const { return pos >= 0 && pos < length() ? m_text.at(pos) : QChar(); }
    // The Windows-1252 code of the character at pos, as the keying engine reads it: a character
    // that the code page cannot hold gives an unlisted code, never '?'.
    uint8_t codeAt(int pos) const;

    // The program's changes; modified() stays. setText puts the caret after the last character
    // and drops the undo step; clear() also lowers modified().
    void setText(const QString& text);
    void clear();
    // Appends at the end; the selection stays. Normally an insertion at the old end; a low
    // surrogate that completes a trailing high one changes that character, since the pair is one.
    std::optional<Change> append(const QString& s);

    int anchor() const { return m_anchor; }
    int caret() const { return m_caret; }
    int selStart() const { return std::min(m_anchor, m_caret); }
    int selEnd() const { return std::max(m_anchor, m_caret); }
    QString selectedText() const { return m_text.mid(selStart(), selEnd() - selStart()); }
    // Sets both ends as given; positions come from the rules below.
    void select(int anchor, int caret);
    // Collapses the selection to pos, clamped to the text; between CR and LF it moves back.
    void setSelStart(int pos);
    // Selects from selStart() on, clamped to the text; an end between CR and LF moves on after the
    // LF, so a selected line break is selected whole.
    void setSelLength(int length);

    bool insideCrLf(int pos) const
    {
        return pos > 0 && pos < length() && m_text.at(pos - 1) == u'\r' && m_text.at(pos) == u'\n';
    }
    bool insidePair(int pos) const
    {
        return pos > 0 && pos < length() && m_text.at(pos - 1).isHighSurrogate() &&
               m_text.at(pos).isLowSurrogate();
    }
    // Where the user's caret may stand: clamped, and out of a CR LF or a surrogate pair towards
    // the end or the start.
    int snapped(int pos, bool forward) const;
    // One character on (a CR LF and a surrogate pair are one) or back.
    int nextPos(int pos) const { return pos >= length() ? pos : snapped(pos + 1, true); }
    int prevPos(int pos) const { return pos <= 0 ? pos : snapped(pos - 1, false); }
    // Word starts for Ctrl+Left and Ctrl+Right: words are letters, digits, marks and '_'.
    int wordStartBefore(int pos) const;
    int wordStartAfter(int pos) const;
    // What a double click at pos selects: the run of word or of other characters around it,
    // within its line; nothing on a line break.
    std::pair<int, int> wordAt(int pos) const;

    // Offsets as a screen reader counts them, with each CR LF as one "\n": a position inside a
    // CR LF maps to the pair's offset. Both run in O(log lines) on an index of the line breaks.
    int lfOffset(int pos) const;
    int posOfLfOffset(int offset) const;
    int lfLength() const { return length() - static_cast<int>(m_breaks.size()); }
    // [from, to) with each CR LF as "\n".
    QString lfText(int from, int to) const;
    // The paragraph holding pos: from after the CR LF before it to after the CR LF that ends it.
    std::pair<int, int> paragraphAt(int pos) const;
    // What the last change (replace() or undo()) removed.
    const QString& lastRemoved() const { return m_lastRemoved; }

    // Raised by the user's edits only, lowered by clear().
    bool modified() const { return m_modified; }
    void setModified(bool modified) { m_modified = modified; }
    bool isReadOnly() const { return m_readOnly; }
    void setReadOnly(bool readOnly) { m_readOnly = readOnly; }

    // The user's edit: [pos, pos + removed) becomes insert (line breaks as CR LF), the caret goes
    // after it and modified() rises. It becomes the undo step; consecutive typing at the caret
    // merges into one. Nothing changes when read-only, when there is nothing to remove or insert,
    // or when the text would grow beyond kMaxLength (TooLong).
    Edit replace(int pos, int removed, const QString& insert, bool typing);
    // Reverts the undo step, which then redoes it. Nothing when read-only, when there is no step,
    // or when the program changed the text there since (the step is then dropped).
    std::optional<Change> undo();
    bool isUndoAvailable() const { return m_undo.valid; }

private:
    // Keeps m_breaks right after [pos, pos + removed) became `inserted` units.
    void breaksChanged(const Change& change);
    void reindexBreaks();

    QString m_text;
    std::vector<int> m_breaks; // positions of the CR of every CR LF, ascending
    QString m_lastRemoved;
    int m_anchor = 0;
    int m_caret = 0;
    bool m_modified = false;
    bool m_readOnly = false;

    // One undo step; undoing it turns it into its own redo, as in a plain edit control.
    struct Undo {
        bool valid = false;
        int pos = 0;
        QString removed;
        QString inserted;
        bool typing = false;
    } m_undo;
};

} // namespace quindle
