#include "app/Unit1.h"

#include "app/Accessible.h"
#include "app/Controls.h"
#include "app/Fonts.h"
#include "app/MemoEdit.h"
#include "app/MemoText.h"
#include "app/QtDialogs.h"
#include "app/SpinEdit.h"
#include "app/Unit2.h"
#include "app/Unit3.h"
#include "app/WindowManagement.h"
#include "clock/Clock.h"
#include "keying/CodeTable.h"
#include "keying/Keyer.h"
#include "persistence/Cp1252.h"
#include "persistence/DocumentCommands.h"
#include "persistence/IniFile.h"
#include "persistence/SettingsLocation.h"
#include "tone/ToneFormat.h"
#include "tone/ToneOutput.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QScopedValueRollback>
#include <QShortcut>
#include <QTimer>

#include <algorithm>
#include <variant>
#include <vector>

namespace quindle {

namespace {

constexpr int kClientWidth = 541;  // [px]
constexpr int kClientHeight = 378; // [px]
constexpr int kMaxFontPoints = 500;
constexpr int kDefaultFontPoints = 9;
// Orca hands "Running" to speech about 250 ms after the key that started the run and speaks it in
// about half a second; the first character sounds after that, with a margin for a busy machine. [ms]
constexpr int kRunningLeadInMs = 800;
// A run's last character is still heard this long after the run has returned: the stream's lead
// and the sound server's latency. "Stopped" waits for it. [ms]
constexpr int kSoundTrailMs = 250;

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, QRect geometry,
                  const QFont* font = nullptr)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    if (font)
        label->setFont(*font);
    // Labels size themselves to their text: the substitute fonts can render a pixel wider than the
    // designed ones, and a clipped scale mark would be unreadable.
    geometry.setWidth(std::max(geometry.width(), label->sizeHint().width()));
    label->setGeometry(geometry);
    return label;
}

template <typename Button>
Button* makeButton(QWidget* parent, const char* name, const QString& text, QRect geometry)
{
    auto* button = new Button(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(geometry);
    // Enter presses the focused button, as on every desktop; outside a dialog no button becomes
    // the default, so Enter in the text window still types a line break.
    button->setAutoDefault(true);
    return button;
}

QAction* makeItem(QMenu* menu, const char* name, const QString& caption, bool checkable = false)
{
    auto* action = menu->addAction(caption);
    action->setObjectName(QString::fromLatin1(name));
    action->setCheckable(checkable);
    return action;
}

QAction* makeSeparator(QMenu* menu, const char* name)
{
    auto* action = menu->addSeparator();
    action->setObjectName(QString::fromLatin1(name));
    return action;
}

} // namespace

TMorse::TMorse(const MorsePlatform& platform) : m_platform(platform)
{
    // A run's sleeps serve the window: input, repaints and a screen reader are answered at once.
    m_platform.clock->setWaitHook([this](int64_t untilNs) { return serveWhileSleeping(untilNs); });
    setObjectName(QStringLiteral("Morse"));
    setWindowTitle(kApplicationTitle);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFont(makeFont(kArial, 8));
    setAcceptDrops(true);

    if (!m_platform.dialogs) {
        m_ownDialogs = std::make_unique<QtDialogs>(this);
        m_platform.dialogs = m_ownDialogs.get();
    }
    installAccessibleInterfaces();
    createMenus();
    createControls();
    setTabOrder();
    nameControls();
    // A screen reader reads the speed in words per minute as keyed, not the trackbar's position.
    SpeedT->setAccessibleScale([this](int position) { return wordsPerMinute(position); });

    if (m_platform.tones) {
        m_tones = m_platform.tones;
    } else {
        m_toneOutput =
            std::make_unique<ToneOutput>(*m_platform.clock, *m_platform.speakerSink, *m_platform.waveOut);
        m_toneOutput->setNextCharacterSource(m_platform.nextCharacterFrom);
        m_tones = m_toneOutput.get();
    }
    m_keyer = std::make_unique<Keyer>(*this, *m_tones, *m_platform.clock);
    m_keyer->setIdleHandler([this] { runFinished(); });
    m_documents = std::make_unique<DocumentCommands>(*this);
    connectHandlers();

    // The client area below the menu bar is fixed.
    const int menuHeight = menuBar()->sizeHint().height();
    setFixedSize(kClientWidth, kClientHeight + menuHeight);

    FormCreate();
    describeSpeed();

    centreFrameOnScreen(this);
}

TMorse::~TMorse()
{
    m_platform.clock->setWaitHook({});
}

