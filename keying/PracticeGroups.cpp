#include "keying/PracticeGroups.h"

#include "clock/Clock.h"

namespace quindle {

void Random::seed(uint32_t seed)
{
    m_state = seed;
}

uint64_t Random::next()
{
    // SplitMix64: neighbouring seeds (successive counter readings) give unrelated outputs.
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint32_t Random::below(uint32_t n)
{
    if (n == 0)
        return 0;
    // Reject the lowest (2^64 mod n) values so that every remainder is equally likely.
    const uint64_t threshold = (0 - uint64_t(n)) % n;
    uint64_t x = next();
    while (x < threshold)
        x = next();
    return uint32_t(x % n);
}

uint8_t punctuationForDraw(uint32_t draw)
{
    static constexpr uint8_t marks[10] = {'"', '\'', '-', '/', ':', '=', '?', '@', ',', '.'};
    return draw >= 1 && draw <= 10 ? marks[draw - 1] : 0;
}

uint8_t accentedForDraw(uint32_t draw)
{
    static constexpr uint8_t capitals[7] = {193, 196, 197, 201, 209, 214, 220};
    return draw >= 11 && draw <= 17 ? capitals[draw - 11] : 0;
}

void PracticeGroups::reseed()
{
    m_random.seed(uint32_t(m_clock.PerformanceCounter()));
}

uint8_t PracticeGroups::drawLetter()
{
    return uint8_t('A' + m_random.below(26));
}

uint8_t PracticeGroups::drawFigure()
{
    return uint8_t('0' + m_random.below(10));
}

uint8_t PracticeGroups::drawMixed(bool punctuation, bool accented)
{
    uint8_t k = m_random.below(10) >= 7 ? drawFigure() : drawLetter();
    if (punctuation) {
        reseed();
        if (const uint8_t mark = punctuationForDraw(m_random.below(40)))
            k = mark;
    }
    if (accented) {
        reseed();
        if (const uint8_t capital = accentedForDraw(m_random.below(40)))
            k = capital;
    }
    return k;
}

uint8_t PracticeGroups::draw(GroupKind kind, bool punctuation, bool accented)
{
    switch (kind) {
    case GroupKind::Letters:
        return drawLetter();
    case GroupKind::Numbers:
        return drawFigure();
    case GroupKind::Mixed:
        return drawMixed(punctuation, accented);
    }
    return drawLetter();
}

uint8_t PracticeGroups::displayForm(uint8_t code, GroupKind kind, bool lowerCase)
{
    if (kind != GroupKind::Numbers && lowerCase && code >= 'A' && code <= 'Z')
        return uint8_t(code - 'A' + 'a');
    return code;
}

} // namespace quindle
