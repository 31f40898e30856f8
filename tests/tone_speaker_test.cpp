#include "tests/support/RecordingSpeakerSink.h"
#include "tests/support/VirtualClock.h"
#include "tone/PortSpace.h"
#include "tone/SpeakerDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using quindle::PortSpace;
using quindle::RecordingSpeakerSink;
using quindle::SpeakerDriver;
using quindle::VirtualClock;
using W = PortSpace::PortWrite;
using Sink = RecordingSpeakerSink;

class Speaker : public ::testing::Test {
protected:
    explicit Speaker(uint8_t systemControl = 0) : ports(sink, systemControl) { ports.setLogging(true); }

    VirtualClock clock;
    Sink sink{clock};
    PortSpace ports;
    SpeakerDriver driver{clock, ports};
};

struct PortCase {
    uint32_t hz;
    uint8_t low;
    uint8_t high;
};

class SpeakerBytes : public Speaker, public ::testing::WithParamInterface<PortCase> {};

TEST_P(SpeakerBytes, ProgramsTimerLoadsDivisorThenOpensGate)
{
    // After a tone at another pitch: the new one starts at its own pitch, with no blip of the old.
    driver.SpeakerSound(440);
    driver.SpeakerNoSound();
    ports.clearLog();
    const PortCase c = GetParam();
    driver.SpeakerSound(uint16_t(c.hz));
    const std::vector<W> expected{{0x43, 0xB6}, {0x42, c.low}, {0x42, c.high}, {0x61, 0x03}};
    EXPECT_EQ(ports.writes(), expected);
    const uint32_t divisor = c.low | (c.high << 8);
    ASSERT_EQ(sink.events().size(), 3u);
    EXPECT_TRUE(sink.events()[2].on);
    EXPECT_DOUBLE_EQ(sink.events()[2].hz, 1193181.0 / divisor);
}

INSTANTIATE_TEST_SUITE_P(Table, SpeakerBytes,
                         ::testing::Values(PortCase{750, 0x36, 0x06},   // 1590: about 750.4 Hz
                                           PortCase{19, 0x4F, 0xF5},    // 62799, the largest divisor
                                           PortCase{20000, 0x3B, 0x00}, // 59: about 20223 Hz
                                           PortCase{1000, 0xA9, 0x04}, PortCase{65535, 0x12, 0x00}));

TEST_F(Speaker, TooLowTouchesNoPortButToneStillWaitsFullTime)
{
    for (uint32_t hz : {18u, 1u, 0u, 65536u /* low 16 bits are 0 */}) {
        const int64_t before = clock.nowMs();
        driver.SpeakerTone(hz, 120);
        EXPECT_EQ(clock.nowMs() - before, 120) << hz;
    }
    EXPECT_TRUE(ports.writes().empty());
    EXPECT_TRUE(sink.events().empty());
}