bool TMorse::serveWhileSleeping(int64_t untilNs)
{
    const QScopedValueRollback<bool> serving(m_serving, true);
    const int64_t leftNs = untilNs - monotonicNs();
    if (dynamic_cast<RealClock*>(m_platform.clock) && leftNs > 1'000'000 && !m_closing) {
        // The event loop waits for input and wakes for it at once; the timer ends the wait at or
        // just after untilNs (whole milliseconds, rounded down), and the clock sleeps the rest.
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(int(leftNs / 1'000'000));
        const QScopedValueRollback<QEventLoop*> waiting(m_waitLoop, &loop);
        loop.exec();
    } else {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    m_platform.clock->messagesProcessed();
    return m_closing;
}

void TMorse::atMessagePoint(std::function<void()> command)
{
    // Inside a sleep, or between a character's elements, a command that may open a modal window
    // waits for the message point after the character: the character sounds whole, then the run
    // is held, silent, until the window closes.
    if (m_serving || m_keyer->insideCharacter()) {
        m_deferred.push_back(std::move(command));
        return;
    }
    command();
}

void TMorse::runDeferred()
{
    while (!m_deferred.empty() && !m_serving && !m_keyer->insideCharacter()) {
        const std::function<void()> command = std::move(m_deferred.front());
        m_deferred.erase(m_deferred.begin());
        command();
    }
}

void TMorse::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    // The window has a fixed size, yet a decoration may offer maximise anyway (Qt's own on Wayland
    // draws the button on every window), and a window manager full screen: both are undone.
    if (event->type() == QEvent::WindowStateChange && (isMaximized() || isFullScreen()))
        setWindowState(windowState() & ~(Qt::WindowMaximized | Qt::WindowFullScreen));
}

void TMorse::createMenus()
{
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu1"));

    File1 = bar->addMenu(QStringLiteral("&File"));
    File1->setObjectName(QStringLiteral("File1"));
    mnuNew = makeItem(File1, "mnuNew", QStringLiteral("&New"));
    mnuNew->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    mnuOpen = makeItem(File1, "mnuOpen", QStringLiteral("&Open..."));
    mnuOpen->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    mnuSaveAs = makeItem(File1, "mnuSaveAs", QStringLiteral("Save As..."));
    N2 = makeSeparator(File1, "N2");
    Exit1 = makeItem(File1, "Exit1", QStringLiteral("E&xit"));

    mnuOptions = bar->addMenu(QStringLiteral("&Options"));
    mnuOptions->setObjectName(QStringLiteral("mnuOptions"));
    mnuLowerCase = makeItem(mnuOptions, "mnuLowerCase", QStringLiteral("Lower Case"), true);
    mnuLowerCase->setChecked(true);
    mnuCT = makeItem(mnuOptions, "mnuCT", QStringLiteral("Auto CT/AR"), true);
    mnuPunct = makeItem(mnuOptions, "mnuPunct", QStringLiteral("Punctuation"), true);
    mnuScan = makeItem(mnuOptions, "mnuScan", QStringLiteral("Accented Chars"), true);
    N1 = makeSeparator(mnuOptions, "N1");
    mnuSpeaker = makeItem(mnuOptions, "mnuSpeaker", QStringLiteral("Internal Speaker"), true);
    mnuSoundcard = makeItem(mnuOptions, "mnuSoundcard", QStringLiteral("Soundcard"), true);
    // Radio items of one group: ticking one clears the other, a click on the ticked one leaves
    // neither ticked, and clearing never ticks another.
    routeGroup = new QActionGroup(this);
    routeGroup->setObjectName(QStringLiteral("routeGroup"));
    routeGroup->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    routeGroup->addAction(mnuSpeaker);
    routeGroup->addAction(mnuSoundcard);
    mnuSpeaker->setChecked(true);
    N3 = makeSeparator(mnuOptions, "N3");
    mnuFont = makeItem(mnuOptions, "mnuFont", QStringLiteral("&Font..."));
    N4 = makeSeparator(mnuOptions, "N4");
    mnuSettings = makeItem(mnuOptions, "mnuSettings", QStringLiteral("Save Settings on Close"), true);
    mnuNow = makeItem(mnuOptions, "mnuNow", QStringLiteral("Save Settings Now"));

    Help1 = bar->addMenu(QStringLiteral("&Help"));
    Help1->setObjectName(QStringLiteral("Help1"));
    mnuHelp = makeItem(Help1, "mnuHelp", QStringLiteral("&Help"));
    mnuAbout = makeItem(Help1, "mnuAbout", QStringLiteral("&About..."));

    for (QMenu* menu : {File1, mnuOptions, Help1})
        menu->installEventFilter(this);

    // F10, the desktop's key for the menu bar, opens the first menu that is enabled, on its first
    // item, so that a screen reader follows the keyboard into it. The bar first takes the keyboard
    // as a lone Alt gives it (Qt offers no call for that): moving between menus then keeps the
    // focus on the bar, where a plain opening gives it back to the window between two menus and
    // a screen reader announces the text window there; Escape returns to where F10 was pressed.
    auto* f10 = new QShortcut(QKeySequence(Qt::Key_F10), this);
    f10->setObjectName(QStringLiteral("menuKey"));
    connect(f10, &QShortcut::activated, this, [this, bar] {
        const QList<QAction*> menus = bar->actions();
        const auto first =
            std::find_if(menus.begin(), menus.end(), [](QAction* a) { return a->isEnabled(); });
        if (first == menus.end() || m_closing)
            return;
        if (!bar->hasFocus()) {
            // The modifiers as they stood before Alt went down: none.
            QKeyEvent altDown(QEvent::ShortcutOverride, Qt::Key_Alt, Qt::NoModifier);
            QCoreApplication::sendEvent(this, &altDown);
            QKeyEvent altUp(QEvent::KeyRelease, Qt::Key_Alt, Qt::NoModifier);
            QCoreApplication::sendEvent(bar, &altUp);
        }
        bar->setActiveAction(*first);
        if (QMenu* menu = (*first)->menu(); menu && !menu->actions().isEmpty())
            menu->setActiveAction(menu->actions().first());
    });
}

