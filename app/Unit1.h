#pragma once

#include "app/Dialogs.h"
#include "keying/KeyingHost.h"
#include "persistence/DocumentView.h"

#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <memory>
#include <vector>

class QAction;
class QEventLoop;
class QActionGroup;
class QLabel;
class QMenu;
class QPushButton;

namespace quindle {

class Clock;
class DocumentCommands;
class Keyer;
class MemoEdit;
class Announcer;
class Panel;
class Shape;
class SpeakerSink;
class SpinEdit;
class TForm2;
class TForm3;
class TagButton;
class ToneOutput;
class ToneRoutes;
class Trackbar;
class WaveOutBackend;

// The application title: the task-bar entry and the title of every error box.
inline const QString kApplicationTitle = QStringLiteral("QuindleII");

// What the main window runs against. The seams are not owned.
struct MorsePlatform {
    Clock* clock = nullptr;
    // Null: the real Qt dialogs.
    Dialogs* dialogs = nullptr;
    SpeakerSink* speakerSink = nullptr;
    WaveOutBackend* waveOut = nullptr;
    // Where the sound-card stream says the next character may begin (AlsaStream::nextCharacterAtNs).
    std::function<int64_t()> nextCharacterFrom;
    // When set, used instead of the tone output built from speakerSink and waveOut.
    ToneRoutes* tones = nullptr;
    // The settings file that saves write, and the one read at start-up when that is another (a
    // system-wide default). An empty iniName: both are chosen by settingsFilesFor from the
    // program's path and the environment.
    QString iniName;
    QString iniReadName;
};

// The main window "Morse".
class TMorse : public QMainWindow, public KeyingHost, public DocumentView {
    Q_OBJECT
public:
    explicit TMorse(const MorsePlatform& platform);
    ~TMorse() override;

    // Application.ProcessMessages.
    void processMessages() override;
    Keyer& keyer() { return *m_keyer; }
    // The About and Help windows, made by the program entry after the main window.
    void setForms(TForm2* form2, TForm3* form3);
    QString IniName() const { return m_iniName; }

    // Handlers.
    void FormCreate();
    // Writes every key in one replacement of the file; a failure is shown in an error box that
    // names the file and the reason.
    void SaveSettings();
    void mnuNowClick();
    void btnCloseClick();
    void Exit1Click();
    void FormCloseQuery();
    void mnuFontClick();
    void About1Click();
    void mnuHelp1Click();
    void WMDropFiles(const QStringList& paths);
    // The file argument of the command line: opened as File > Open opens the file it is given.
    void openFile(const QString& path);

    // Controls, named as in the layout.
    MemoEdit* Memo = nullptr;
    Panel* Panel2 = nullptr;
    QPushButton* btnLetters = nullptr;
    QPushButton* btnNumbers = nullptr;
    QPushButton* btnMixed = nullptr;
    QPushButton* btnText = nullptr;
    Shape* Shape1 = nullptr;
    TagButton* btnStop = nullptr;
    Panel* Panel1 = nullptr;
    QLabel* Label1 = nullptr;
    Trackbar* SpeedT = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label9 = nullptr;
    QLabel* Label8 = nullptr;
    SpinEdit* spFreq = nullptr;
    Trackbar* tbDelay = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* Label6 = nullptr;
    QPushButton* btnClear = nullptr;
    QPushButton* btnClose = nullptr;
    Panel* Panel3 = nullptr;

    QMenu* File1 = nullptr;
    QAction* mnuNew = nullptr;
    QAction* mnuOpen = nullptr;
    QAction* mnuSaveAs = nullptr;
    QAction* N2 = nullptr;
    QAction* Exit1 = nullptr;
    QMenu* mnuOptions = nullptr;
    QAction* mnuLowerCase = nullptr;
    QAction* mnuCT = nullptr;
    QAction* mnuPunct = nullptr;
    QAction* mnuScan = nullptr;
    QAction* N1 = nullptr;
    QAction* mnuSpeaker = nullptr;
    QAction* mnuSoundcard = nullptr;
    QAction* N3 = nullptr;
    QAction* mnuFont = nullptr;
    QAction* N4 = nullptr;
    QAction* mnuSettings = nullptr;
    QAction* mnuNow = nullptr;
    QMenu* Help1 = nullptr;
    QAction* mnuHelp = nullptr;
    QAction* mnuAbout = nullptr;
    QActionGroup* routeGroup = nullptr;

    bool fileMenuEnabled() const;
    // The speed that a speed position keys with the delay and routes set now, as the word PARIS
    // times it. [words/min]
    double wordsPerMinute(int speedPosition) const;
    bool closing() const override { return m_closing; }
    int leadInMs() const override;

    // KeyingHost.
    int speedPosition() const override;
    int delayPosition() const override;
    int toneValue() const override;
    bool isChecked(MenuOption option) const override;
    void setRunButtonsEnabled(bool enabled) override;
    void setClearEnabled(bool enabled) override;
    void setFileMenuEnabled(bool enabled) override;
    void setIndicator(uint32_t colour) override;
    int stopTag() const override;
    void setStopTag(int tag) override;
    int memoLength() const override;
    uint8_t memoCharAt(int pos) const override;
    void memoAppend(uint8_t code) override;
    int memoSelStart() const override;
    void memoSetSelStart(int pos) override;
    void memoSetSelLength(int length) override;
    void memoSetFocus() override;
    void memoSetModified(bool modified) override;

    // DocumentView.
    bool memoModified() const override;
    void memoClear() override;
    QString memoText() const override;
    void memoSetText(const QString& text) override;
    Answer confirm(const QString& text) override;
    void error(const QString& text) override;
    bool executeOpen(QString& fileName) override;
    bool executeSave(QString& fileName) override;

Q_SIGNALS:
    // The window has closed and no run is going any more: the program is to end.
    void finished();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // The clock's wait hook: serves the window until untilNs; true when the window is closing.
    bool serveWhileSleeping(int64_t untilNs);
    // Runs command now, or at the message point after the character when a run is inside one.
    void atMessagePoint(std::function<void()> command);
    void runDeferred();
    void createMenus();
    void createControls();
    void setTabOrder();
    // Names, descriptions and label links for a screen reader.
    void nameControls();
    void describeSpeed();
    void connectHandlers();
    void runFinished();
    // Tells a screen reader that a run keys, or has ended; it is told of none of the memo's changes
    // meanwhile. A run started is announced even when it follows one that had not yet returned.
    void setRunAnnounced(bool running, bool started = false);
    // Puts the focus in the text window again after a dialog, once it has closed.
    void refocusAfterDialog();
    // Saves the settings; "" or why they could not be saved.
    QString saveSettingsFile();

    MorsePlatform m_platform;
    QString m_iniName;
    std::unique_ptr<Dialogs> m_ownDialogs;
    std::unique_ptr<ToneOutput> m_toneOutput;
    ToneRoutes* m_tones = nullptr;
    std::unique_ptr<Keyer> m_keyer;
    std::unique_ptr<DocumentCommands> m_documents;
    QPointer<TForm2> m_form2;
    QPointer<TForm3> m_form3;
    bool m_closing = false;
    bool m_serving = false;            // inside a run's sleep, serving the window
    QEventLoop* m_waitLoop = nullptr;  // the event loop of that sleep
    std::vector<std::function<void()>> m_deferred; // commands waiting for the message point
    bool m_closeDone = false;
    bool m_running = false; // as the indicator shows
    Announcer* m_announcer = nullptr; // speaks "Running", "Stopping", "Stopped"
};

} // namespace quindle