TEST_F(Speaker, ToneUsesLow16BitsOfFrequencyAndStaysOnUntilNoSound)
{
    driver.SpeakerTone(65536 + 750, 80);
    EXPECT_TRUE(sink.sounding());
    EXPECT_DOUBLE_EQ(sink.hz(), 1193181.0 / 1590);
    driver.SpeakerNoSound();
    const std::vector<Sink::Event> expected{{0, true, 1193181.0 / 1590}, {80'000, false, 0}};
    EXPECT_EQ(sink.events(), expected);
}

TEST_F(Speaker, SecondSoundOnlyReloadsDivisor)
{
    driver.SpeakerSound(750);
    ports.clearLog();
    driver.SpeakerSound(1000);
    const std::vector<W> expected{{0x42, 0xA9}, {0x42, 0x04}};
    EXPECT_EQ(ports.writes(), expected);
    ASSERT_EQ(sink.events().size(), 2u);
    EXPECT_DOUBLE_EQ(sink.events()[1].hz, 1193181.0 / 1193);
}

TEST_F(Speaker, NoSoundOnSilentSpeakerClearsGateBitsOnly)
{
    driver.SpeakerNoSound();
    const std::vector<W> expected{{0x61, 0x00}};
    EXPECT_EQ(ports.writes(), expected);
    EXPECT_TRUE(sink.events().empty());
}

class SpeakerOtherBits : public Speaker {
protected:
    SpeakerOtherBits() : Speaker(0xB0) {}
};

TEST_F(SpeakerOtherBits, GateWritesPreserveTheOtherBits)
{
    driver.SpeakerSound(750);
    driver.SpeakerNoSound();
    driver.SpeakerNoSound();
    const std::vector<W> expected{{0x43, 0xB6}, {0x42, 0x36}, {0x42, 0x06},
                                  {0x61, 0xB3}, {0x61, 0xB0}, {0x61, 0xB0}};
    EXPECT_EQ(ports.writes(), expected);
    EXPECT_EQ(ports.read(0x61), 0xB0);
    ASSERT_EQ(sink.events().size(), 2u);
    EXPECT_FALSE(sink.events()[1].on);
}

class SpeakerHalfOpen : public Speaker {
protected:
    SpeakerHalfOpen() : Speaker(0x01) {}
};

TEST_F(SpeakerHalfOpen, PartlyOpenGateSkipsGateAndModeWrites)
{
    driver.SpeakerSound(750);
    const std::vector<W> expected{{0x42, 0x36}, {0x42, 0x06}};
    EXPECT_EQ(ports.writes(), expected);
    // The speaker line (bit 1) stays off, so the loaded timer is not heard.
    EXPECT_TRUE(sink.events().empty());
    driver.SpeakerNoSound();
    driver.SpeakerSound(750);
    EXPECT_TRUE(sink.sounding());
}

TEST_F(Speaker, WaitSleepsOneMillisecondAtATimeAcrossTickWrap)
{
    clock.setTickOrigin(0xFFFFFFF0u);
    driver.SpeakerWait(32);
    EXPECT_EQ(clock.nowMs(), 32);
    ASSERT_EQ(clock.sleeps().size(), 32u);
    for (const auto& s : clock.sleeps())
        EXPECT_EQ(s.ms, 1);
    clock.clearSleeps();
    driver.SpeakerWait(0);
    EXPECT_EQ(clock.sleeps().size(), 1u);
}

// The real clock's schedule: the caller works lag [ns] past the first deadline, 50 us past later ones.
struct LaggingClock final : quindle::Clock {
    void Sleep(int ms) override { deadline += ms * int64_t(1'000'000), lag = 50'000; }
    uint32_t GetTickCount() override { return uint32_t(nowNs() / 1'000'000); }
    uint64_t PerformanceCounter() override { return 0; }
    int64_t nowNs() override { return deadline + lag; }
    quindle::ScheduleTime scheduleTime() override { return {deadline, 1, false}; }
    int64_t deadline = 1'300'000, lag = 0;
};

// The wait lasts exactly its length (at least 1 ms) on the schedule, where sinks place the tone.
TEST_F(Speaker, WaitLastsExactlyItsLengthOnTheSchedule)
{
    for (const int64_t lagUs : {0, 400, 950})
        for (const int64_t ms : {0, 1, 80, 240}) {
            LaggingClock lagging;
            lagging.lag = lagUs * 1000;
            SpeakerDriver(lagging, ports).SpeakerWait(uint32_t(ms));
            EXPECT_EQ(lagging.deadline, 1'300'000 + std::max<int64_t>(ms, 1) * 1'000'000) << lagUs;
        }
}

TEST_F(Speaker, PortModelFollowsTheTimerProgramming)
{
    ports.write(0x61, 0x03);
    ports.write(0x43, 0xB6);
    ports.write(0x42, 0x00);
    EXPECT_FALSE(ports.sounding()) << "half a count is not loaded";
    ports.write(0x42, 0x00);
    EXPECT_EQ(ports.divisor(), 65536u) << "a count of 0 counts 65536";
    ports.write(0x43, 0x36); // channel 0: not the speaker
    EXPECT_TRUE(ports.sounding());
    ports.write(0x43, 0x90); // channel 2, low byte only, mode 0: one-shot, no tone
    ports.write(0x42, 100);
    EXPECT_FALSE(ports.sounding());
    ports.write(0x43, 0x97); // low byte only, mode 3, BCD
    ports.write(0x42, 0x50);
    EXPECT_TRUE(ports.sounding());
    EXPECT_EQ(ports.divisor(), 50u);
    EXPECT_EQ(ports.read(0x42), 0xFF);
    ports.write(0x61, 0x02);
    EXPECT_FALSE(ports.sounding());
}

} // namespace
