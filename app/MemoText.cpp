#include "app/MemoText.h"

#include "persistence/Cp1252.h"

#include <QStringView>

#include <algorithm>

namespace quindle {

namespace {

bool isWordChar(QChar c)
{
    return c.isLetterOrNumber() || c == u'_' || c.isMark();
}

} // namespace

QString MemoText::withCrLf(const QString& s)
{
    // Most texts (files loaded, groups appended) need no change: check before copying.
    const qsizetype n = s.size();
    const QChar* c = s.constData();
    bool clean = true;
    for (qsizetype i = 0; i < n && clean; ++i) {
        if (c[i] == u'\r')
            clean = i + 1 < n && c[++i] == u'\n';
        else if (c[i] == u'\n')
            clean = false;
    }
    if (clean)
        return s;
    QString out;
    out.reserve(s.size() + s.size() / 8 + 2);
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s.at(i);
        if (c == u'\r') {
            out += QLatin1String("\r\n");
            if (i + 1 < s.size() && s.at(i + 1) == u'\n')
                ++i;
        } else if (c == u'\n') {
            out += QLatin1String("\r\n");
        } else {
            out += c;
        }
    }
    return out;
}

uint8_t MemoText::codeAt(int pos) const
{
    return cp1252::fromUnicode(charAt(pos));
}

void MemoText::setText(const QString& text)
{
    m_text = withCrLf(text); // shares the caller's string when it already has CR LF ends
    m_anchor = m_caret = length();
    m_undo = {};
    reindexBreaks();
}

void MemoText::clear()
{
    m_text.clear();
    m_anchor = m_caret = 0;
    m_undo = {};
    m_modified = false;
    m_breaks.clear();
}

void MemoText::reindexBreaks()
{
    m_breaks.clear();
    const int n = length();
    for (int i = m_text.indexOf(u'\r'); i >= 0 && i + 1 < n; i = int(m_text.indexOf(u'\r', i + 1))) {
        if (m_text.at(i + 1) == u'\n')
            m_breaks.push_back(i);
    }
}

void MemoText::breaksChanged(const Change& change)
{
    // A CR just before the change may have lost or gained its LF: look again from there.
    const int from = std::max(0, change.pos - 1);
    const auto first = std::lower_bound(m_breaks.begin(), m_breaks.end(), from);
    const auto last = std::lower_bound(first, m_breaks.end(), change.pos + change.removed);
    const auto after = m_breaks.erase(first, last);
    const int delta = change.inserted - change.removed;
    for (auto it = after; it != m_breaks.end(); ++it)
        *it += delta;
    std::vector<int> found;
    const int end = std::min(length() - 1, change.pos + change.inserted);
    for (int i = from; i < end; ++i) {
        if (m_text.at(i) == u'\r' && m_text.at(i + 1) == u'\n')
            found.push_back(i);
    }
    // The breaks kept lie at or after the change's end, beyond every one found.
    m_breaks.insert(std::lower_bound(m_breaks.begin(), m_breaks.end(), from), found.begin(), found.end());
}

int MemoText::lfOffset(int pos) const
{
    pos = std::clamp(pos, 0, length());
    if (insideCrLf(pos))
        --pos;
    return pos - int(std::lower_bound(m_breaks.begin(), m_breaks.end(), pos) - m_breaks.begin());
}

int MemoText::posOfLfOffset(int offset) const
{
    offset = std::clamp(offset, 0, lfLength());
    // The i-th break stands at offset m_breaks[i] - i; count those before the offset.
    int lo = 0;
    int hi = static_cast<int>(m_breaks.size());
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (m_breaks[size_t(mid)] - mid < offset)
            lo = mid + 1;
        else
            hi = mid;
    }
    return offset + lo;
}

std::pair<int, int> MemoText::paragraphAt(int pos) const
{
    pos = std::clamp(pos, 0, length());
    if (insideCrLf(pos))
        --pos;
    const auto next = std::lower_bound(m_breaks.begin(), m_breaks.end(), pos);
    const int from = next == m_breaks.begin() ? 0 : *(next - 1) + 2;
    return {from, next == m_breaks.end() ? length() : *next + 2};
}

QString MemoText::lfText(int from, int to) const
{
    QString s = m_text.mid(from, to - from);
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return s;
}

