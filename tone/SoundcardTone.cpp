#include "tone/SoundcardTone.h"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdlib>

namespace quindle {

namespace {

// The constant the tone was always computed with; keeping it keeps every sample as it was.
constexpr long double kPi5 = 3.14159L;
constexpr long double kSineLimit = 0x1p63L; // the sine instruction takes only |x| < 2^63

#if defined(__x86_64__) || defined(__i386__)
// The x87 sine and round instructions: the processor's own results, and about four times faster
// than sinl + nearbyintl.
inline long double sineOf(long double x)
{
    long double r;
    asm("fsin" : "=t"(r) : "0"(x));
    return r;
}

inline long double roundToNearest(long double x)
{
    long double r;
    asm("frndint" : "=t"(r) : "0"(x));
    return r;
}
#else
inline long double sineOf(long double x)
{
    return sinl(x);
}

inline long double roundToNearest(long double x)
{
    return nearbyintl(x);
}
#endif

// Runs with ties-to-even rounding in force, restoring the caller's mode afterwards.
class NearestRounding {
public:
    NearestRounding() : m_saved(std::fegetround())
    {
        if (m_saved != FE_TONEAREST)
            std::fesetround(FE_TONEAREST);
    }
    ~NearestRounding()
    {
        if (m_saved != FE_TONEAREST)
            std::fesetround(m_saved);
    }
    NearestRounding(const NearestRounding&) = delete;
    NearestRounding& operator=(const NearestRounding&) = delete;

private:
    int m_saved;
};

inline int16_t extendedSample(int32_t index, int frameRate, int frequency)
{
    long double x = static_cast<long double>(index) / static_cast<long double>(frameRate);
    x = x * kPi5;
    x = x * 2;
    x = x * static_cast<long double>(frequency);
    // A zero frame rate gives an infinite or undefined x; it sounds as silence.
    if (!(std::fabs(x) < kSineLimit))
        return 0;
    return static_cast<int16_t>(roundToNearest(sineOf(x) * Amplitude));
}

// The same sample through double precision, about three times faster. For |x| < 2^20 the double
// result lies within 1e-5 of the extended one (x to about 1e-9, the sine to an ulp), so it rounds
// to the same integer unless it is within 1e-4 of a half-way point; those samples, large x and
// odd frame rates take the extended path. Checked sample for sample against it in the tests.
inline int16_t sample(int32_t index, int frameRate, int frequency)
{
    if (frameRate > 0) {
        const double x = static_cast<double>(index) / frameRate * 3.14159 * 2 * frequency;
        if (std::fabs(x) < 0x1p20) {
            const double v = std::sin(x) * Amplitude;
            const double r = std::rint(v);
            if (std::fabs(std::fabs(v - r) - 0.5) > 1e-4)
                return static_cast<int16_t>(r);
        }
    }
    return extendedSample(index, frameRate, frequency);
}

} // namespace

int16_t SineSample(int32_t index, int frameRate, int frequency)
{
    NearestRounding nearest;
    return extendedSample(index, frameRate, frequency);
}

bool FillSineBuffer(char* Buffer, int& Size, int frequency, int filledCount, int frameRate)
{
    const int n = Size / 2;
    if (n <= 0)
        return true;
    // 32-bit sample positions, wrapping as the engine's integers do on a very long run.
    const uint32_t base = uint32_t(filledCount) * uint32_t(n);
    NearestRounding nearest;
    for (int i = 0; i < n; ++i) {
        const int16_t s = sample(int32_t(base + uint32_t(i)), frameRate, frequency);
        const uint16_t le = uint16_t(s);
        Buffer[2 * i] = char(le & 0xFF);
        Buffer[2 * i + 1] = char(le >> 8);
    }
    return true;
}

bool SineBufferCache::fill(char* Buffer, int& Size, int frequency, int filledCount, int frameRate)
{
    const int bytes = Size / 2 * 2;
    if (bytes <= 0)
        return true;
    // A pitch at or above half the frame rate would be heard as another, lower one: silence of
    // the same length instead.
    if (frameRate > 0 && 2 * int64_t(std::abs(int64_t(frequency))) >= frameRate) {
        std::fill(Buffer, Buffer + bytes, char(0));
        return true;
    }
    for (const Entry& e : m_entries) {
        if (e.frequency == frequency && e.frameRate == frameRate && e.size == bytes &&
            e.filledCount == filledCount) {
            std::copy(e.bytes.begin(), e.bytes.end(), Buffer);
            return true;
        }
    }
    FillSineBuffer(Buffer, Size, frequency, filledCount, frameRate);
    ++m_computed;
    Entry entry{frequency, frameRate, bytes, filledCount, std::vector<char>(Buffer, Buffer + bytes)};
    if (m_entries.size() < kEntries) {
        m_entries.push_back(std::move(entry));
    } else {
        m_entries[m_next] = std::move(entry);
        m_next = (m_next + 1) % kEntries;
    }
    return true;
}

void SoundcardElement(TAudioOut& audioOut, Clock& clock, int n, int dotTime)
{
    // When the start fails the element is silent but keeps its length; nobody reads the reason.
    const int holdMs = n * (dotTime - 4);
    audioOut.Start(holdMs);
    clock.Sleep(holdMs);
    audioOut.StopNow();
}

} // namespace quindle
