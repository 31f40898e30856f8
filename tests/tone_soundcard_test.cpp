#include "tests/support/CaptureWaveOut.h"
#include "tests/support/RecordingSpeakerSink.h"
#include "tests/support/VirtualClock.h"
#include "tone/SoundcardTone.h"
#include "tone/ToneOutput.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <climits>
#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

namespace {

using quindle::CaptureWaveOut;
using quindle::FillSineBuffer;
using quindle::SineSample;
using quindle::VirtualClock;

constexpr int kRate = 22540;

std::vector<int16_t> fill(int size, int frequency, int filledCount, int rate = kRate)
{
    std::vector<char> bytes(size_t(std::max(size, 0)) + 2, char(0x5A));
    int s = size;
    EXPECT_TRUE(FillSineBuffer(bytes.data(), s, frequency, filledCount, rate));
    EXPECT_EQ(s, size);
    std::vector<int16_t> samples(size_t(std::max(size / 2, 0)));
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

// The computation written out with the C library, as an independent reference.
int16_t reference(int32_t index, int rate, int frequency)
{
    long double x = static_cast<long double>(index) / rate;
    x = x * 3.14159L * 2 * frequency;
    return static_cast<int16_t>(nearbyintl(sinl(x) * 8192));
}

TEST(SineFill, RunStartsAtZeroAndRises)
{
    const auto s = fill(8182, 750, 0);
    ASSERT_EQ(s.size(), 4091u);
    EXPECT_EQ(std::vector<int16_t>(s.begin(), s.begin() + 6),
              (std::vector<int16_t>{0, 1700, 3326, 4808, 6080, 7087}));
    EXPECT_EQ(*std::max_element(s.begin(), s.end()), 8192);
    EXPECT_EQ(*std::min_element(s.begin(), s.end()), -8192);
}

TEST(SineFill, BuffersOfOneRunJoinWithoutABreak)
{
    const auto whole = fill(4 * 8182, 750, 0);
    for (int k = 0; k < 4; ++k) {
        const auto part = fill(8182, 750, k);
        EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + k * 4091)) << k;
    }
}

TEST(SineFill, KeptBuffersAreTheFreshFillByteForByte)
{
    // Starts at two pitches back and forth, an odd size, another rate: every buffer a Start asks
    // for is what a fresh fill gives, and one seen before is not computed again.
    quindle::SineBufferCache cache;
    const struct {
        int size, frequency, rate;
    } starts[] = {{8182, 750, kRate}, {8182, 600, kRate}, {8182, 750, kRate},
                  {8183, 600, kRate}, {8182, 750, 11025}, {8182, 750, kRate}};
    int computedBeforeThird = 0;
    for (size_t k = 0; k < std::size(starts); ++k) {
        if (k == 2)
            computedBeforeThird = cache.computed();
        for (int b = 0; b < 4; ++b) {
            std::vector<char> kept(8200, char(0x5A)), fresh(8200, char(0x5A));
            int keptSize = starts[k].size, freshSize = starts[k].size;
            cache.fill(kept.data(), keptSize, starts[k].frequency, b, starts[k].rate);
            FillSineBuffer(fresh.data(), freshSize, starts[k].frequency, b, starts[k].rate);
            ASSERT_EQ(kept, fresh) << "start " << k << ", buffer " << b;
            ASSERT_EQ(keptSize, starts[k].size);
        }
        if (k == 3) {
            EXPECT_EQ(cache.computed(), computedBeforeThird) << "the same pitches again cost no sine";
        }
    }
}

TEST(SineFill, KeptBuffersAreSilentWhereTheRateCannotCarryThePitch)
{
    // At or above half the rate a pitch would be heard as another: 12000 Hz as 10540 Hz.
    quindle::SineBufferCache cache;
    for (const auto& [frequency, rate, sounds] : {std::tuple{11269, kRate, true},
                                                  {11270, kRate, false},
                                                  {12000, kRate, false},
                                                  {-12000, kRate, false},
                                                  {20000, 48000, true}}) {
        std::vector<char> bytes(8182, char(0x5A));
        int size = 8182;
        cache.fill(bytes.data(), size, frequency, 1, rate);
        EXPECT_EQ(std::count(bytes.begin(), bytes.end(), char(0)) < 8182, sounds) << frequency;
    }
}

