// The main window's start-up from the settings file, Save Settings, the font dialog and closing.
#include "tests/support/AppFixture.h"

#include "app/Controls.h"
#include "app/MemoEdit.h"
#include "app/SpinEdit.h"
#include "app/Unit1.h"
#include "keying/Keyer.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

#include <functional>

#include <sys/stat.h>

namespace {

using namespace quindle;

class MainWindow : public AppFixture {
protected:
    ~MainWindow() override
    {
        while (QApplication::overrideCursor())
            QApplication::restoreOverrideCursor();
    }
};

TEST_F(MainWindow, FirstStartShowsTheDefaultsAndCreatesNoFile)
{
    TMorse& m = morse();
    EXPECT_EQ(m.spFreq->Value(), 750);
    EXPECT_EQ(m.SpeedT->Position(), 100);
    EXPECT_EQ(m.tbDelay->Position(), 1);
    EXPECT_TRUE(m.mnuLowerCase->isChecked());
    EXPECT_EQ(m.Memo->font().family(), QStringLiteral("Courier New"));
    EXPECT_EQ(m.Memo->font().pointSize(), 9);
    for (QAction* off : {m.mnuPunct, m.mnuScan, m.mnuCT, m.mnuSettings, m.mnuSpeaker})
        EXPECT_FALSE(off->isChecked()) << off->objectName().toStdString();
    EXPECT_TRUE(m.mnuSoundcard->isChecked());
    EXPECT_EQ(m.keyer().DotTime, 0); // only Send and a speed change set it
    EXPECT_FALSE(QFile::exists(iniPath()));
}

struct StoredCase {
    const char* ini;
    std::function<void(TMorse&)> check;
};

TEST_F(MainWindow, StoredValuesAreReadIntoTheControls)
{
    const StoredCase cases[] = {
        {"[Morse]\r\nSpeed=500\r\n", [](TMorse& m) { EXPECT_EQ(m.SpeedT->Position(), 165); }},
        {"[Morse]\r\nSpeed=abc\r\n", [](TMorse& m) { EXPECT_EQ(m.SpeedT->Position(), 100); }},
        {"[Morse]\r\nSpeed=0x50\r\n",
         [](TMorse& m) {
             EXPECT_EQ(m.SpeedT->Position(), 80);
             EXPECT_EQ(m.keyer().DotTime, 100); // the speed control's change handler ran
         }},
        {"[Morse]\r\nDelay=0\r\n", [](TMorse& m) { EXPECT_EQ(m.tbDelay->Position(), 1); }},
        {"[Morse]\r\nFreq=50\r\n", [](TMorse& m) { EXPECT_EQ(m.spFreq->Value(), 100); }},
        {"[Morse]\r\nCase=0\r\n", [](TMorse& m) { EXPECT_FALSE(m.mnuLowerCase->isChecked()); }},
        {"[Morse]\r\nCase=-1\r\n", [](TMorse& m) { EXPECT_TRUE(m.mnuLowerCase->isChecked()); }},
        {"[Morse]\r\nCase=yes\r\nPunctuation=yes\r\n",
         [](TMorse& m) {
             EXPECT_TRUE(m.mnuLowerCase->isChecked());
             EXPECT_FALSE(m.mnuPunct->isChecked());
         }},
        {"[morse]\r\nSPEAKER=1\r\n",
         [](TMorse& m) {
             EXPECT_TRUE(m.mnuSpeaker->isChecked());
             EXPECT_FALSE(m.mnuSoundcard->isChecked());
         }},
        {"[Morse]\r\nFont=\r\nSize=12\r\n",
         [](TMorse& m) {
             EXPECT_EQ(m.Memo->font().family(), QStringLiteral("Arial"));
             EXPECT_EQ(m.Memo->font().pointSize(), 12);
         }},
        {"[Morse]\r\nSize=0\r\nFont=Liberation Sans\r\n",
         [](TMorse& m) {
             EXPECT_EQ(m.Memo->font().family(), QStringLiteral("Liberation Sans"));
             EXPECT_EQ(m.Memo->font().pointSize(), 9);
         }},
        {"[Morse]\r\nSize=-3\r\n", [](TMorse& m) { EXPECT_EQ(m.Memo->font().pointSize(), 9); }},
        {"\x01\xff garbage\r\n[Morse\r\n=\r\n[Morse]\rSpeed=120\rAutoCT=1\r",
         [](TMorse& m) {
             EXPECT_EQ(m.SpeedT->Position(), 120);
             EXPECT_TRUE(m.mnuCT->isChecked());
         }},
    };
    for (const StoredCase& c : cases) {
        SCOPED_TRACE(c.ini);
        writeIni(QByteArray(c.ini));
        c.check(morse());
        destroyMorse();
    }
}

TEST_F(MainWindow, SaveSettingsNowWritesEveryKeyInOrderAndKeepsForeignLines)
{
    TMorse& m = morse();
    m.mnuNow->trigger();
    EXPECT_EQ(readIni(), QByteArray("[Morse]\r\nFreq=750\r\nSpeed=100\r\nDelay=1\r\nCase=1\r\nSize=9\r\n"
                                    "Font=Courier New\r\nPunctuation=0\r\nAccented=0\r\nSpeaker=0\r\n"
                                    "Settings=0\r\nAutoCT=0\r\n"));

    destroyMorse();
    writeIni("; mine\r\n[Other]\r\nx=1\r\n[Morse]\r\nSpeed=60\r\nExtra=keep\r\n");
    TMorse& again = morse();
    again.mnuSoundcard->trigger(); // neither route ticked now
    again.mnuNow->trigger();
    const QByteArray saved = readIni();
    EXPECT_TRUE(saved.startsWith("; mine\r\n[Other]\r\nx=1\r\n[Morse]\r\nSpeed=60\r\nExtra=keep\r\n"));
    EXPECT_TRUE(saved.contains("Speaker=0\r\n"));
}

TEST_F(MainWindow, AnUnclampedTypedToneIsSavedAsTypedAndClampedAtTheNextStart)
{
    TMorse& m = morse();
    m.spFreq->findChild<QLineEdit*>()->setText(QStringLiteral("50"));
    m.mnuNowClick();
    EXPECT_TRUE(readIni().contains("Freq=50\r\n"));
    destroyMorse();
    EXPECT_EQ(morse().spFreq->Value(), 100);

    // Closing with Save Settings on Close: saved before the closing notice takes the focus.
    showMorse();
    morse().mnuSettings->trigger();
    morse().spFreq->setFocus();
    ASSERT_TRUE(morse().spFreq->hasFocus());
    morse().spFreq->findChild<QLineEdit*>()->setText(QStringLiteral("50"));
    morse().Exit1->trigger();
    EXPECT_TRUE(readIni().contains("Freq=50\r\n"));
}

TEST_F(MainWindow, FontDialogChangesTheMemoFontAndOnlyNameAndSizeAreStored)
{
    TMorse& m = morse();
    dialogs.chooseFont({QStringLiteral("Arial"), 12, true, false});
    m.mnuFont->trigger();
    ASSERT_EQ(dialogs.asked().size(), 1u);
    EXPECT_EQ(dialogs.asked()[0].font.family, QStringLiteral("Courier New"));
    EXPECT_EQ(dialogs.asked()[0].font.pointSize, 9);
    EXPECT_TRUE(m.Memo->font().bold());
    m.SaveSettings();
    destroyMorse();
    TMorse& again = morse();
    EXPECT_EQ(again.Memo->font().family(), QStringLiteral("Arial"));
    EXPECT_EQ(again.Memo->font().pointSize(), 12);
    EXPECT_FALSE(again.Memo->font().bold());

    dialogs.cancelFont();
    again.mnuFontClick();
    EXPECT_EQ(again.Memo->font().pointSize(), 12);
    // A name that Windows-1252 cannot hold keeps the stored one; the keys after it are written.
    dialogs.chooseFont({QStringLiteral("\u6587\u6cc9"), 14, false, false});
    again.mnuFontClick();
    again.mnuCT->trigger();
    again.SaveSettings();
    EXPECT_TRUE(readIni().contains("Size=14\r\nFont=Arial\r\nPunctuation=0\r\n"));
    EXPECT_TRUE(readIni().contains("AutoCT=1\r\n"));
}

TEST_F(MainWindow, ClosingSavesOnlyWhenTickedAndShowsTheNotice)
{
    TMorse& m = morse();
    QSignalSpy finished(&m, &TMorse::finished);
    m.SpeedT->setPosition(140);
    m.close();
    EXPECT_EQ(finished.count(), 1);
    EXPECT_FALSE(QFile::exists(iniPath()));
    EXPECT_TRUE(m.Panel3->isVisibleTo(&m));
    EXPECT_EQ(m.btnStop->Tag, 1);
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    destroyMorse();

    TMorse& ticked = morse();
    ticked.mnuSettings->trigger();
    ticked.SpeedT->setPosition(140);
    ticked.btnClose->click();
    EXPECT_TRUE(readIni().contains("Speed=140\r\n"));
    EXPECT_TRUE(readIni().contains("Settings=1\r\n"));
}

TEST_F(MainWindow, SettingsStartFromASharedFileSaveToTheUsersOwnAndAFailedSaveIsShown)
{
    writeIni("[Morse]\r\nSpeed=60\r\nSettings=1\r\n");
    const QString own = dir.filePath(QStringLiteral("cfg/quindle2/quindle2.ini"));
    iniReadPath = iniPath();
    iniWritePath = own;
    TMorse& m = morse();
    EXPECT_EQ(m.SpeedT->Position(), 60);
    m.mnuNow->trigger();
    QFile saved(own);
    EXPECT_TRUE(saved.open(QIODevice::ReadOnly) &&
                saved.readAll().startsWith("[Morse]\r\nFreq=750\r\nSpeed=60\r\n"));
    EXPECT_EQ(readIni(), QByteArray("[Morse]\r\nSpeed=60\r\nSettings=1\r\n"));
    for (const QString& folder : {dir.filePath(QStringLiteral("cfg")), QFileInfo(own).absolutePath()}) {
        struct stat info {};
        ASSERT_EQ(::stat(QFile::encodeName(folder).constData(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u) << folder.toStdString();
    }
    EXPECT_TRUE(dialogs.errorTexts().isEmpty());
    destroyMorse();

    // Closing with Save Settings on Close ticked: the box, then the program ends as before.
    const QString blocked = iniWritePath = iniPath() + QStringLiteral("/quindle2.ini");
    TMorse& again = morse();
    QSignalSpy finished(&again, &TMorse::finished);
    again.close();
    EXPECT_EQ(dialogs.errorTexts(),
              QStringList{QStringLiteral("The settings were not saved. Cannot write \"%1\": Not a directory.")
                              .arg(blocked)});
    EXPECT_EQ(finished.count(), 1);
}

TEST_F(MainWindow, CloseDuringALettersRunSavesTheSettingsThenEndsAtTheNextElement)
{
    TMorse& m = morse();
    m.mnuCT->trigger();
    m.mnuSettings->trigger();
    m.mnuSoundcard->trigger(); // silent routes keep the timeline simple
    QSignalSpy finished(&m, &TMorse::finished);
    bool windowStayed = false;
    clock.at(1500, [&] {
        m.btnClose->click();
        windowStayed = finished.isEmpty() && m.Panel3->isVisibleTo(&m);
    });
    m.btnLetters->click(); // returns when the run has ended
    EXPECT_TRUE(windowStayed);
    EXPECT_EQ(finished.count(), 1);
    // The element that was sounding is the last: at most a dash after the close.
    EXPECT_LE(clock.nowMs(), 1500 + 3 * Keyer::dotTimeFor(m.SpeedT->Position()));
    EXPECT_TRUE(readIni().contains("AutoCT=1\r\n"));
    EXPECT_EQ(m.Shape1->brushColor(), kIndicatorRed);
    EXPECT_FALSE(m.btnClear->isEnabled()); // Close does not enable Clear Screen again
    EXPECT_EQ(m.btnStop->Tag, 0);
    EXPECT_FALSE(m.keyer().isBusy());
}

} // namespace
