// Eight hours of Mixed practice in virtual time, with Auto CT/AR, option and control changes and
// stops at random moments (fixed seed), through the real window and the real tone output on the
// recording sinks. Memory, file handles and objects must stay flat, and the window consistent.
#include "tests/support/AppFixture.h"

#include "app/Controls.h"
#include "app/MemoEdit.h"
#include "app/SpinEdit.h"
#include "app/Unit1.h"
#include "keying/Keyer.h"

#include <QAction>
#include <QDir>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <iostream>

#include <malloc.h>
#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime; g++ ships no header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using namespace quindle;

constexpr int64_t kSoakMs = 8LL * 3600 * 1000; // [ms] of virtual time

// Bytes of heap in use. Under AddressSanitizer the resident size says nothing (freed memory sits
// in its quarantine), so ask its allocator instead.
long liveHeapKb()
{
#if defined(__SANITIZE_ADDRESS__)
    return long(__sanitizer_get_current_allocated_bytes() / 1024);
#else
    return long(mallinfo2().uordblks / 1024);
#endif
}

qsizetype openHandles()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

class Soak : public AppFixture {
protected:
    // One random change of an option or a control, then the next one after a random while.
    void scheduleChange()
    {
        clock.after(m_random.bounded(2000, 60000), [this] {
            TMorse& m = morse();
            switch (m_random.bounded(8)) {
            case 0: m.mnuLowerCase->trigger(); break;
            case 1: m.mnuPunct->trigger(); break;
            case 2: m.mnuScan->trigger(); break;
            case 3: m.mnuSpeaker->trigger(); break;
            case 4: m.mnuSoundcard->trigger(); break;
            case 5: m.SpeedT->setPosition(m_random.bounded(30, 166)); break;
            case 6: m.tbDelay->setPosition(m_random.bounded(1, 11)); break;
            case 7: m.spFreq->setValue(m_random.bounded(100, 20001)); break;
            }
            ++m_changes;
            scheduleChange();
        });
    }

    QRandomGenerator m_random{20261207};
    int m_changes = 0;
};

TEST_F(Soak, EightHoursOfMixedPracticeStayFlatAndConsistent)
{
    TMorse& m = morse();
    clock.setRecording(false);
    waveOut.setRecording(false);
    waveOut.setKeepSamples(false);
    m.mnuCT->trigger();
    m.SpeedT->setPosition(150);
    scheduleChange();

    int runs = 0;
    long heapAfterWarmUp = 0;
    qsizetype handlesAfterWarmUp = 0;
    qsizetype objectsAfterWarmUp = 0;
    while (clock.nowMs() < kSoakMs) {
        // Stop at a random moment of this run; the run completes its group and sends AR.
        clock.after(m_random.bounded(5000, 900000), [&m] { m.btnStop->click(); });
        m.btnMixed->click();
        ++runs;

        ASSERT_FALSE(m.keyer().isBusy());
        EXPECT_EQ(m.btnStop->Tag, 0);
        EXPECT_EQ(m.Shape1->brushColor(), kIndicatorRed);
        EXPECT_TRUE(m.Panel2->isEnabled());
        EXPECT_TRUE(m.btnClear->isEnabled());
        EXPECT_FALSE(waveOut.isOpen());
        EXPECT_FALSE(speaker.sounding());
        const QString text = m.Memo->text();
        ASSERT_EQ(text.size() % 6, 0) << "run " << runs;
        for (qsizetype i = 5; i < text.size(); i += 6)
            ASSERT_EQ(text[i], u' ') << "run " << runs << " at " << i;

        // Between runs the practice text is thrown away, as a user clears the screen.
        dialogs.answerConfirm(Answer::No);
        m.btnClear->click();
        EXPECT_TRUE(m.Memo->text().isEmpty());
        speaker.clear();
        waveOut.pump();

        if (runs == 5) {
            heapAfterWarmUp = liveHeapKb();
            handlesAfterWarmUp = openHandles();
            objectsAfterWarmUp = m.findChildren<QObject*>().size();
        }
    }
    ASSERT_GT(runs, 5);
    const long heapGrowthKb = liveHeapKb() - heapAfterWarmUp;
    std::cout << "soak: " << clock.nowMs() / 3600000.0 << " h virtual, " << runs << " runs, " << m_changes
              << " changes, " << clock.sleepCount() << " sleeps, heap growth after warm-up " << heapGrowthKb
              << " kB\n";
    EXPECT_EQ(openHandles(), handlesAfterWarmUp);
    EXPECT_EQ(m.findChildren<QObject*>().size(), objectsAfterWarmUp);
    // Flat: well under what one object or buffer per element would leave behind.
    EXPECT_LT(heapGrowthKb, 8 * 1024);
}

} // namespace