TEST(SineFill, MatchesTheComputationSampleForSample)
{
    for (int f : {100, 750, 1234, 11270, 20000, 30000}) {
        const auto s = fill(4 * 8182, f, 0);
        for (size_t i = 0; i < s.size(); ++i)
            ASSERT_EQ(s[i], reference(int32_t(i), kRate, f)) << f << " Hz, sample " << i;
    }
}

TEST(SineFill, FastPathGivesTheExtendedResultEverywhere)
{
    for (int f = -20000; f <= 40000; f += 397) {
        for (int k : {0, 3, 1000}) {
            const auto s = fill(8182, f, k);
            for (size_t i = 0; i < s.size(); ++i)
                ASSERT_EQ(s[i], SineSample(int32_t(k * 4091 + int(i)), kRate, f))
                    << f << " Hz, buffer " << k << ", sample " << i;
        }
    }
    for (int rate : {1, 7, 8000, 96000}) {
        const auto s = fill(8182, 750, 0, rate);
        for (size_t i = 0; i < s.size(); ++i)
            ASSERT_EQ(s[i], SineSample(int32_t(i), rate, 750)) << rate << " frames/s, sample " << i;
    }
}

TEST(SineFill, OddSizeLeavesTheLastByteAndSmallSizesWriteNothing)
{
    std::vector<char> bytes(8184, char(0x5A));
    int size = 8183;
    EXPECT_TRUE(FillSineBuffer(bytes.data(), size, 750, 0, kRate));
    EXPECT_EQ(size, 8183);
    EXPECT_EQ(bytes[8182], char(0x5A));
    EXPECT_NE(bytes[8181], char(0x5A));

    for (int small : {0, 1, -1, -8182}) {
        char guard[4] = {0x5A, 0x5A, 0x5A, 0x5A};
        size = small;
        EXPECT_TRUE(FillSineBuffer(guard, size, 750, 0, kRate));
        EXPECT_EQ(size, small);
        EXPECT_EQ(std::count(guard, guard + 4, char(0x5A)), 4) << small;
    }
}

TEST(SineFill, FrequencyIsUsedUncorrected)
{
    const auto zero = fill(8182, 0, 0);
    EXPECT_TRUE(std::all_of(zero.begin(), zero.end(), [](int16_t v) { return v == 0; }));
    const auto up = fill(8182, 750, 1);
    const auto down = fill(8182, -750, 1);
    for (size_t i = 0; i < up.size(); ++i)
        ASSERT_EQ(down[i], -up[i]) << i;
}

TEST(SineFill, OutOfRangeArgumentsGiveSilenceNotGarbage)
{
    // x beyond 2^63, and a frame rate of 0 (infinite or undefined x).
    EXPECT_EQ(SineSample(INT_MAX, 1, INT_MAX), 0);
    EXPECT_EQ(SineSample(0, 0, 750), 0);
    EXPECT_EQ(SineSample(100, 0, 750), 0);
    const auto s = fill(512, 750, 3, 0);
    EXPECT_TRUE(std::all_of(s.begin(), s.end(), [](int16_t v) { return v == 0; }));
    // Positions wrap as 32-bit integers instead of overflowing.
    const auto wrapped = fill(8182, 750, INT_MAX);
    EXPECT_EQ(wrapped[0], reference(int32_t(uint32_t(INT_MAX) * 4091u), kRate, 750));
}

TEST(SineFill, RoundsToNearestWhateverTheCallersMode)
{
    const auto expected = fill(8182, 750, 2);
    ASSERT_EQ(std::fesetround(FE_UPWARD), 0);
    const auto got = fill(8182, 750, 2);
    EXPECT_EQ(std::fegetround(), FE_UPWARD);
    std::fesetround(FE_TONEAREST);
    EXPECT_EQ(got, expected);
}

// ---- the tone routes, with the capture back-end ----

class Element : public ::testing::Test {
protected:
    void processMessages()
    {
        capture.pump();
        QCoreApplication::processEvents();
    }
    std::vector<int16_t> runSamples(size_t count, int frequency)
    {
        auto s = fill(4 * 8182, frequency, 0);
        s.resize(count);
        return s;
    }