void TMorse::createControls()
{
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(kClientWidth, kClientHeight);
    client->setAutoFillBackground(true);
    client->setBackgroundRole(QPalette::Button);
    setCentralWidget(client);

    const QFont bold = makeFont(kMsSansSerif, 8, true);

    Memo = new MemoEdit(client);
    Memo->setObjectName(QStringLiteral("Memo"));
    Memo->setGeometry(4, 4, 421, 253);

    Panel2 = new Panel(Panel::Bevel::Lowered, client);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setGeometry(428, 4, 109, 189);
    btnLetters = makeButton<QPushButton>(Panel2, "btnLetters", QStringLiteral("Letters"), {20, 20, 75, 25});
    btnNumbers = makeButton<QPushButton>(Panel2, "btnNumbers", QStringLiteral("Numbers"), {20, 60, 75, 25});
    btnMixed = makeButton<QPushButton>(Panel2, "btnMixed", QStringLiteral("Mixed"), {20, 100, 75, 25});
    btnText = makeButton<QPushButton>(Panel2, "btnText", QStringLiteral("Text"), {20, 140, 75, 25});

    Shape1 = new Shape(client);
    Shape1->setObjectName(QStringLiteral("Shape1"));
    Shape1->setGeometry(470, 212, 29, 8);
    Shape1->setBrushColor(kIndicatorRed);
    m_announcer = new Announcer(Shape1);
    m_announcer->setObjectName(QStringLiteral("announcer"));

    btnStop = makeButton<TagButton>(client, "btnStop", QStringLiteral("Stop"), {448, 232, 75, 25});

    Panel1 = new Panel(Panel::Bevel::Lowered, client);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(4, 264, 535, 109);
    Label1 = makeLabel(Panel1, "Label1", QStringLiteral("Words per miniute (approx)"), {112, 4, 153, 13}, &bold);
    SpeedT = new Trackbar(30, 165, 100, 5, Panel1);
    SpeedT->setObjectName(QStringLiteral("SpeedT"));
    SpeedT->setGeometry(7, 24, 334, 21);
    Label2 = makeLabel(Panel1, "Label2", QStringLiteral("6"), {16, 44, 6, 14});
    Label3 = makeLabel(Panel1, "Label3", QStringLiteral("10"), {88, 44, 12, 14});
    Label4 = makeLabel(Panel1, "Label4", QStringLiteral("12"), {177, 44, 12, 14});
    Label5 = makeLabel(Panel1, "Label5", QStringLiteral("20"), {229, 44, 12, 14});
    Label9 = makeLabel(Panel1, "Label9", QStringLiteral("30"), {292, 44, 12, 14});
    Label8 = makeLabel(Panel1, "Label8", QStringLiteral("Tone (Hz)"), {356, 4, 57, 13}, &bold);
    spFreq = new SpinEdit(Panel1);
    spFreq->setObjectName(QStringLiteral("spFreq"));
    spFreq->setGeometry(360, 26, 61, 23);
    spFreq->setValue(750);
    tbDelay = new Trackbar(1, 10, 1, 1, Panel1);
    tbDelay->setObjectName(QStringLiteral("tbDelay"));
    tbDelay->setGeometry(7, 68, 330, 21);
    Label7 = makeLabel(Panel1, "Label7", QStringLiteral("Cal"), {12, 88, 15, 14});
    Label6 = makeLabel(Panel1, "Label6", QStringLiteral("Delay"), {180, 88, 33, 13}, &bold);
    btnClear = makeButton<QPushButton>(Panel1, "btnClear", QStringLiteral("Clear Screen"), {444, 24, 75, 25});
    btnClose = makeButton<QPushButton>(Panel1, "btnClose", QStringLiteral("Close"), {444, 68, 75, 25});

    Panel3 = new Panel(Panel::Bevel::Raised, client);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Panel3->setGeometry(144, 16, 177, 29);
    Panel3->setCaption(QStringLiteral("Closing. Please wait..."));
    Panel3->hide();
    Panel3->raise();
}