std::optional<MemoText::Change> MemoText::append(const QString& s)
{
    const QString add = withCrLf(s);
    if (add.isEmpty())
        return std::nullopt;
    const int oldLength = length();
    m_text += add;
    const Change change = oldLength > 0 && m_text.at(oldLength - 1).isHighSurrogate() &&
                                  add.front().isLowSurrogate()
                              ? Change{oldLength - 1, 1, 1 + static_cast<int>(add.size())}
                              : Change{oldLength, 0, static_cast<int>(add.size())};
    breaksChanged({oldLength, 0, static_cast<int>(add.size())});
    return change;
}

void MemoText::select(int anchor, int caret)
{
    m_anchor = anchor;
    m_caret = caret;
}

void MemoText::setSelStart(int pos)
{
    pos = std::clamp(pos, 0, length());
    if (insideCrLf(pos))
        --pos;
    select(pos, pos);
}

void MemoText::setSelLength(int length)
{
    const int start = selStart();
    int end =
        static_cast<int>(std::clamp<qint64>(qint64(start) + std::max(length, 0), start, this->length()));
    if (insideCrLf(end))
        ++end;
    select(start, end);
}

int MemoText::snapped(int pos, bool forward) const
{
    pos = std::clamp(pos, 0, length());
    if (insideCrLf(pos) || insidePair(pos))
        return forward ? pos + 1 : pos - 1;
    return pos;
}

int MemoText::wordStartBefore(int pos) const
{
    while (pos > 0 && !isWordChar(m_text.at(pos - 1)))
        --pos;
    while (pos > 0 && isWordChar(m_text.at(pos - 1)))
        --pos;
    return snapped(pos, false);
}

int MemoText::wordStartAfter(int pos) const
{
    const int n = length();
    while (pos < n && isWordChar(m_text.at(pos)))
        ++pos;
    while (pos < n && !isWordChar(m_text.at(pos)))
        ++pos;
    return snapped(pos, true);
}

std::pair<int, int> MemoText::wordAt(int pos) const
{
    int from = pos;
    int to = pos;
    const auto same = [&](int i) {
        return isWordChar(m_text.at(i)) == isWordChar(m_text.at(pos)) && m_text.at(i) != u'\r' &&
               m_text.at(i) != u'\n';
    };
    if (pos < length() && m_text.at(pos) != u'\r') {
        while (from > 0 && same(from - 1))
            --from;
        while (to < length() && same(to))
            ++to;
    }
    return {snapped(from, false), snapped(to, true)};
}

MemoText::Edit MemoText::replace(int pos, int removed, const QString& insert, bool typing)
{
    if (m_readOnly)
        return {};
    const QString ins = withCrLf(insert);
    if (removed == 0 && ins.isEmpty())
        return {};
    if (m_text.size() - removed + ins.size() > kMaxLength)
        return {EditStatus::TooLong, {}};
    Undo& u = m_undo;
    if (typing && removed == 0 && u.valid && u.typing && u.pos + u.inserted.size() == pos) {
        u.inserted += ins;
    } else {
        u.valid = true;
        u.pos = pos;
        u.removed = m_text.mid(pos, removed);
        u.inserted = ins;
        u.typing = typing;
    }
    m_lastRemoved = removed > 0 ? u.removed : QString();
    m_text.replace(pos, removed, ins);
    m_anchor = m_caret = pos + static_cast<int>(ins.size());
    m_modified = true;
    const Change change{pos, removed, static_cast<int>(ins.size())};
    breaksChanged(change);
    return {EditStatus::Changed, change};
}

std::optional<MemoText::Change> MemoText::undo()
{
    Undo& u = m_undo;
    if (m_readOnly || !u.valid)
        return std::nullopt;
    const int pos = u.pos;
    const int len = static_cast<int>(u.inserted.size());
    if (pos + len > length() || QStringView(m_text).mid(pos, len) != u.inserted) {
        u = {};
        return std::nullopt;
    }
    const QString restore = u.removed;
    u.removed = u.inserted;
    u.inserted = restore;
    u.typing = false;
    m_lastRemoved = u.removed;
    m_text.replace(pos, len, restore);
    m_anchor = m_caret = pos + static_cast<int>(restore.size());
    m_modified = true;
    const Change change{pos, len, static_cast<int>(restore.size())};
    breaksChanged(change);
    return change;
}

} // namespace quindle
