#pragma once

#include <cstdint>

namespace quindle {

class Clock;

// A small pseudo-random generator (SplitMix64) whose whole state comes from one 32-bit seed, so
// that reseeding from a clock reading fully determines what follows.
class Random {
public:
    void seed(uint32_t seed);
    // Equally likely integer in 0 .. n-1 (no modulo bias); 0 when n is 0.
    uint32_t below(uint32_t n);

private:
    uint64_t next();
    uint64_t m_state = 0;
};

enum class GroupKind { Letters, Numbers, Mixed };

// Punctuation mark for a draw below 40 (1..10), or 0 when the draw selects none.
uint8_t punctuationForDraw(uint32_t draw);
// Accented capital for a draw below 40 (11..17), or 0 when the draw selects none.
uint8_t accentedForDraw(uint32_t draw);

// The character generator of the practice groups. Each draw returns the code to send: a capital
// where it is a letter.
class PracticeGroups {
public:
    explicit PracticeGroups(Clock& clock) : m_clock(clock) {}

    // Reseeds from the low 32 bits of the clock's performance counter.
    void reseed();

    uint8_t drawLetter();
    uint8_t drawFigure();
    // Letter 7 times in 10, figure 3 times in 10; then, when enabled, each punctuation mark and each
    // accented capital replaces the character 1 time in 40 (accented after punctuation, each draw
    // reseeded first).
    uint8_t drawMixed(bool punctuation, bool accented);
    uint8_t draw(GroupKind kind, bool punctuation, bool accented);

    // The form shown in the memo: A..Z lower-cased under Lower Case for Letters and Mixed; figures,
    // punctuation and accented capitals unchanged; Numbers never consult Lower Case.
    static uint8_t displayForm(uint8_t code, GroupKind kind, bool lowerCase);

    Random& random() { return m_random; }

private:
    Clock& m_clock;
    Random m_random;
};

} // namespace quindle
