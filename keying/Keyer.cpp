#include "keying/Keyer.h"

#include "clock/Clock.h"
#include "keying/CodeTable.h"
#include "keying/KeyingHost.h"
#include "keying/ToneRoutes.h"

#include <algorithm>
#include <utility>

namespace quindle {

// Marks a handler that processes messages as being on the stack.
class Keyer::Activity {
public:
    explicit Activity(Keyer& keyer) : m_keyer(keyer) { ++m_keyer.m_depth; }
    ~Activity() { --m_keyer.m_depth; }
    Activity(const Activity&) = delete;
    Activity& operator=(const Activity&) = delete;

private:
    Keyer& m_keyer;
};

Keyer::Keyer(KeyingHost& host, ToneRoutes& routes, Clock& clock)
    : m_host(host), m_routes(routes), m_clock(clock), m_groups(clock)
{
}

void Keyer::Send(uint16_t code)
{
    SpeedTChange();
    const CodeEntry entry = lookupCode(code);
    switch (entry.kind) {
    case CodeKind::Elements:
        m_routes.beginCharacter(characterTones(entry.elements));
        for (const char element : entry.elements) {
            if (element == '.')
                Dot();
            else
                Dash();
        }
        LetterGap();
        break;
    case CodeKind::WordSpace:
        WordGap();
        LetterGap();
        break;
    case CodeKind::Unlisted:
        break;
    }
    processMessages();
    GapFlag = 1;
}

std::vector<CharacterTone> Keyer::characterTones(std::string_view elements) const
{
    const bool speaker = m_host.isChecked(MenuOption::Speaker);
    const bool soundcard = m_host.isChecked(MenuOption::Soundcard);
    const int frequency = m_host.toneValue();
    std::vector<CharacterTone> tones;
    int at = 0; // [ms]
    for (const char element : elements) {
        const int n = element == '.' ? 1 : 3;
        if (speaker) {
            const int length = std::max(0, n * DotTime);
            tones.push_back({true, at, length, frequency});
            at += length;
        }
        if (soundcard) {
            const int length = std::max(0, n * (DotTime - 4));
            tones.push_back({false, at, length, frequency});
            at += length;
        }
        at += std::max(0, DotTime);
    }
    const int gapAfter = GapFlag == 0 ? 0 : 3 * DotTime * m_host.delayPosition();
    for (CharacterTone& t : tones)
        t.nextCharacterAfterMs = std::max(0, at - t.startMs - t.lengthMs + gapAfter);
    return tones;
}

void Keyer::Dot()
{
    element(1);
}

void Keyer::Dash()
{
    element(3);
}

void Keyer::element(int n)
{
    // A closing window waits for the run: it ends at the element that is sounding.
    if (m_host.closing())
        return;
    // Routes, tone and DotTime are read afresh: a handler run after the previous element may have
    // changed any of them.
    if (m_host.isChecked(MenuOption::Speaker)) {
        m_routes.SpeakerTone(uint32_t(m_host.toneValue()), uint32_t(std::max(0, n * DotTime)));
        m_routes.SpeakerNoSound();
    }
    if (m_host.isChecked(MenuOption::Soundcard))
        m_routes.SoundcardElement(n, DotTime, m_host.toneValue());
    m_clock.Sleep(DotTime);
    processMessages();
}

void Keyer::LetterGap()
{
    gap(3);
}

void Keyer::WordGap()
{
    gap(2);
}

void Keyer::gap(int factor)
{
    if (GapFlag == 0 || m_host.closing())
        return;
    m_clock.Sleep(factor * DotTime * m_host.delayPosition());
    processMessages();
}

void Keyer::SpeedTChange()
{
    DotTime = dotTimeFor(m_host.speedPosition());
}

void Keyer::processMessages()
{
    m_host.processMessages();
}

void Keyer::btnLettersClick()
{
    requestRun(RunKind::Letters);
}

void Keyer::btnNumbersClick()
{
    requestRun(RunKind::Numbers);
}

void Keyer::btnMixedClick()
{
    requestRun(RunKind::Mixed);
}

void Keyer::btnTextClick()
{
    requestRun(RunKind::Text);
}

void Keyer::btnStopClick()
{
    m_pending = RunKind::None;
    {
        Activity activity(*this);
        stopSteps();
    }
    afterActivity();
}

void Keyer::requestRun(RunKind kind)
{
    if (m_host.closing()) {
        m_pending = RunKind::None;
        return;
    }
    if (m_depth > 0) {
        m_pending = kind;
        return;
    }
    {
        Activity activity(*this);
        runBody(kind);
    }
    afterActivity();
}

void Keyer::afterActivity()
{
    if (m_depth > 0)
        return;
    // Deferred runs start one after another here, never nested inside the run they waited for.
    while (m_pending != RunKind::None && !m_host.closing()) {
        const RunKind next = std::exchange(m_pending, RunKind::None);
        Activity activity(*this);
        runBody(next);
    }
    m_pending = RunKind::None;
    // The handler may close and destroy the window and this Keyer with it: touch nothing after.
    const std::function<void()> handler = m_idleHandler;
    if (handler)
        handler();
}

void Keyer::runBody(RunKind kind)
{
    ++m_runDepth;
    // A run's rhythm owes nothing to what was keyed before it.
    m_clock.startSchedule();
    switch (kind) {
    case RunKind::Letters:
        runGroups(GroupKind::Letters);
        break;
    case RunKind::Numbers:
        runGroups(GroupKind::Numbers);
        break;
    case RunKind::Mixed:
        runGroups(GroupKind::Mixed);
        break;
    case RunKind::Text:
        runText();
        break;
    case RunKind::None:
        break;
    }
    --m_runDepth;
}

void Keyer::sendOpening()
{
    if (!m_host.isChecked(MenuOption::AutoCT))
        return;
    GapFlag = 0;
    Send('C');
    Send('T');
    Send(' ');
}

void Keyer::showInMemo(uint8_t code)
{
    m_host.memoAppend(code);
    m_host.memoSetSelStart(m_host.memoLength());
    m_host.memoSetSelLength(1);
}

void Keyer::runGroups(GroupKind kind)
{
    GapFlag = 1;
    m_host.setStopTag(0);
    m_host.setRunButtonsEnabled(false);
    m_host.setClearEnabled(false);
    m_host.setIndicator(kIndicatorGreen);
    m_host.memoSetFocus();
    m_host.memoSetModified(true);
    sendOpening();

    // Polled only here: a group once begun is completed, its trailing space included, unless the
    // window is closing.
    while (m_host.stopTag() == 0 && !m_host.closing()) {
        m_groups.reseed();
        for (int i = 0; i < 5 && !m_host.closing(); ++i) {
            const bool mixed = kind == GroupKind::Mixed;
            const uint8_t code = m_groups.draw(kind, mixed && m_host.isChecked(MenuOption::Punctuation),
                                               mixed && m_host.isChecked(MenuOption::Accented));
            showInMemo(PracticeGroups::displayForm(code, kind, m_host.isChecked(MenuOption::LowerCase)));
            Send(code);
        }
        if (m_host.closing())
            break;
        showInMemo(' ');
        Send(' ');
    }

    if (m_host.isChecked(MenuOption::AutoCT) && !m_host.closing()) {
        GapFlag = 0;
        Send('A');
        Send('R');
    }
    m_host.setStopTag(0);
    m_host.setIndicator(kIndicatorRed);
}

void Keyer::runText()
{
    GapFlag = 1;
    m_host.setStopTag(0);
    const int length = m_host.memoLength();
    if (length <= 0)
        return;
    // Character numbers p count from 1; p stands at memo position p - 1.
    const int selStart = m_host.memoSelStart();
    const int first = selStart >= 0 && selStart < length ? selStart + 1 : 1;

    m_host.setRunButtonsEnabled(false);
    m_host.setClearEnabled(false);
    m_host.setIndicator(kIndicatorGreen);
    m_host.memoSetModified(true);
    m_host.setFileMenuEnabled(false);
    sendOpening();

    // Text added during the run is not sent; text removed ends it as if its end were reached.
    const int count = m_host.memoLength() - first + 1;
    for (int p = first; p < first + count; ++p) {
        if (m_host.stopTag() == 1) {
            m_host.setStopTag(0);
            m_host.setRunButtonsEnabled(true);
            m_host.setIndicator(kIndicatorRed);
            return;
        }
        if (p > m_host.memoLength())
            break;
        uint8_t code = m_host.memoCharAt(p - 1);
        if (code >= 'a' && code <= 'z')
            code = uint8_t(code - 'a' + 'A');
        m_host.memoSetFocus();
        m_host.memoSetSelStart(p - 1);
        m_host.memoSetSelLength(1);
        if (code == '!')
            GapFlag = 0; // joins the next character to the one after it
        else
            Send(code);
    }

    if (m_host.isChecked(MenuOption::AutoCT) && !m_host.closing()) {
        Send(' ');
        GapFlag = 0;
        Send('A');
        Send('R');
    }
    m_host.setRunButtonsEnabled(true);
    stopSteps();
    m_host.setIndicator(kIndicatorRed);
}

void Keyer::stopSteps()
{
    m_routes.SpeakerNoSound();
    m_host.setRunButtonsEnabled(true);
    m_host.setClearEnabled(true);
    m_host.processMessages();
    m_host.setStopTag(1);
    m_host.setFileMenuEnabled(true);
    m_host.setIndicator(kIndicatorRed);
    m_host.memoSetSelStart(0);
    m_host.memoSetModified(true);
}

} // namespace quindle
