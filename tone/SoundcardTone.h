#pragma once

#include "clock/Clock.h"
#include "tone/AudioIO.h"
#include "tone/ToneFormat.h"

#include <cstdint>
#include <vector>

namespace quindle {

// Sample `index` of a sine of `frequency` [Hz] at `frameRate` [frames/s], starting at phase 0:
// x = index / frameRate * 3.14159 * 2 * frequency in extended precision and in that order,
// sin x (0 where the sine instruction cannot take x: |x| >= 2^63, or x not a number), times
// Amplitude, rounded to nearest with ties to even.
int16_t SineSample(int32_t index, int frameRate, int frequency);

// The buffer-fill computation: writes Size div 2 little-endian 16-bit samples of the sine, the
// first one being sample filledCount * (Size div 2) of the run, so that consecutive buffers join
// without a break. Size is left as it is (an odd last byte is not written; 0 or less writes
// nothing). Always true.
bool FillSineBuffer(char* Buffer, int& Size, int frequency, int filledCount, int frameRate);

// The buffers that a Start fills are the same bytes for the same frequency, frame rate, size and
// fill count: kept once computed, so that an element costs a copy rather than thousands of sines.
class SineBufferCache {
public:
    // FillSineBuffer's result, byte for byte, from the cache when it holds the buffer; silence
    // for a pitch that the frame rate cannot carry (half the rate or more).
    bool fill(char* Buffer, int& Size, int frequency, int filledCount, int frameRate);
    int computed() const { return m_computed; } // buffers that had to be computed

private:
    struct Entry {
        int frequency;
        int frameRate;
        int size;
        int filledCount;
        std::vector<char> bytes;
    };
    // The four buffers of a Start at two pitches.
    static constexpr size_t kEntries = 8;
    std::vector<Entry> m_entries;
    size_t m_next = 0;
    int m_computed = 0;
};

// The sound-card element with factor n (1 dot, 3 dash): starts the tone, holds it for
// n * (dotTime - 4) [ms] and stops it. The length is given at the start, so that a device playing
// ahead of time ends the tone on its own frame even when the stop comes late. A failed start leaves
// the element silent at the same length.
void SoundcardElement(TAudioOut& audioOut, Clock& clock, int n, int dotTime);

} // namespace quindle
