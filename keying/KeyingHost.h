#pragma once

#include <cstdint>

namespace quindle {

// Options of the Options menu that the keying engine reads; the check marks are the options.
enum class MenuOption { LowerCase, AutoCT, Punctuation, Accented, Speaker, Soundcard };

// Indicator colours, as the window system's colour value (red in the lowest byte).
constexpr uint32_t kIndicatorRed = 255;
constexpr uint32_t kIndicatorGreen = 65280;

// The window as the keying engine sees it. Everything is read at the moment of use; the engine
// keeps no copy of any control's state. The main window implements it with its real controls.
class KeyingHost {
public:
    virtual ~KeyingHost() = default;

    virtual int speedPosition() const = 0; // SpeedT.Position, 30..165
    virtual int delayPosition() const = 0; // tbDelay.Position, 1..10
    virtual int toneValue() const = 0;     // spFreq.Value [Hz]
    virtual bool isChecked(MenuOption option) const = 0;

    // Application.ProcessMessages: dispatches every waiting event; other handlers run inside.
    virtual void processMessages() = 0;

    virtual void setRunButtonsEnabled(bool enabled) = 0; // Panel2.Enabled
    virtual void setClearEnabled(bool enabled) = 0;      // btnClear.Enabled
    virtual void setFileMenuEnabled(bool enabled) = 0;   // File1.Enabled
    virtual void setIndicator(uint32_t colour) = 0;      // Shape1.Brush.Color

    // The stop request, btnStop.Tag.
    virtual int stopTag() const = 0;
    virtual void setStopTag(int tag) = 0;

    // The memo in Windows-1252 codes; positions are 0-based and count CR LF as two. A character
    // that the code page cannot hold reads as an unlisted code.
    virtual int memoLength() const = 0;
    virtual uint8_t memoCharAt(int pos) const = 0;
    // Appends one character at the end of the text.
    virtual void memoAppend(uint8_t code) = 0;
    virtual int memoSelStart() const = 0;
    virtual void memoSetSelStart(int pos) = 0;
    virtual void memoSetSelLength(int length) = 0;
    virtual void memoSetFocus() = 0;
    virtual void memoSetModified(bool modified) = 0;

    // True once the window has been asked to close: no run may start any more, so that the run
    // that is finishing is the last one and the window can go when it returns.
    virtual bool closing() const { return false; }

    // Silence before a run's first character, its opening signal included, so that the window can
    // announce the run without speaking over it. [ms]
    virtual int leadInMs() const { return 0; }
};

} // namespace quindle
