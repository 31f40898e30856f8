#include "tests/support/CaptureWaveOut.h"
#include "tests/support/VirtualClock.h"
#include "tone/AudioIO.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace {

using quindle::CaptureWaveOut;
using quindle::TAudioOut;
using quindle::VirtualClock;
using Call = CaptureWaveOut::Call;

constexpr const char* kNoFilledBuffer = "There must be at least one filled buffer";

class AudioOut : public ::testing::Test {
protected:
    AudioOut()
    {
        audio->OnFillBuffer = [this](char* buffer, int& size) {
            ++fills;
            offered = size;
            std::memset(buffer, fills & 0x7F, size_t(size));
            if (shrinkTo)
                size = *shrinkTo;
            return accept;
        };
    }

    // Application.ProcessMessages as the window does it, with the device seeing time pass first.
    void processMessages()
    {
        capture.pump();
        QCoreApplication::processEvents();
    }
    // Lets the device play for ms and handles what it reports.
    void play(int ms)
    {
        clock.Sleep(ms);
        processMessages();
    }
    int64_t bufferNs(int bytes) const { return int64_t(bytes / 2) * 1'000'000'000 / audio->FrameRate(); }

    VirtualClock clock;
    CaptureWaveOut capture{clock};
    std::unique_ptr<TAudioOut> audio = std::make_unique<TAudioOut>(capture);
    int fills = 0;
    int offered = 0;
    std::optional<int> shrinkTo;
    bool accept = true;
};

struct SizeCase {
    int requested;
    bool stereo;
    uint16_t bits;
    int expected;
};

class BufferSizeBound : public AudioOut, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(BufferSizeBound, IsAtLeast512AndAWholeNumberOfFrames)
{
    const SizeCase c = GetParam();
    audio->SetStereo(c.stereo);
    audio->SetQuantization(c.bits);
    audio->SetBufferSize(c.requested);
    EXPECT_EQ(audio->BufferSize(), c.expected);
    EXPECT_EQ(audio->RequestedBufferSize(), std::max(c.requested, 512));
}

INSTANTIATE_TEST_SUITE_P(Table, BufferSizeBound,
                         ::testing::Values(SizeCase{100, false, 16, 512}, SizeCase{-5, false, 16, 512},
                                           SizeCase{8183, false, 16, 8182}, SizeCase{8182, true, 16, 8180},
                                           SizeCase{8183, false, 8, 8183}, SizeCase{515, true, 16, 512},
                                           SizeCase{8192, false, 16, 8192}));

TEST_F(AudioOut, InitialValuesAndPropertyBounds)
{
    EXPECT_EQ(audio->BufferSize(), 8192);
    EXPECT_EQ(audio->NumBuffers(), 4);
    EXPECT_EQ(audio->FrameRate(), 22050);
    EXPECT_FALSE(audio->Stereo());
    EXPECT_EQ(audio->Quantization(), 16);
    EXPECT_EQ(audio->DeviceId(), quindle::WAVE_MAPPER);
    // The format is byte-packed: its fields are compared as values (+), never bound by reference.
    EXPECT_EQ(+audio->WaveFormat().nAvgBytesPerSec, 44100u);
    EXPECT_EQ(+audio->WaveFormat().nBlockAlign, 2);
    EXPECT_TRUE(audio->ErrorMessage().isEmpty());

    for (auto [set, got] : {std::pair{0, 2}, {1, 2}, {3, 3}, {4, 4}, {9, 4}, {-7, 2}}) {
        audio->SetNumBuffers(set);
        EXPECT_EQ(audio->NumBuffers(), got) << set;
    }
    for (auto [set, got] :
         {std::pair<uint16_t, int>{0, 8}, {7, 8}, {8, 8}, {9, 16}, {12, 16}, {16, 16}, {24, 16}}) {
        audio->SetQuantization(set);
        EXPECT_EQ(audio->Quantization(), got) << set;
    }

    audio->SetQuantization(16);
    audio->SetFrameRate(22540);
    EXPECT_EQ(+audio->WaveFormat().nAvgBytesPerSec, 45080u);
    audio->SetStereo(true);
    EXPECT_EQ(+audio->WaveFormat().nBlockAlign, 4);
    EXPECT_EQ(+audio->WaveFormat().nAvgBytesPerSec, 90160u);
    EXPECT_EQ(+audio->WaveFormat().nChannels, 2);
    audio->SetQuantization(8);
    EXPECT_EQ(+audio->WaveFormat().nBlockAlign, 2);
}

TEST_F(AudioOut, OneElementStartStopThenLateNotificationsCloseWithoutDeviceCall)
{
    audio->SetBufferSize(8182);
    audio->SetFrameRate(22540);
    ASSERT_TRUE(audio->Start());
    EXPECT_EQ(fills, 4);
    EXPECT_EQ(offered, 8182);
    EXPECT_EQ(audio->FilledCount(), 4);
    EXPECT_EQ(audio->ActiveCount(), 4);
    EXPECT_EQ(capture.queuedBuffers(), 4);
    EXPECT_TRUE(audio->DeviceOpen());
    EXPECT_TRUE(audio->Active());

    clock.Sleep(76);
    audio->StopNow();
    EXPECT_FALSE(audio->DeviceOpen());
    EXPECT_FALSE(capture.isOpen());
    EXPECT_EQ(capture.posted(quindle::MM_WOM_DONE), 4);

    capture.clearCalls();
    processMessages();
    EXPECT_TRUE(capture.calls().empty()) << "the closing done notification must not reach the device";
    EXPECT_EQ(fills, 4) << "no refill after StopNow";
    EXPECT_EQ(audio->DoneCount(), 4);
    EXPECT_EQ(audio->ActiveCount(), 0);
    EXPECT_FALSE(audio->Active());
    EXPECT_FALSE(audio->Paused());
}

TEST_F(AudioOut, StartWhileOpenFailsAndLeavesTheDeviceAlone)
{
    ASSERT_TRUE(audio->Start());
    capture.clearCalls();
    EXPECT_FALSE(audio->Start());
    EXPECT_EQ(audio->ErrorMessage(), "Wave output device is already open");
    EXPECT_TRUE(capture.calls().empty());
    EXPECT_TRUE(audio->DeviceOpen());
    EXPECT_EQ(audio->FilledCount(), 4);
    EXPECT_EQ(fills, 4);
    audio->StopNow();
}

TEST_F(AudioOut, StopWhileClosedDoesNothing)
{
    audio->StopNow();
    audio->StopWhenDrained();
    EXPECT_TRUE(capture.calls().empty());
}

TEST_F(AudioOut, NoHandlerOrDeclinedFirstFillClosesAgain)
{
    for (bool withHandler : {false, true}) {
        if (withHandler)
            accept = false;
        else
            audio->OnFillBuffer = nullptr;
        capture.clearCalls();
        EXPECT_FALSE(audio->Start());
        EXPECT_EQ(audio->ErrorMessage(), kNoFilledBuffer);
        EXPECT_FALSE(audio->DeviceOpen());
        EXPECT_FALSE(capture.isOpen());
        EXPECT_EQ(capture.callCount(Call::Open), 1);
        EXPECT_EQ(capture.callCount(Call::Write), 0);
        EXPECT_EQ(capture.callCount(Call::Close), 1);
    }
}

TEST_F(AudioOut, PausedBeforeStartQueuesOnPausedDevice)
{
    audio->SetPaused(true);
    EXPECT_TRUE(capture.calls().empty()) << "while closed the flag is only stored";
    ASSERT_TRUE(audio->Start());
    EXPECT_TRUE(capture.paused());
    ASSERT_GE(capture.calls().size(), 2u);
    EXPECT_EQ(capture.calls()[1].call, Call::Pause) << "paused before any buffer reaches the device";
    EXPECT_EQ(capture.queuedBuffers(), 4);
    play(100);
    EXPECT_EQ(capture.playedFrames(), 0);
    audio->SetPaused(false);
    EXPECT_FALSE(capture.paused());
    clock.Sleep(100);
    audio->SetPaused(true);
    audio->StopNow();
    EXPECT_FALSE(audio->Paused()) << "a close always clears the pause";
    ASSERT_EQ(capture.played().size(), 1u);
    EXPECT_EQ(capture.played()[0].startNs, 100'000'000) << "playback starts at the restart";
    EXPECT_EQ(capture.played()[0].endNs, 200'000'000);
    EXPECT_EQ(capture.playedFrames(), 2205);
}

TEST_F(AudioOut, ContinuousModeRefillsUntilDeclinedThenDrainsAndCloses)
{
    const int64_t buffer = bufferNs(audio->BufferSize());
    ASSERT_TRUE(audio->Start());
    for (int k = 0; k < 10; ++k) {
        clock.advanceNs(buffer);
        processMessages();
        EXPECT_EQ(audio->ActiveCount(), 4) << k;
        EXPECT_TRUE(audio->DeviceOpen());
    }
    EXPECT_EQ(audio->FilledCount(), 14);
    EXPECT_EQ(audio->DoneCount(), 10);

    accept = false;
    for (int k = 0; k < 3; ++k) {
        clock.advanceNs(buffer);
        processMessages();
        EXPECT_TRUE(audio->DeviceOpen()) << k;
        EXPECT_EQ(audio->ActiveCount(), 3 - k);
    }
    clock.advanceNs(buffer);
    processMessages();
    EXPECT_FALSE(audio->DeviceOpen());
    EXPECT_FALSE(capture.isOpen());
    // Fourteen buffers of 4096 frames, played back to back.
    EXPECT_EQ(capture.playedFrames(), 14 * 4096);
    for (size_t i = 1; i < capture.played().size(); ++i)
        EXPECT_EQ(capture.played()[i].startNs, capture.played()[i - 1].endNs);
}

TEST_F(AudioOut, StopWhenDrainedPlaysOutWhatIsQueued)
{
    ASSERT_TRUE(audio->Start());
    audio->StopWhenDrained();
    EXPECT_FALSE(audio->ContinueFilling());
    play(2000);
    EXPECT_EQ(fills, 4);
    EXPECT_FALSE(audio->DeviceOpen());
    EXPECT_EQ(capture.playedFrames(), 4 * 4096);
}

TEST_F(AudioOut, DeviceFailuresReportThePlatformTextAndClose)
{
    const std::string badFormat = capture.waveOutGetErrorText(quindle::WAVERR_BADFORMAT);
    capture.failCall(Call::Open, quindle::WAVERR_BADFORMAT);
    EXPECT_FALSE(audio->Start());
    EXPECT_EQ(audio->ErrorMessage().toStdString(), badFormat);
    EXPECT_FALSE(audio->DeviceOpen());
    EXPECT_EQ(fills, 0);

    capture.failCall(Call::Prepare, quindle::MMSYSERR_NOMEM, 2);
    EXPECT_FALSE(audio->Start());
    EXPECT_EQ(audio->ErrorMessage().toStdString(), capture.waveOutGetErrorText(quindle::MMSYSERR_NOMEM));
    EXPECT_FALSE(capture.isOpen());
    EXPECT_EQ(fills, 0);

    capture.failCall(Call::Write, quindle::MMSYSERR_ERROR);
    EXPECT_FALSE(audio->Start());
    EXPECT_EQ(audio->ErrorMessage().toStdString(), capture.waveOutGetErrorText(quindle::MMSYSERR_ERROR));
    EXPECT_FALSE(capture.isOpen());
    EXPECT_FALSE(audio->DeviceOpen());

    // The next element tries again and works.
    EXPECT_TRUE(audio->Start());
    audio->StopNow();
}

TEST_F(AudioOut, LaterWriteFailureDrainsAndStillClosesByItself)
{
    capture.failCall(Call::Write, quindle::MMSYSERR_NOMEM, 1);
    EXPECT_TRUE(audio->Start()) << "only the first write decides the result";
    EXPECT_FALSE(audio->ContinueFilling());
    EXPECT_TRUE(audio->DeviceOpen());
    EXPECT_EQ(audio->queuedCount(), capture.queuedBuffers());
    play(2000);
    EXPECT_FALSE(audio->DeviceOpen()) << "a buffer that never reached the device must not keep it open";
    EXPECT_FALSE(capture.isOpen());
}

TEST_F(AudioOut, LateNotificationsOfAnEarlierOpeningAreDropped)
{
    ASSERT_TRUE(audio->Start());
    audio->StopNow();
    ASSERT_TRUE(audio->Start()); // before the first opening's notifications were handled
    EXPECT_EQ(audio->DeviceHandle(), 2u);
    processMessages();
    EXPECT_EQ(audio->CallbackWindow()->staleDropped(), 6);
    EXPECT_EQ(audio->DoneCount(), 0);
    EXPECT_EQ(audio->FilledCount(), 4);
    EXPECT_TRUE(audio->DeviceOpen());
    EXPECT_EQ(capture.queuedBuffers(), 4);
    audio->StopNow();
    processMessages();
    EXPECT_EQ(audio->DoneCount(), 4);
}

TEST_F(AudioOut, StartAndStopEventsComeFromTheNotificationObject)
{
    std::vector<std::pair<char, QObject*>> events;
    audio->OnStart = [&](QObject* sender) { events.push_back({'s', sender}); };
    audio->OnStop = [&](QObject* sender) { events.push_back({'e', sender}); };
    ASSERT_TRUE(audio->Start());
    audio->StopNow();
    processMessages();
    const std::vector<std::pair<char, QObject*>> expected{{'s', audio->CallbackWindow()},
                                                          {'e', audio->CallbackWindow()}};
    EXPECT_EQ(events, expected);
}

TEST_F(AudioOut, ManyElementsLeaveNothingBehind)
{
    capture.setRecording(false);
    const auto children = audio->children().size();
    for (int i = 0; i < 10'000; ++i) {
        audio->Start();
        clock.Sleep(76);
        audio->StopNow();
        clock.Sleep(80);
        processMessages();
    }
    EXPECT_EQ(capture.openings(), 10'000);
    EXPECT_EQ(audio->children().size(), children);
    EXPECT_EQ(audio->CallbackWindow()->staleDropped(), 0);
    EXPECT_FALSE(capture.isOpen());
    EXPECT_EQ(capture.queuedBuffers(), 0);
    EXPECT_EQ(audio->DoneCount(), 4);
    EXPECT_EQ(fills, 40'000);
}

TEST_F(AudioOut, HandlerSizeBecomesPlayLengthWithinTheBuffer)
{
    for (auto [returned, played] : {std::pair{1000, 500}, {-4, 0}, {100'000, 4096}}) {
        shrinkTo = returned;
        ASSERT_TRUE(audio->Start());
        EXPECT_EQ(audio->Headers(0)->dwBufferLength, uint32_t(played * 2));
        clock.Sleep(1000);
        audio->StopNow();
        processMessages();
        EXPECT_EQ(capture.playedFrames(), 4 * played) << returned;
        capture.clearPlayed();
    }
}

TEST_F(AudioOut, BuffersDeclinedAtOpenAreNotPlayed)
{
    audio->OnFillBuffer = [this](char*, int&) { return ++fills <= 2; };
    ASSERT_TRUE(audio->Start());
    EXPECT_EQ(fills, 3) << "filling stops at the first declined buffer";
    EXPECT_EQ(capture.callCount(Call::Write), 2);
    play(2000);
    EXPECT_FALSE(audio->DeviceOpen());
    EXPECT_FALSE(capture.isOpen());
    EXPECT_EQ(capture.playedFrames(), 2 * 4096);
}

TEST_F(AudioOut, FormatAndCountChangesNeverOutgrowTheBuffers)
{
    // 8183 requested: 8182 bytes in 16-bit, 8183 once switched to 8-bit.
    audio->SetBufferSize(8183);
    audio->SetQuantization(8);
    audio->SetNumBuffers(2);
    audio->SetBufferSize(8183);
    audio->SetNumBuffers(4);
    ASSERT_TRUE(audio->Start());
    EXPECT_EQ(offered, 8183);
    EXPECT_EQ(fills, 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_NE(audio->Headers(i)->lpData, nullptr);
    audio->StopNow();
}

TEST_F(AudioOut, BufferSizeChangeWhilePlayingTakesEffectAfterTheClose)
{
    ASSERT_TRUE(audio->Start());
    char* const playing = audio->Buffers(0);
    audio->SetBufferSize(20000);
    EXPECT_EQ(audio->BufferSize(), 20000);
    EXPECT_EQ(audio->Buffers(0), playing) << "buffers on the device are not freed";
    clock.advanceNs(bufferNs(8192));
    processMessages();
    EXPECT_EQ(offered, 8192) << "a refill stays within the old buffer";
    audio->StopNow();
    processMessages();
    ASSERT_TRUE(audio->Start());
    EXPECT_EQ(offered, 20000);
    audio->StopNow();
}

TEST_F(AudioOut, DestroyingAnOpenComponentClosesTheDevice)
{
    ASSERT_TRUE(audio->Start());
    audio.reset();
    EXPECT_FALSE(capture.isOpen());
    QCoreApplication::processEvents();
}

class FailingMemory final : public quindle::WaveMemory {
public:
    std::unique_ptr<char[]> allocate(size_t bytes, bool zeroed) override
    {
        return --allocations == 0 ? nullptr : WaveMemory::allocate(bytes, zeroed);
    }
    bool lock(char*) override { return --locks != 0; }
    int allocations = -1;
    int locks = -1;
};

TEST(AudioOutMemory, AllocationFailuresAreReportedAndRetriedAtTheNextStart)
{
    struct Case {
        int allocation;
        int lock;
        const char* message;
    };
    for (const Case c : {Case{2, -1, "Error allocating wave header memory"},
                         Case{-1, 4, "Could not lock header memory for recording"},
                         Case{6, -1, "Error allocating wave buffer memory"},
                         Case{-1, 8, "Error Locking wave buffer memory"}}) {
        VirtualClock clock;
        CaptureWaveOut capture(clock);
        FailingMemory memory;
        memory.allocations = c.allocation;
        memory.locks = c.lock;
        TAudioOut audio(capture, nullptr, &memory);
        EXPECT_EQ(audio.ErrorMessage(), c.message);
        audio.OnFillBuffer = [](char*, int&) { return true; };
        EXPECT_TRUE(audio.Start()) << c.message;
        audio.StopNow();
        QCoreApplication::processEvents();
    }
}

TEST(WaveOutErrorText, CutAtZeroAndAt255Bytes)
{
    VirtualClock clock;
    CaptureWaveOut capture(clock);
    capture.setErrorText(100, std::string("first\0second", 12));
    capture.setErrorText(101, std::string(300, 'x'));
    capture.setErrorText(102, std::string(254, 'x') + "\xC3\xA9");
    EXPECT_EQ(quindle::WaveOutErrorText(capture, 100), "first");
    EXPECT_EQ(quindle::WaveOutErrorText(capture, 101).size(), 255);
    EXPECT_EQ(quindle::WaveOutErrorText(capture, 102), QString(254, 'x'));
    EXPECT_EQ(quindle::WaveOutErrorText(capture, 999), "");
}

} // namespace