void TMorse::setTabOrder()
{
    const QList<QWidget*> order = {Memo,   btnLetters, btnNumbers, btnMixed, btnText,  btnStop,
                                   SpeedT, spFreq,     tbDelay,    btnClose, btnClear};
    for (QWidget* w : order)
        w->setFocusPolicy(Qt::StrongFocus);
    for (qsizetype i = 0; i + 1 < order.size(); ++i)
        QWidget::setTabOrder(order[i], order[i + 1]);
}

void TMorse::nameControls()
{
    Label1->setBuddy(SpeedT);
    Label8->setBuddy(spFreq);
    Label6->setBuddy(tbDelay);
    const auto describe = [](QWidget* w, const QString& name, const QString& description) {
        w->setAccessibleName(name);
        w->setAccessibleDescription(description);
    };
    // Spoken on every Tab: a few words each (under a second of speech); Help says the rest.
    describe(Memo, QStringLiteral("Text window"), QStringLiteral("Text to key"));
    describe(btnLetters, btnLetters->text(), QStringLiteral("Letter groups"));
    describe(btnNumbers, btnNumbers->text(), QStringLiteral("Figure groups"));
    describe(btnMixed, btnMixed->text(), QStringLiteral("Mixed groups"));
    describe(btnText, btnText->text(), QStringLiteral("Keys the text"));
    describe(btnStop, btnStop->text(), QStringLiteral("Ends the run"));
    describe(SpeedT, QStringLiteral("Words per minute (approx)"), QString()); // see describeSpeed()
    // The label is what a screen reader reads for the trackbar; its caption keeps its misspelling.
    Label1->setAccessibleName(SpeedT->accessibleName());
    describe(spFreq, Label8->text(), QStringLiteral("Pitch in hertz"));
    describe(tbDelay, Label6->text(), QStringLiteral("Letter spacing"));
    describe(btnClear, btnClear->text(), QStringLiteral("Empties the text"));
    describe(btnClose, btnClose->text(), QStringLiteral("Ends the program"));
    describe(Shape1, QStringLiteral("Run indicator"), QString());
    Shape1->setIndication(false, QStringLiteral("Stopped"));
    // Shown while closing: announced as an alert.
    Panel3->setAccessibleRole(QAccessible::AlertMessage);
    Panel3->setAccessibleName(Panel3->caption());
}

double TMorse::wordsPerMinute(int speedPosition) const
{
    // The word PARIS and its word space, timed as the send loop keys them: each element's tone
    // on the ticked routes (the speaker's n x DotTime, the sound card's n x (DotTime - 4)) and a
    // DotTime pause, three DotTime x Delay after each letter and five after the word.
    const int dotTime = Keyer::dotTimeFor(speedPosition); // [ms]
    const int delay = tbDelay->Position();
    double ms = 0;
    for (const char letter : {'P', 'A', 'R', 'I', 'S'}) {
        for (const char element : lookupCode(uint16_t(letter)).elements) {
            const int n = element == '-' ? 3 : 1;
            ms += (mnuSpeaker->isChecked() ? n * dotTime : 0) +
                  (mnuSoundcard->isChecked() ? n * std::max(0, dotTime - 4) : 0) + dotTime;
        }
        ms += 3.0 * dotTime * delay;
    }
    ms += 5.0 * dotTime * delay;
    return 60'000.0 / ms;
}

void TMorse::describeSpeed()
{
    // The value is the speed; the description adds the dot's length.
    SpeedT->setAccessibleDescription(QStringLiteral("Dot %1 ms").arg(Keyer::dotTimeFor(SpeedT->Position())));
}

