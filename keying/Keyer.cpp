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

std::vector<CharacterTone> CharacterPlan::tones() const
{
    std::vector<CharacterTone> tones;
    int at = 0; // [ms]
    for (const PlannedElement& e : elements) {
        if (e.speakerMs >= 0) {
            tones.push_back({true, at, e.speakerMs, frequency});
            at += e.speakerMs;
        }
        if (e.soundcardMs >= 0) {
            tones.push_back({false, at, e.soundcardMs, frequency});
            at += e.soundcardMs;
        }
        at += e.pauseMs;
    }
    int gaps = 0;
    for (const int g : gapsMs)
        gaps += g;
    for (CharacterTone& t : tones)
        t.nextCharacterAfterMs = std::max(0, at - t.startMs - t.lengthMs + gaps);
    return tones;
}

void Keyer::Send(uint16_t code)
{
    SpeedTChange();
    const CodeEntry entry = lookupCode(code);
    if (entry.kind != CodeKind::Unlisted) {
        m_plan = planCharacter(entry);
        m_step = m_gapStep = 0;
        m_ahead = entry.kind == CodeKind::Elements ? m_routes.beginCharacter(m_plan) : PlayedAhead{};
        m_inCharacter = true;
        for (const char element : entry.elements) {
            if (element == '.')
                Dot();
            else
                Dash();
        }
        if (entry.kind == CodeKind::WordSpace)
            WordGap();
        LetterGap();
        m_inCharacter = false;
        awaitOutputs();
    }
    processMessages();
    GapFlag = 1;
}

void Keyer::awaitOutputs()
{
    // One timeline: a character that an output pushed back moves the rest of the run with it, the
    // window's next character included.
    const int64_t from = m_routes.nextCharacterFromNs();
    if (from == INT64_MIN || m_host.closing())
        return;
    // Less than a millisecond is a rounding of frames, not a push.
    if (const int64_t behind = from - m_clock.scheduleTime().ns; behind >= 1'000'000)
        m_clock.Sleep(int(behind / 1'000'000));
}

CharacterPlan Keyer::planCharacter(const CodeEntry& entry) const
{
    CharacterPlan plan;
    plan.dotTime = DotTime;
    plan.frequency = m_host.toneValue();
    const bool speaker = m_host.isChecked(MenuOption::Speaker);
    const bool soundcard = m_host.isChecked(MenuOption::Soundcard);
    for (const char element : entry.elements) {
        const int n = element == '.' ? 1 : 3;
        plan.elements.push_back({n, speaker ? std::max(0, n * DotTime) : -1,
                                 soundcard ? std::max(0, n * (DotTime - 4)) : -1, std::max(0, DotTime)});
    }
    if (GapFlag != 0) {
        const int delay = m_host.delayPosition();
        if (entry.kind == CodeKind::WordSpace)
            plan.gapsMs.push_back(2 * DotTime * delay);
        plan.gapsMs.push_back(3 * DotTime * delay);
    }
    return plan;
}

void Keyer::Dot()
{
    element();
}

void Keyer::Dash()
{
    element();
}

void Keyer::element()
{
    // A closing window waits for the run: it ends at the element that is sounding.
    if (m_host.closing() || m_step >= m_plan.elements.size())
        return;
    const PlannedElement& e = m_plan.elements[m_step++];
    if (e.speakerMs >= 0) {
        if (m_ahead.speaker) {
            m_clock.Sleep(e.speakerMs);
        } else {
            // Keyed live (the kernel's speaker devices sound at once): the window waits, so that the
            // tone ends on its own deadline whatever a handler would do.
            const Clock::ServiceHold hold(m_clock);
            m_routes.SpeakerTone(uint32_t(m_plan.frequency), uint32_t(e.speakerMs));
            m_routes.SpeakerNoSound();
        }
    }
    if (e.soundcardMs >= 0) {
        // A tone keyed live on the sound card is given its length as it starts: the window may be
        // served while it sounds.
        if (m_ahead.soundcard)
            m_clock.Sleep(e.soundcardMs);
        else
            m_routes.SoundcardElement(e.n, m_plan.dotTime, m_plan.frequency);
    }
    m_clock.Sleep(e.pauseMs);
    processMessages();
}

void Keyer::LetterGap()
{
    gap();
}

void Keyer::WordGap()
{
    gap();
}

void Keyer::gap()
{
    if (m_host.closing() || m_gapStep >= m_plan.gapsMs.size())
        return;
    m_clock.Sleep(m_plan.gapsMs[m_gapStep++]);
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

void Keyer::leadIn()
{
    if (const int ms = m_host.leadInMs(); ms > 0) {
        m_clock.Sleep(ms);
        processMessages();
    }
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
    leadIn();
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
    // The focus moves before the opening signal, as in the group runs; it moves again before
    // each character.
    m_host.memoSetFocus();
    leadIn();
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
