// The practice group generator: draws, reseeding and display forms.
#include "keying/PracticeGroups.h"
#include "tests/support/VirtualClock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <vector>

namespace {

using quindle::GroupKind;
using quindle::PracticeGroups;
using quindle::Random;
using quindle::VirtualClock;

// Pearson's chi-square of counts against equal expectation.
double chiSquare(const std::vector<int>& counts, int draws)
{
    const double expected = double(draws) / double(counts.size());
    double sum = 0;
    for (int c : counts)
        sum += (c - expected) * (c - expected) / expected;
    return sum;
}

class GeneratorTest : public ::testing::Test {
protected:
    GeneratorTest()
    {
        // A fixed, reproducible counter sequence: an odd step far from a power of two.
        clock.setCounterSource([this] { return m_counter += 2'654'435'761ull; });
    }

    VirtualClock clock;
    PracticeGroups groups{clock};

private:
    uint64_t m_counter = 12345;
};

TEST_F(GeneratorTest, LettersAndFiguresAreUniform)
{
    constexpr int kDraws = 260'000;
    std::vector<int> letters(26), figures(10);
    for (int i = 0; i < kDraws; ++i) {
        if (i % 5 == 0)
            groups.reseed();
        const int k = groups.draw(GroupKind::Letters, true, true);
        ASSERT_TRUE(k >= 'A' && k <= 'Z') << k;
        ++letters[size_t(k - 'A')];
        const int f = groups.draw(GroupKind::Numbers, true, true);
        ASSERT_TRUE(f >= '0' && f <= '9') << f;
        ++figures[size_t(f - '0')];
    }
    // 99.9th percentiles of chi-square with 25 and 9 degrees of freedom.
    EXPECT_LT(chiSquare(letters, kDraws), 52.6);
    EXPECT_LT(chiSquare(figures, kDraws), 27.9);
}

struct MixedCase {
    bool punctuation;
    bool accented;
    double letters;         // share of letters
    double figures;         // share of figures
    double eachPunctuation; // share of each punctuation mark
    double eachAccented;    // share of each accented capital
};

void PrintTo(const MixedCase& c, std::ostream* os)
{
    *os << "punctuation " << c.punctuation << " accented " << c.accented;
}

class MixedDraws : public GeneratorTest, public ::testing::WithParamInterface<MixedCase> {};

TEST_P(MixedDraws, FollowTheirShares)
{
    const MixedCase c = GetParam();
    constexpr int kDraws = 200'000;
    std::map<int, int> counts;
    for (int i = 0; i < kDraws; ++i) {
        if (i % 5 == 0)
            groups.reseed();
        ++counts[groups.draw(GroupKind::Mixed, c.punctuation, c.accented)];
    }
    int letters = 0, figures = 0;
    for (const auto& [code, n] : counts) {
        if (code >= 'A' && code <= 'Z')
            letters += n;
        else if (code >= '0' && code <= '9')
            figures += n;
    }
    auto near = [&](int n, double share) {
        // Five standard deviations of a binomial count.
        const double mean = share * kDraws;
        return std::abs(n - mean) <= 5 * std::sqrt(mean * (1 - share)) + 1;
    };
    EXPECT_TRUE(near(letters, c.letters)) << letters;
    EXPECT_TRUE(near(figures, c.figures)) << figures;
    for (int code : {34, 39, 44, 45, 46, 47, 58, 61, 63, 64})
        EXPECT_TRUE(near(counts[code], c.eachPunctuation)) << code << ": " << counts[code];
    for (int code : {193, 196, 197, 201, 209, 214, 220})
        EXPECT_TRUE(near(counts[code], c.eachAccented)) << code << ": " << counts[code];
    int listed = letters + figures;
    for (int code : {34, 39, 44, 45, 46, 47, 58, 61, 63, 64, 193, 196, 197, 201, 209, 214, 220})
        listed += counts[code];
    EXPECT_EQ(listed, kDraws) << "a code outside letters, figures and the two tables was drawn";
}

// Punctuation replaces 10 in 40; an accented capital then replaces 7 in 40 of whatever was drawn.
INSTANTIATE_TEST_SUITE_P(Options, MixedDraws,
                         ::testing::Values(MixedCase{false, false, 0.7, 0.3, 0, 0},
                                           MixedCase{true, false, 0.7 * 0.75, 0.3 * 0.75, 1.0 / 40, 0},
                                           MixedCase{false, true, 0.7 * 33 / 40, 0.3 * 33 / 40, 0, 1.0 / 40},
                                           MixedCase{true, true, 0.7 * 0.75 * 33 / 40, 0.3 * 0.75 * 33 / 40,
                                                     33.0 / 1600, 1.0 / 40}));

TEST_F(GeneratorTest, ReseedsFromTheLow32BitsOfTheCounterBeforeEveryOptionDraw)
{
    int reads = 0;
    uint64_t value = 0;
    clock.setCounterSource([&] {
        ++reads;
        return value;
    });
    groups.reseed();
    EXPECT_EQ(reads, 1);
    groups.draw(GroupKind::Mixed, true, true);
    EXPECT_EQ(reads, 3);
    groups.draw(GroupKind::Mixed, false, false);
    groups.draw(GroupKind::Letters, true, true);
    EXPECT_EQ(reads, 3);

    // Only the low 32 bits count: counters that differ above them give the same group.
    auto groupAt = [&](uint64_t counter) {
        value = counter;
        groups.reseed();
        std::string group;
        for (int i = 0; i < 5; ++i)
            group += char(groups.draw(GroupKind::Letters, false, false));
        return group;
    };
    EXPECT_EQ(groupAt(0x1'2345'6789ull), groupAt(0x7'2345'6789ull));
    EXPECT_NE(groupAt(0x2345'6789ull), groupAt(0x2345'678Aull));
}

TEST(Random, BelowStaysInRangeForAwkwardBounds)
{
    Random random;
    random.seed(7);
    EXPECT_EQ(random.below(0), 0u);
    EXPECT_EQ(random.below(1), 0u);
    // Bounds that do not divide 2^64 need the rejection step; it must still end.
    for (uint32_t n : {2u, 3u, 0x8000'0001u, 0xFFFF'FFFFu})
        for (int i = 0; i < 1000; ++i)
            ASSERT_LT(random.below(n), n);
}

TEST(DisplayForm, LowerCaseAppliesToLettersOfLettersAndMixedOnly)
{
    struct Row {
        uint8_t code;
        GroupKind kind;
        bool lowerCase;
        uint8_t shown;
    };
    const Row rows[] = {
        {'Q', GroupKind::Letters, true, 'q'}, {'Q', GroupKind::Letters, false, 'Q'},
        {'A', GroupKind::Mixed, true, 'a'},   {'Z', GroupKind::Mixed, true, 'z'},
        {'7', GroupKind::Mixed, true, '7'},   {'?', GroupKind::Mixed, true, '?'},
        {193, GroupKind::Mixed, true, 193},   {220, GroupKind::Mixed, true, 220},
        {'5', GroupKind::Numbers, true, '5'}, {'A', GroupKind::Numbers, true, 'A'},
    };
    for (const Row& row : rows)
        EXPECT_EQ(PracticeGroups::displayForm(row.code, row.kind, row.lowerCase), row.shown)
            << int(row.code) << " lower case " << row.lowerCase;
}

} // namespace