void TMorse::connectHandlers()
{
    // Commands that may open a modal window wait for the message point after the character; the
    // others act at once: a run button during a run is deferred by the keying itself, Stop turns
    // the window idle at once (the run sees its request at its next poll), and a change of speed,
    // pitch or routes applies from the next character.
    const auto on = [this](auto* sender, auto signal, auto handler) {
        connect(sender, signal, this, [this, handler] { atMessagePoint(handler); });
    };
    const auto now = [this](auto* sender, auto signal, auto handler) { connect(sender, signal, this, handler); };
    now(btnLetters, &QPushButton::clicked, [this] { m_keyer->btnLettersClick(); });
    now(btnNumbers, &QPushButton::clicked, [this] { m_keyer->btnNumbersClick(); });
    now(btnMixed, &QPushButton::clicked, [this] { m_keyer->btnMixedClick(); });
    now(btnText, &QPushButton::clicked, [this] { m_keyer->btnTextClick(); });
    now(btnStop, &QPushButton::clicked, [this] {
        // A group run completes its group: the screen reader hears at once that Stop was taken.
        if (m_running)
            m_announcer->announce(QStringLiteral("Stopping"));
        m_keyer->btnStopClick();
    });
    now(SpeedT, &QSlider::valueChanged, [this] {
        m_keyer->SpeedTChange();
        describeSpeed();
    });
    connect(tbDelay, &QSlider::valueChanged, this, [this] { describeSpeed(); });
    connect(routeGroup, &QActionGroup::triggered, this, [this] { describeSpeed(); });
    on(btnClear, &QPushButton::clicked, [this] { m_documents->btnClearClick(); });
    now(btnClose, &QPushButton::clicked, [this] { btnCloseClick(); });

    on(mnuNew, &QAction::triggered, [this] { m_documents->New1Click(); });
    on(mnuOpen, &QAction::triggered, [this] { m_documents->Open1Click(); });
    on(mnuSaveAs, &QAction::triggered, [this] { m_documents->SaveAs1Click(); });
    now(Exit1, &QAction::triggered, [this] { Exit1Click(); });
    on(mnuFont, &QAction::triggered, [this] { mnuFontClick(); });
    on(mnuNow, &QAction::triggered, [this] { mnuNowClick(); });
    on(mnuHelp, &QAction::triggered, [this] { mnuHelp1Click(); });
    on(mnuAbout, &QAction::triggered, [this] { About1Click(); });
    // The seven option toggles flip their own check mark (the action does that itself, and the
    // route group applies the radio rule); nothing else happens on a click. The menu closes as the
    // tick changes, so a screen reader would not hear the new state: it is said in words.
    for (QAction* option : {mnuLowerCase, mnuCT, mnuPunct, mnuScan, mnuSpeaker, mnuSoundcard, mnuSettings}) {
        connect(option, &QAction::triggered, this, [this, option](bool checked) {
            m_announcer->announce(option->text() +
                                  (checked ? QStringLiteral(" checked") : QStringLiteral(" not checked")));
        });
    }
}

void TMorse::setForms(TForm2* form2, TForm3* form3)
{
    m_form2 = form2;
    m_form3 = form3;
}

void TMorse::processMessages()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    m_platform.clock->messagesProcessed();
    runDeferred();
}

// Settings ---------------------------------------------------------------------------------------

namespace {

const QString kSection = QStringLiteral("Morse");

// A key's value; its default's type is the key's type.
using SettingValue = std::variant<int, bool, QString>;

// One key of the settings file: a menu item's check mark, or a value that load applies to the
// window and save takes from it.
struct SettingsKey {
    const char* name;
    SettingValue def;
    QAction* TMorse::*option = nullptr;
    void (*load)(TMorse& m, const SettingValue& value) = nullptr;
    SettingValue (*save)(const TMorse& m) = nullptr;
};

// The keys of section "Morse", in the order in which they are read and written.
const std::vector<SettingsKey>& settingsKeys()
{
    static const std::vector<SettingsKey> keys = {
        {"Freq", 750, nullptr, [](TMorse& m, const SettingValue& v) { m.spFreq->setValue(std::get<int>(v)); },
         [](const TMorse& m) -> SettingValue { return m.spFreq->Value(); }},
        {"Speed", 100, nullptr,
         [](TMorse& m, const SettingValue& v) { m.SpeedT->setPosition(std::get<int>(v)); },
         [](const TMorse& m) -> SettingValue { return m.SpeedT->Position(); }},
        {"Delay", 1, nullptr,
         [](TMorse& m, const SettingValue& v) { m.tbDelay->setPosition(std::get<int>(v)); },
         [](const TMorse& m) -> SettingValue { return m.tbDelay->Position(); }},
        {"Case", true, &TMorse::mnuLowerCase},
        {"Size", kDefaultFontPoints, nullptr,
         [](TMorse& m, const SettingValue& v) {
             // A size the font cannot take (zero, negative, absurdly large) gives the default.
             const int size = std::get<int>(v);
             QFont font = m.Memo->font();
             font.setPointSize(size >= 1 && size <= kMaxFontPoints ? size : kDefaultFontPoints);
             m.Memo->setFont(font);
         },
         [](const TMorse& m) -> SettingValue { return m.Memo->font().pointSize(); }},
        {"Font", kCourierNew, nullptr,
         [](TMorse& m, const SettingValue& v) {
             // An empty name changes nothing: the memo keeps the window's typeface.
             QFont font = m.Memo->font();
             if (!std::get<QString>(v).isEmpty())
                 font.setFamily(std::get<QString>(v));
             m.Memo->setFont(font);
         },
         [](const TMorse& m) -> SettingValue { return m.Memo->font().family(); }},
        {"Punctuation", false, &TMorse::mnuPunct},
        {"Accented", false, &TMorse::mnuScan},
        {"Speaker", false, &TMorse::mnuSpeaker},
        {"Settings", false, &TMorse::mnuSettings},
        {"AutoCT", false, &TMorse::mnuCT},
    };
    return keys;
}

} // namespace

