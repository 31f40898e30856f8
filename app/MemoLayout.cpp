#include "app/MemoLayout.h"

#include <QFontMetrics>
#include <QFontMetricsF>

#include <algorithm>
#include <cmath>

namespace quindle {

namespace {

// Longest visual line in UTF-16 units, whatever the widths, so that drawing a line and finding a
// position in it stay cheap.
constexpr int kMaxLineUnits = 4096;

bool isControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

} // namespace

MemoLayout::MemoLayout(const QString& text) : m_text(text), m_advances(0x10000, -1.0f) {}

void MemoLayout::setFont(const QFont& font, QPaintDevice* device)
{
    m_font = font;
    m_font.setKerning(false);
    m_font.setStyleStrategy(QFont::StyleStrategy(m_font.styleStrategy() | QFont::PreferNoShaping));
    m_device = device;
    std::fill(m_advances.begin(), m_advances.end(), -1.0f);
    m_pairAdvances.clear();

    const QFontMetrics fm(m_font, m_device);
    m_lineHeight = std::max(1, fm.lineSpacing());
    m_ascent = fm.ascent();
    const QFontMetricsF fmf(m_font, m_device);
    m_placeholderWidth = std::max<qreal>(4, fmf.horizontalAdvance(QLatin1Char('0')));
    m_tabWidth = std::max<qreal>(1, 4 * fmf.horizontalAdvance(QLatin1Char(' ')));
    invalidate();
}

void MemoLayout::setWidth(qreal width)
{
    if (width == m_width)
        return;
    m_width = width;
    invalidate();
}

void MemoLayout::invalidate()
{
    m_valid = false;
}

qreal MemoLayout::charAdvance(char16_t c) const
{
    float& w = m_advances[c];
    if (w < 0) {
        const QFontMetricsF fm(m_font, m_device);
        w = static_cast<float>(std::max<qreal>(0, fm.horizontalAdvance(QChar(c))));
    }
    return w;
}

MemoLayout::Kind MemoLayout::kindAt(int pos) const
{
    const char16_t c = m_text.at(pos).unicode();
    const qsizetype n = m_text.size();
    if (c == u' ')
        return Kind::Space;
    if (c > 0x20 && c < 0x7F)
        return Kind::Normal;
    if (c == u'\r' && pos + 1 < n && m_text.at(pos + 1) == u'\n')
        return Kind::BreakCr;
    if (c == u'\n' && pos > 0 && m_text.at(pos - 1) == u'\r')
        return Kind::BreakLf;
    if (c == u'\t')
        return Kind::Tab;
    if (QChar::isHighSurrogate(c) && pos + 1 < n && m_text.at(pos + 1).isLowSurrogate())
        return Kind::PairHigh;
    if (QChar::isLowSurrogate(c) && pos > 0 && m_text.at(pos - 1).isHighSurrogate())
        return Kind::PairLow;
    if (isControl(c) || QChar::isSurrogate(c))
        return Kind::Control;
    return Kind::Normal;
}

qreal MemoLayout::advance(int pos) const
{
    switch (kindAt(pos)) {
    case Kind::Normal:
    case Kind::Space:
        return charAdvance(m_text.at(pos).unicode());
    case Kind::Tab:
        return m_tabWidth;
    case Kind::Control:
        return m_placeholderWidth;
    case Kind::BreakCr:
    case Kind::BreakLf:
    case Kind::PairLow:
        return 0;
    case Kind::PairHigh: {
        const char32_t ucs = QChar::surrogateToUcs4(m_text.at(pos), m_text.at(pos + 1));
        auto it = m_pairAdvances.constFind(ucs);
        if (it != m_pairAdvances.constEnd())
            return *it;
        const QFontMetricsF fm(m_font, m_device);
        const float w = static_cast<float>(std::max<qreal>(0, fm.horizontalAdvance(m_text.mid(pos, 2))));
        m_pairAdvances.insert(ucs, w);
        return w;
    }
    }
    return 0;
}

int MemoLayout::nextLineStart(int start) const
{
    const int n = static_cast<int>(m_text.size());
    const char16_t* s = reinterpret_cast<const char16_t*>(m_text.constData());
    qreal x = 0;
    int breakAfter = -1; // position after the latest space run of this line
    int i = start;
    while (i < n) {
        const char16_t c = s[i];
        qreal w;
        int units = 1;
        bool space = false;
        if (c > 0x20 && c < 0x7F) {
            w = charAdvance(c); // the common case, kept short
        } else {
            const Kind kind = kindAt(i);
            if (kind == Kind::BreakCr)
                return i + 2;
            space = kind == Kind::Space || kind == Kind::Tab;
            units = kind == Kind::PairHigh ? 2 : 1;
            w = advance(i);
        }
        if (i - start >= kMaxLineUnits)
            return i; // characters of no width (or a font that reports none) never fill a line
        if (space) {
            // Spaces hang past the right edge and mark the break after them; only a run that
            // reaches far beyond the edge wraps, so that a text of spaces still gets lines.
            if (x > 2 * m_width + m_placeholderWidth && i > start)
                return i;
            x += w;
            i += units;
            breakAfter = i;
            continue;
        }
        if (x + w > m_width && i > start)
            return breakAfter > start ? breakAfter : i;
        x += w;
        i += units;
    }
    return -1;
}

void MemoLayout::relayout()
{
    m_starts.clear();
    m_starts.reserve(static_cast<size_t>(m_text.size() / 64 + 1));
    m_starts.push_back(0);
    for (int s = 0, next; (next = nextLineStart(s)) != -1; s = next)
        m_starts.push_back(next);
    m_valid = true;
}

void MemoLayout::textAppended()
{
    if (!m_valid)
        return;
    // Greedy wrapping decides each line from its own start and the text after it, so every line
    // but the last one stays as it was.
    for (int s = m_starts.back(), next; (next = nextLineStart(s)) != -1; s = next)
        m_starts.push_back(next);
}

int MemoLayout::textReplaced(int pos, int removed, int inserted)
{
    if (!m_valid)
        return 0;
    const int delta = inserted - removed;
    // Wrapping a line looks ahead into the first word of the next line, which may run on over
    // several lines when it is broken anywhere; so the line before the one where the edited word
    // begins is the first that can change. Characters before pos are unchanged.
    const char16_t* s = reinterpret_cast<const char16_t*>(m_text.constData());
    int wordStart = pos;
    while (wordStart > 0 && s[wordStart - 1] != u' ' && s[wordStart - 1] != u'\t' && s[wordStart - 1] != u'\n')
        --wordStart;
    const int first = std::max(0, lineOf(wordStart) - 1);
    // Old line starts beyond the edit, each compared after shifting it by delta. A new start
    // counts as meeting an old one only when the character before it lies beyond the edit, as
    // a character's kind depends on its neighbours (CR LF, surrogate pairs).
    auto old = std::upper_bound(m_starts.begin(), m_starts.end(), pos + removed);
    std::vector<int> fresh;
    for (int s = m_starts[static_cast<size_t>(first)];;) {
        const int next = nextLineStart(s);
        if (next == -1) {
            m_starts.erase(m_starts.begin() + first + 1, m_starts.end());
            m_starts.insert(m_starts.end(), fresh.begin(), fresh.end());
            return first;
        }
        if (next > pos + inserted) {
            const int before = next - delta;
            old = std::lower_bound(old, m_starts.end(), before);
            if (old != m_starts.end() && *old == before) {
                for (auto it = old; it != m_starts.end(); ++it)
                    *it += delta;
                const auto at = m_starts.erase(m_starts.begin() + first + 1, old);
                m_starts.insert(at, fresh.begin(), fresh.end());
                return first;
            }
        }
        fresh.push_back(next);
        s = next;
    }
}

int MemoLayout::lineEnd(int line) const
{
    const size_t next = static_cast<size_t>(line) + 1;
    return next < m_starts.size() ? m_starts[next] : static_cast<int>(m_text.size());
}

int MemoLayout::lineOf(int pos) const
{
    const auto it = std::upper_bound(m_starts.begin(), m_starts.end(), pos);
    return std::max(0, static_cast<int>(it - m_starts.begin()) - 1);
}

int MemoLayout::caretEnd(int line) const
{
    const int end = lineEnd(line);
    if (line + 1 >= lineCount())
        return end;
    if (end >= 2 && kindAt(end - 2) == Kind::BreakCr)
        return end - 2;
    // A wrapped line: the end itself is drawn at the start of the next line.
    const int last = end - 1;
    return kindAt(last) == Kind::PairLow ? last - 1 : last;
}

qreal MemoLayout::xOf(int line, int pos) const
{
    qreal x = 0;
    for (int i = lineStart(line); i < pos; ++i)
        x += advance(i);
    return x;
}

int MemoLayout::posAt(int line, qreal x) const
{
    const int end = caretEnd(line);
    qreal left = 0;
    int i = lineStart(line);
    while (i < end) {
        const int units = kindAt(i) == Kind::PairHigh ? 2 : 1;
        const qreal w = advance(i);
        if (x < left + w / 2)
            return i;
        left += w;
        i += units;
    }
    return end;
}

} // namespace quindle