    VirtualClock clock;
    CaptureWaveOut capture{clock};
    quindle::RecordingSpeakerSink sink{clock};
    int tone = 750;
    quindle::ToneOutput output{clock, sink, capture};
};

TEST_F(Element, EngineIsSetUpForTheTone)
{
    auto& audio = output.AudioOut1();
    EXPECT_EQ(audio.BufferSize(), 8182);
    EXPECT_EQ(audio.FrameRate(), 22540);
    EXPECT_EQ(audio.NumBuffers(), 4);
    EXPECT_FALSE(audio.Stereo());
    EXPECT_EQ(audio.Quantization(), 16);
}

TEST_F(Element, DotSoundsDotTimeLessFourFromPhaseZero)
{
    output.SoundcardElement(1, 80, tone);
    ASSERT_EQ(clock.sleeps().size(), 1u);
    EXPECT_EQ(clock.sleeps()[0].ms, 76);
    ASSERT_EQ(capture.played().size(), 1u);
    EXPECT_EQ(capture.played()[0].startNs, 0);
    EXPECT_EQ(capture.played()[0].endNs, 76'000'000);
    EXPECT_EQ(capture.playedFrames(), 1713); // 76 ms at 22540 frames/s
    EXPECT_EQ(capture.playedSamples(), runSamples(1713, 750));
    EXPECT_FALSE(output.AudioOut1().DeviceOpen());
}

TEST_F(Element, DashHoldsThreeTimesDotTimeLessFourAcrossABufferBoundary)
{
    output.SoundcardElement(3, 80, tone);
    EXPECT_EQ(clock.sleeps().at(0).ms, 228);
    ASSERT_EQ(capture.played().size(), 2u);
    EXPECT_EQ(capture.played()[0].frames, 4091);
    EXPECT_EQ(capture.played()[1].startNs, capture.played()[0].endNs);
    EXPECT_EQ(capture.played()[1].endNs, 228'000'000);
    const int64_t frames = 228'000'000LL * kRate / 1'000'000'000;
    EXPECT_NEAR(capture.playedFrames(), frames, 1);
    EXPECT_EQ(capture.playedSamples(), runSamples(size_t(capture.playedFrames()), 750));
}

TEST_F(Element, EveryElementStartsAgainAtPhaseZeroWithTheCurrentPitch)
{
    output.SoundcardElement(1, 80, tone);
    clock.Sleep(80);
    processMessages();
    tone = 1000;
    output.SoundcardElement(1, 80, tone);
    clock.Sleep(80);
    processMessages();
    ASSERT_EQ(capture.played().size(), 2u);
    EXPECT_EQ(capture.played()[1].startNs, 156'000'000);
    const auto all = capture.playedSamples();
    EXPECT_EQ(std::vector<int16_t>(all.begin() + 1713, all.end()), runSamples(1713, 1000));
    EXPECT_EQ(output.AudioOut1().DoneCount(), 4);
}

TEST_F(Element, UnusableSoundCardKeepsTheElementLength)
{
    capture.failCall(CaptureWaveOut::Call::Open, quindle::MMSYSERR_NODRIVER);
    output.SoundcardElement(3, 15, tone);
    EXPECT_EQ(clock.nowMs(), 33);
    EXPECT_EQ(capture.playedFrames(), 0);
    EXPECT_FALSE(output.AudioOut1().ErrorMessage().isEmpty());
    output.SoundcardElement(1, 15, tone);
    EXPECT_EQ(capture.playedFrames(), 11 * kRate / 1000);
}

TEST_F(Element, SpeakerRouteSoundsThroughThePorts)
{
    output.ports().setLogging(true);
    output.SpeakerTone(750, 240);
    output.SpeakerNoSound();
    ASSERT_EQ(sink.events().size(), 2u);
    EXPECT_EQ(sink.events()[1].atUs, 240'000);
    EXPECT_EQ(sink.soundedUs(), 240'000);
    EXPECT_EQ(output.ports().writes().size(), 5u);
}

} // namespace