void TMorse::FormCreate()
{
    SettingsFiles files{m_platform.iniReadName.isEmpty() ? m_platform.iniName : m_platform.iniReadName,
                        m_platform.iniName};
    if (m_platform.iniName.isEmpty())
        files = settingsFilesFor(QCoreApplication::applicationFilePath(),
                                 qEnvironmentVariable("XDG_CONFIG_HOME"), qEnvironmentVariable("XDG_CONFIG_DIRS"),
                                 QDir::homePath(), realFileAccess());
    m_iniName = files.write;
    // Drops are accepted by the window itself (setAcceptDrops in the constructor).
    {
        IniFile SettingsIni(files.read);
        for (const SettingsKey& key : settingsKeys()) {
            const QString name = QString::fromLatin1(key.name);
            SettingValue value = key.def;
            if (const int* def = std::get_if<int>(&key.def))
                value = SettingsIni.readInteger(kSection, name, *def);
            else if (const bool* defBool = std::get_if<bool>(&key.def))
                value = SettingsIni.readBool(kSection, name, *defBool);
            else
                value = SettingsIni.readString(kSection, name, std::get<QString>(key.def));
            if (key.option)
                (this->*key.option)->setChecked(std::get<bool>(value));
            else
                key.load(*this, value);
        }
    }
    setWindowState(Qt::WindowNoState);
    mnuSoundcard->setChecked(!mnuSpeaker->isChecked());
}

QString TMorse::saveSettingsFile()
{
    if (const QString error = makeFoldersFor(m_iniName); !error.isEmpty())
        return error;
    // Every key is set in memory and the file replaced once: every key is saved, or none.
    IniFile SettingsIni(m_iniName);
    for (const SettingsKey& key : settingsKeys()) {
        const QString name = QString::fromLatin1(key.name);
        const SettingValue value =
            key.option ? SettingValue((this->*key.option)->isChecked()) : key.save(*this);
        bool set = true;
        if (const int* number = std::get_if<int>(&value))
            set = SettingsIni.setInteger(kSection, name, *number);
        else if (const bool* flag = std::get_if<bool>(&value))
            set = SettingsIni.setBool(kSection, name, *flag);
        // A typeface name that the file cannot hold is skipped, so that the stored name stays.
        else if (SettingsIni.canStore(std::get<QString>(value)))
            set = SettingsIni.setString(kSection, name, std::get<QString>(value));
        if (!set)
            return SettingsIni.errorString();
    }
    return SettingsIni.commit() ? QString() : SettingsIni.errorString();
}

void TMorse::SaveSettings()
{
    const QString error = saveSettingsFile();
    if (error.isEmpty())
        return;
    // The box is read with the normal cursor, also while the closing notice shows the wait cursor.
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    m_platform.dialogs->error(QStringLiteral("The settings were not saved. %1").arg(error));
    QApplication::restoreOverrideCursor();
}

void TMorse::mnuNowClick()
{
    SaveSettings();
}

// Closing ----------------------------------------------------------------------------------------

void TMorse::btnCloseClick()
{
    btnStop->Tag = 1;
    m_tones->SpeakerNoSound();
    close();
}

void TMorse::Exit1Click()
{
    btnCloseClick();
}

void TMorse::FormCloseQuery()
{
    Panel3->show();
    Panel3->raise();
    btnStop->Tag = 1;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    // Saved before the notice takes the focus: the tone box settles its text on losing it.
    if (mnuSettings->isChecked())
        SaveSettings();
    // A screen reader speaks what takes the focus; the window takes no more input anyway, and
    // a lone Alt released now would open the menu bar and take the focus from the notice.
    Panel3->setFocus(Qt::OtherFocusReason);
    qApp->installEventFilter(this);
}

