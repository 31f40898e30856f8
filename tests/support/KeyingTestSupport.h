#pragma once
// Helpers shared by the keying tests: a small KeyingHost over plain values, a decoder that turns a
// recorded timeline back into text, and a poller for "when X happens, do Y" on the virtual clock.

#include "keying/CodeTable.h"
#include "keying/KeyingHost.h"
#include "tests/support/VirtualClock.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <algorithm>

#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace quindle::testing {

class FakeHost final : public KeyingHost {
public:
    explicit FakeHost(Clock& clock) : m_clock(clock), m_startNs(clock.nowNs()) {}

    int speedPosition() const override { return speed; }
    int delayPosition() const override { return delay; }
    int toneValue() const override { return tone; }
    bool isChecked(MenuOption option) const override { return checked.count(option) > 0; }
    void processMessages() override
    {
        ++processCount;
        if (onProcess)
            onProcess();
        QCoreApplication::processEvents();
        m_clock.messagesProcessed();
        // A run that should have ended keeps being asked to stop, so a fault fails instead of hanging.
        const int64_t ms = (m_clock.nowNs() - m_startNs) / 1'000'000;
        if (ms > deadlineMs) {
            if (!timedOut)
                ADD_FAILURE() << "still keying at " << ms << " ms";
            timedOut = true;
            tag = 1;
        }
    }
    void setRunButtonsEnabled(bool enabled) override { runButtons = enabled; }
    void setClearEnabled(bool enabled) override { clearEnabled = enabled; }
    void setFileMenuEnabled(bool enabled) override { fileMenu = enabled; }
    void setIndicator(uint32_t colour) override { indicator = colour; }
    int stopTag() const override { return tag; }
    void setStopTag(int value) override { tag = value; }
    int memoLength() const override { return int(memo.size()); }
    uint8_t memoCharAt(int pos) const override { return uint8_t(memo.at(size_t(pos))); }
    void memoAppend(uint8_t code) override { memo.push_back(char(code)); }
    int memoSelStart() const override { return selStart; }
    void memoSetSelStart(int pos) override
    {
        selStart = std::clamp(pos, 0, memoLength());
        selLength = 0;
    }
    void memoSetSelLength(int length) override { selLength = std::clamp(length, 0, memoLength() - selStart); }
    void memoSetFocus() override { ++focusCount; }
    void memoSetModified(bool value) override { modified = value; }

    int speed = 100;
    int delay = 1;
    int tone = 750;
    std::set<MenuOption> checked{MenuOption::Speaker};
    bool runButtons = true;
    bool clearEnabled = true;
    bool fileMenu = true;
    uint32_t indicator = kIndicatorRed;
    int tag = 0;
    std::string memo;
    int selStart = 0;
    int selLength = 0;
    bool modified = false;
    int focusCount = 0;
    uint64_t processCount = 0;
    int64_t deadlineMs = 600'000; // since the host was made [ms]
    bool timedOut = false;
    std::function<void()> onProcess; // runs first in every processMessages

private:
    Clock& m_clock;
    int64_t m_startNs;
};

// Runs action once, in the first ProcessMessages in which condition holds.
inline void when(VirtualClock& clock, std::function<bool()> condition, std::function<void()> action)
{
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [&clock, condition, action, weak = std::weak_ptr<std::function<void()>>(poll)] {
        if (condition()) {
            action();
            return;
        }
        if (auto self = weak.lock())
            clock.after(1, [self] { (*self)(); });
    };
    // The scheduled copies keep the poller alive; the first check happens at once.
    clock.after(0, [poll] { (*poll)(); });
}

// Decodes a timeline of RecordingToneRoutes at dot time t [ms] and delay d: a tone of t is a dot,
// of 3t a dash (sound-card tones by their factor); silence of t separates elements, t + 3td
// characters, and each further 5td adds a space. Element runs not in the code table come out as
// "[.-...]". Silence after the last tone is ignored.
inline std::string decode(const std::string& timeline, int t, int d)
{
    auto letterFor = [](const std::string& elements) {
        for (int code = 0; code < 256; ++code)
            if (kCodeTable[code].kind == CodeKind::Elements && kCodeTable[code].elements == elements)
                return code == 197 ? std::string(1, char(193)) : std::string(1, char(code));
        return "[" + elements + "]";
    };
    std::string out;
    std::string elements;
    int silence = 0;
    std::istringstream in(timeline);
    std::string token;
    auto flushSilence = [&] {
        if (silence == 0 || elements.empty())
            return;
        if (silence == t)
            ;
        else if (silence >= t + 3 * t * d && (silence - t - 3 * t * d) % (5 * t * d) == 0) {
            out += letterFor(elements);
            elements.clear();
            out += std::string(size_t((silence - t - 3 * t * d) / (5 * t * d)), ' ');
        } else {
            out += '{';
            out += std::to_string(silence);
            out += '}';
        }
        silence = 0;
    };
    while (in >> token) {
        if (token[0] == '_') {
            silence += std::stoi(token.substr(1));
            continue;
        }
        flushSilence();
        silence = 0;
        const auto colon = token.find(':');
        int factor = 0;
        if (token[0] == 'C')
            factor = std::stoi(token.substr(1, colon - 1));
        else
            factor = std::stoi(token.substr(colon + 1)) / t;
        elements += factor == 1 ? '.' : factor == 3 ? '-' : '?';
    }
    if (!elements.empty())
        out += letterFor(elements);
    return out;
}

} // namespace quindle::testing
