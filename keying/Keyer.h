#pragma once

#include "keying/PracticeGroups.h"
#include "keying/ToneRoutes.h"

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace quindle {

class Clock;
class KeyingHost;
struct CodeEntry;

// The keying engine: turns characters into timed elements and gaps and runs the send loops of the
// four run buttons.
//
// The road of one character: a run shows it in the text window and calls Send. Send plans it once
// (CharacterPlan: its elements with route, pitch and length, and the gaps after it) and hands the
// plan to the tone output (ToneRoutes::beginCharacter). An output that plays ahead (the sound-card
// stream, the square wave on it) writes the whole character to the device at once; the speaker's
// kernel devices cannot, and are keyed element by element. Then Send walks the plan on the clock:
// a sleep for each tone and pause, message processing after every element and gap. The clock's
// schedule is the one timeline: a stall restarts it once, and the stream places every sound a lead
// after its schedule time.
//
// Everything blocks on the UI thread. While it sleeps the clock serves the window (input, repaints,
// a screen reader); what the handlers do to the run lands at the host's processMessages, which is
// called after every element, after every gap that is not skipped, after every character and in
// the Stop handler, and nowhere else.
class Keyer {
public:
    Keyer(KeyingHost& host, ToneRoutes& routes, Clock& clock);
    Keyer(const Keyer&) = delete;
    Keyer& operator=(const Keyer&) = delete;

    // Length of a dot and of the pause after every element: 180 - SpeedT.Position. [ms]
    int32_t DotTime = 0;
    static constexpr int32_t dotTimeFor(int speedPosition) { return 180 - speedPosition; }
    // 0 skips the letter and word gaps of the character now being sent; Send sets it back to 1.
    int32_t GapFlag = 0;

    // Keys one Windows-1252 code (codes above 255 are unlisted) and returns when its sound and
    // gaps have passed. The character is planned once as it begins (CharacterPlan); the elements
    // and gaps below walk that plan.
    void Send(uint16_t code);
    void Dot();
    void Dash();
    void LetterGap();
    void WordGap();
    // Sets DotTime from the speed control; Send does so before every character. A change made
    // inside a character applies from the next one.
    void SpeedTChange();

    // The run buttons. Each returns when its run has ended. A click while a run (or the Stop
    // handler) is still on the stack does not nest: the run is deferred and starts as soon as the
    // outermost one has returned; a later click replaces an earlier deferred one. Once the host
    // is closing, no run starts, and a run that is on ends at its next element without its
    // closing signal.
    void btnLettersClick();
    void btnNumbersClick();
    void btnMixedClick();
    void btnTextClick();
    // Makes the window look idle and raises the stop request; cancels a deferred run.
    void btnStopClick();

    // A run's loop is on the stack (it may be finishing after Stop).
    bool isRunning() const { return m_runDepth > 0; }
    // A run or the Stop handler is on the stack: the window must not close or be destroyed now.
    bool isBusy() const { return m_depth > 0; }
    bool hasPendingRun() const { return m_pending != RunKind::None; }
    // Drops a deferred run, e.g. when the window is closing.
    void cancelPendingRun() { m_pending = RunKind::None; }
    // Called whenever the outermost run or Stop handler has returned and no deferred run follows:
    // the moment to carry out a close requested meanwhile. The handler may destroy the Keyer.
    void setIdleHandler(std::function<void()> handler) { m_idleHandler = std::move(handler); }

    PracticeGroups& groups() { return m_groups; }
    // Between the start of a character and its last gap: what a handler does to the run now (a
    // modal window) waits for the message point after the character.
    bool insideCharacter() const { return m_inCharacter; }

private:
    enum class RunKind { None, Letters, Numbers, Mixed, Text };
    class Activity;

    CharacterPlan planCharacter(const CodeEntry& entry) const;
    void element();
    void gap();
    void leadIn();
    void awaitOutputs();
    void processMessages();

    void requestRun(RunKind kind);
    void runBody(RunKind kind);
    void runGroups(GroupKind kind);
    void runText();
    void sendOpening();
    void showInMemo(uint8_t code);
    void stopSteps();
    void afterActivity();

    KeyingHost& m_host;
    ToneRoutes& m_routes;
    Clock& m_clock;
    PracticeGroups m_groups;
    CharacterPlan m_plan; // of the character being keyed
    PlayedAhead m_ahead;
    size_t m_step = 0;    // the next element of m_plan
    size_t m_gapStep = 0; // the next gap of m_plan
    bool m_inCharacter = false;
    int m_depth = 0;
    int m_runDepth = 0;
    RunKind m_pending = RunKind::None;
    std::function<void()> m_idleHandler;
};

} // namespace quindle