bool TMorse::eventFilter(QObject* watched, QEvent* event)
{
    // Watches the menus, and the whole application once closing begins: installed then, after the
    // menu bar's own filter of a pressed Alt, it sees that Alt first.
    const QEvent::Type type = event->type();
    if (m_closing && (type == QEvent::KeyPress || type == QEvent::KeyRelease || type == QEvent::ShortcutOverride) &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Alt)
        return true;
    // Home and End go to a menu's first and last item, as in the desktop's other menus; Qt's menus
    // move on them only when they scroll.
    auto* menu = qobject_cast<QMenu*>(watched);
    const int key = type == QEvent::KeyPress ? static_cast<QKeyEvent*>(event)->key() : 0;
    if (menu && (key == Qt::Key_Home || key == Qt::Key_End)) {
        QList<QAction*> items = menu->actions();
        items.removeIf([](QAction* a) { return a->isSeparator() || !a->isEnabled() || !a->isVisible(); });
        if (!items.isEmpty())
            menu->setActiveAction(key == Qt::Key_Home ? items.first() : items.last());
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMorse::closeEvent(QCloseEvent* event)
{
    if (!m_closing) {
        m_closing = true;
        m_keyer->cancelPendingRun();
        FormCloseQuery();
        // A run's sleep ends now, and the run at its next element.
        if (m_waitLoop)
            m_waitLoop->quit();
    }
    if (m_keyer->isBusy()) {
        // The run sees the stop request at its next poll point; the window stays on the screen
        // with the notice until the run has returned (runFinished).
        event->ignore();
        return;
    }
    event->accept();
    if (!m_closeDone) {
        m_closeDone = true;
        Q_EMIT finished();
    }
}

void TMorse::runFinished()
{
    runDeferred();
    setRunAnnounced(Shape1->isOn());
    if (m_closing)
        close();
}

// Options and Help -------------------------------------------------------------------------------

void TMorse::mnuFontClick()
{
    const QFont current = Memo->font();
    FontChoice choice{current.family(), current.pointSize(), current.bold(), current.italic()};
    const bool chosen = m_platform.dialogs->executeFont(choice);
    refocusAfterDialog();
    if (!chosen)
        return;
    QFont font(choice.family, choice.pointSize);
    font.setBold(choice.bold);
    font.setItalic(choice.italic);
    Memo->setFont(font);
}

void TMorse::About1Click()
{
    if (m_form2)
        m_form2->showAt(this);
}

void TMorse::mnuHelp1Click()
{
    if (m_form3)
        m_form3->showAt(this);
}

// File drop --------------------------------------------------------------------------------------

void TMorse::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void TMorse::dropEvent(QDropEvent* event)
{
    // Every dropped item is handed on in order; the document commands take the first one only,
    // and a first item that is not a local file reads as nothing.
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls())
        paths << (url.isLocalFile() ? url.toLocalFile() : QString());
    event->acceptProposedAction();
    // Handled once the drop has been delivered, so that a question asked meanwhile does not keep
    // the dragging program waiting.
    QMetaObject::invokeMethod(
        this, [this, paths] { atMessagePoint([this, paths] { WMDropFiles(paths); }); }, Qt::QueuedConnection);
}

void TMorse::WMDropFiles(const QStringList& paths)
{
    m_documents->WMDropFiles(paths);
}

void TMorse::openFile(const QString& path)
{
    m_documents->openFile(path);
}

// KeyingHost -------------------------------------------------------------------------------------

int TMorse::speedPosition() const { return SpeedT->Position(); }
int TMorse::delayPosition() const { return tbDelay->Position(); }
int TMorse::toneValue() const { return spFreq->Value(); }

bool TMorse::isChecked(MenuOption option) const
{
    switch (option) {
    case MenuOption::LowerCase: return mnuLowerCase->isChecked();
    case MenuOption::AutoCT: return mnuCT->isChecked();
    case MenuOption::Punctuation: return mnuPunct->isChecked();
    case MenuOption::Accented: return mnuScan->isChecked();
    case MenuOption::Speaker: return mnuSpeaker->isChecked();
    case MenuOption::Soundcard: return mnuSoundcard->isChecked();
    }
    return false;
}

void TMorse::setRunButtonsEnabled(bool enabled) { Panel2->setEnabled(enabled); }
void TMorse::setClearEnabled(bool enabled) { btnClear->setEnabled(enabled); }

void TMorse::setFileMenuEnabled(bool enabled)
{
    // The items go with the menu, so that their shortcuts are off while it is disabled.
    File1->menuAction()->setEnabled(enabled);
    for (QAction* item : File1->actions())
        item->setEnabled(enabled);
}

bool TMorse::fileMenuEnabled() const { return File1->menuAction()->isEnabled(); }
void TMorse::setIndicator(uint32_t colour)
{
    const bool wasOn = Shape1->isOn();
    Shape1->setBrushColor(colour);
    const bool running = colour == kIndicatorGreen;
    Shape1->setIndication(running, running ? QStringLiteral("Running") : QStringLiteral("Stopped"));
    // A stopped run still completes its group: it is quiet until it has returned (runFinished). A
    // run asked for meanwhile starts as it returns, and is announced then.
    setRunAnnounced(running || (m_running && m_keyer->isRunning()), running && !wasOn);
}

void TMorse::setRunAnnounced(bool running, bool started)
{
    Memo->setAccessibleQuiet(running);
    if (running == m_running && !started)
        return;
    m_running = running;
    if (!QAccessible::isActive())
        return;
    if (!running) {
        // Not over the last character, which still sounds when the run returns.
        QTimer::singleShot(kSoundTrailMs, this, [this] {
            if (!m_running)
                m_announcer->announce(QStringLiteral("Stopped"));
        });
        return;
    }
    // A run keys from Stop, or from the text window when the user put the focus there. The focus
    // moves first: "Running", spoken after it, cuts its speech short and is the last thing said
    // before the run's lead-in ends.
    if (!Memo->hasFocus())
        btnStop->setFocus(Qt::OtherFocusReason);
    m_announcer->announce(QStringLiteral("Running"));
}

int TMorse::leadInMs() const
{
    return QAccessible::isActive() ? kRunningLeadInMs : 0;
}

int TMorse::stopTag() const { return btnStop->Tag; }
void TMorse::setStopTag(int tag) { btnStop->Tag = tag; }
int TMorse::memoLength() const { return Memo->length(); }

uint8_t TMorse::memoCharAt(int pos) const
{
    return Memo->model().codeAt(pos);
}

void TMorse::memoAppend(uint8_t code)
{
    Memo->append(QString(cp1252::toUnicode(code)));
}

int TMorse::memoSelStart() const { return Memo->selStart(); }
void TMorse::memoSetSelStart(int pos) { Memo->setSelStart(pos); }

void TMorse::memoSetSelLength(int length)
{
    Memo->setSelLength(length);
    // The engine highlights the character it is about to key and moves on after a '!' without
    // processing messages: paint now, so that every character is seen highlighted while keyed.
    Memo->paintPending();
}

void TMorse::memoSetFocus()
{
    // A button that loses the focus between press and release drops the press: Stop and Close
    // pressed during a fast Text run must be taken.
    if (QGuiApplication::mouseButtons() != Qt::NoButton)
        return;
    // With a screen reader, the focus would read out the text window's newest line while it is
    // keyed: a run leaves the focus on Stop, or in the text window when the user put it there.
    if (QAccessible::isActive() && m_running) {
        if (!Memo->hasFocus())
            btnStop->setFocus(Qt::OtherFocusReason);
        return;
    }
    Memo->setFocus();
}
void TMorse::memoSetModified(bool modified) { Memo->setModified(modified); }

// DocumentView -----------------------------------------------------------------------------------

bool TMorse::memoModified() const { return Memo->modified(); }
void TMorse::memoClear() { Memo->clear(); }
QString TMorse::memoText() const { return Memo->text(); }
void TMorse::memoSetText(const QString& text) { Memo->setText(text); }
// A modal dialog closing hands the window manager's focus back by itself; after one dialog opens
// right after another has closed (Save Text?, then Open), or when a popup of the dialog (the file
// name completer) was open as it closed, the window may be left active without the keyboard.
void TMorse::refocusAfterDialog()
{
    const auto refocus = [this] {
        if (!isVisible() || m_closing)
            return;
        // A popup of the dialog that closed with it can leave the window with the window system's
        // focus yet inactive to Qt, so that no widget has the focus: it is made active again.
        if (QGuiApplication::focusWindow() == windowHandle() && QApplication::activeWindow() != this)
            QApplication::setActiveWindow(this);
        else
            activateWindow();
        memoSetFocus();
    };
    refocus();
    // Again once the window system has handed the focus on (a popup's grab ends a little later).
    QMetaObject::invokeMethod(this, refocus, Qt::QueuedConnection);
}

Answer TMorse::confirm(const QString& text)
{
    const Answer answer = m_platform.dialogs->confirm(text);
    refocusAfterDialog();
    return answer;
}
void TMorse::error(const QString& text)
{
    m_platform.dialogs->error(text);
    refocusAfterDialog();
}
bool TMorse::executeOpen(QString& fileName)
{
    const bool chosen = m_platform.dialogs->executeOpen(fileName);
    refocusAfterDialog();
    return chosen;
}
bool TMorse::executeSave(QString& fileName)
{
    const bool chosen = m_platform.dialogs->executeSave(fileName);
    refocusAfterDialog();
    return chosen;
}

} // namespace quindle
