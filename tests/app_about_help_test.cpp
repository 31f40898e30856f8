#include "app/Fonts.h"
#include "app/Unit2.h"
#include "app/Unit3.h"
#include "tests/support/ModalWindows.h"

#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace quindle {
namespace {

// Both windows behave alike; the table gives what differs.
struct WindowCase {
    const char* name;
    std::function<QDialog*(QWidget* parent)> create;
    std::function<void(QDialog*, QWidget* mainWindow)> showAt;
    const char* objectName;
    const char* caption;
    QSize clientSize;
    QRect okGeometry;
    const char* fontFamily;
};

std::vector<WindowCase> windowCases()
{
    return {
        {"About", [](QWidget* parent) -> QDialog* { return new TForm2(parent); },
         [](QDialog* form, QWidget* main) { static_cast<TForm2*>(form)->showAt(main); }, "Form2",
         "QuindleII  About...", QSize(302, 138), QRect(208, 104, 75, 25), "Arial"},
        {"Help", [](QWidget* parent) -> QDialog* { return new TForm3(parent); },
         [](QDialog* form, QWidget* main) { static_cast<TForm3*>(form)->showAt(main); }, "Form3",
         "QuindleII  Help", QSize(320, 424), QRect(216, 384, 75, 25), "MS Sans Serif"},
    };
}

class NoticeWindowTest : public ::testing::TestWithParam<WindowCase> {
protected:
    static void SetUpTestSuite() { installFontSubstitutions(); }

    void SetUp() override
    {
        mainWindow = std::make_unique<QWidget>();
        mainWindow->resize(541, 378);
        mainWindow->move(100, 80);
        mainWindow->show();
        form = GetParam().create(mainWindow.get());
    }

    QPushButton* ok() const { return form->findChild<QPushButton*>(QStringLiteral("Button1")); }

    // Shows the window modally, runs action inside the showing and returns once it has closed.
    void showAndThen(std::function<void(QDialog*)> action)
    {
        bool ran = false;
        whenModal<QDialog>(&context, [&](QDialog* shown) {
            ran = true;
            EXPECT_EQ(shown, form);
            action(shown);
        });
        GetParam().showAt(form, mainWindow.get());
        EXPECT_TRUE(ran);
        EXPECT_FALSE(form->isVisible());
    }

    std::unique_ptr<QWidget> mainWindow;
    QDialog* form = nullptr; // owned by mainWindow
    QObject context;
};

TEST_P(NoticeWindowTest, FixedWindowWithoutCloseBox)
{
    const WindowCase& c = GetParam();
    EXPECT_EQ(form->objectName(), c.objectName);
    EXPECT_EQ(form->windowTitle(), c.caption);
    EXPECT_EQ(form->size(), c.clientSize);
    EXPECT_EQ(form->minimumSize(), c.clientSize);
    EXPECT_EQ(form->maximumSize(), c.clientSize);
    const Qt::WindowFlags flags = form->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
    for (const Qt::WindowType button :
         {Qt::WindowSystemMenuHint, Qt::WindowCloseButtonHint, Qt::WindowMinimizeButtonHint,
          Qt::WindowMaximizeButtonHint, Qt::WindowContextHelpButtonHint})
        EXPECT_FALSE(flags.testFlag(button)) << int(button);
    EXPECT_EQ(form->font().family(), c.fontFamily);
    EXPECT_EQ(form->font().pointSize(), 8);
    EXPECT_EQ(form->palette().color(QPalette::Window), form->palette().color(QPalette::Button));
    ASSERT_NE(ok(), nullptr);
    EXPECT_EQ(ok()->text(), "OK");
    EXPECT_EQ(ok()->geometry(), c.okGeometry);
    EXPECT_FALSE(form->isVisible()); // created hidden
}

TEST_P(NoticeWindowTest, OpensModallyBesideTheMainWindowWithOkFocused)
{
    showAndThen([&](QDialog* shown) {
        EXPECT_EQ(shown->frameGeometry().topLeft(), QPoint(150, 120));
        EXPECT_EQ(shown->windowModality(), Qt::ApplicationModal);
        EXPECT_EQ(shown->focusWidget(), ok());
        ok()->click();
    });
}

TEST_P(NoticeWindowTest, FollowsTheMainWindowAndIsNotKeptOnTheScreen)
{
    const QPoint mainPositions[] = {{300, 10}, {0, 0}, {-40, -30}, {5000, 4000}};
    for (const QPoint& at : mainPositions) {
        mainWindow->move(at);
        // Let the window system settle the move (the offscreen platform nudges windows that
        // start left of or above the screen).
        QCoreApplication::processEvents();
        const QPoint expected = mainWindow->frameGeometry().topLeft() + QPoint(50, 40);
        showAndThen([&](QDialog* shown) {
            EXPECT_EQ(shown->frameGeometry().topLeft(), expected) << at.x() << "," << at.y();
            ok()->click();
        });
    }
}

TEST_P(NoticeWindowTest, EnterSpaceAndEscCloseIt)
{
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space, Qt::Key_Escape}) {
        showAndThen([&](QDialog* shown) {
            QTest::keyClick(shown->focusWidget(), key);
            EXPECT_FALSE(shown->isVisible()) << key;
            if (shown->isVisible())
                shown->reject();
        });
    }
}

TEST_P(NoticeWindowTest, KeptForTheNextShowingWithOkFocusedAgain)
{
    showAndThen([&](QDialog* shown) {
        QTest::keyClick(shown, Qt::Key_Tab);
        ok()->click();
    });
    showAndThen([&](QDialog* shown) {
        EXPECT_EQ(shown->focusWidget(), ok());
        ok()->click();
    });
    EXPECT_EQ(mainWindow->findChildren<QDialog*>().size(), 1);
}

TEST_P(NoticeWindowTest, MinimisedItClosesSoTheMainWindowIsNotLeftBlocked)
{
    for (int showing = 0; showing < 2; ++showing)
        showAndThen([&](QDialog* shown) {
            QTimer::singleShot(5000, shown, [shown] { ADD_FAILURE() << "still shown", shown->reject(); });
            shown->setWindowState(Qt::WindowMinimized);
        });
}

INSTANTIATE_TEST_SUITE_P(Windows, NoticeWindowTest, ::testing::ValuesIn(windowCases()),
                         [](const auto& info) { return std::string(info.param.name); });

class AboutWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { installFontSubstitutions(); }
    TForm2 form;
};

TEST_F(AboutWindowTest, LabelsFitTheirFixedBoxes)
{
    struct Case {
        QLabel* label;
        QRect geometry;
    };
    const Case cases[] = {
        {form.Label1, {8, 8, 161, 20}}, {form.Label2, {8, 32, 62, 14}}, {form.Label3, {4, 56, 190, 14}}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.label->parentWidget(), form.Panel1);
        EXPECT_EQ(c.label->geometry(), c.geometry) << c.label->objectName().toStdString();
        const int width = QFontMetrics(c.label->font()).horizontalAdvance(c.label->text());
        EXPECT_LE(width, c.geometry.width()) << c.label->text().toStdString();
    }
    EXPECT_EQ(form.Label1->text(), "QuindleII v1.2a");
    EXPECT_TRUE(form.accessibleDescription().startsWith("QuindleII v1.2a, ")) << "spoken with the window";
    EXPECT_TRUE(form.Label1->font().bold());
    EXPECT_EQ(form.Label1->font().pointSize(), 12);
    EXPECT_EQ(form.Panel1->geometry(), QRect(4, 4, 293, 89));
    EXPECT_EQ(form.Panel1->frameWidth(), 2); // two one-pixel bevels
}

class HelpWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { installFontSubstitutions(); }
    TForm3 form;
};

TEST_F(HelpWindowTest, MemoIsReadOnlyOnTooltipColourWithoutScrollBars)
{
    QPlainTextEdit* memo = form.Memo1;
    EXPECT_EQ(memo->geometry(), QRect(4, 4, 311, 369));
    EXPECT_EQ(memo->palette().color(QPalette::Base), memo->palette().color(QPalette::ToolTipBase));
    EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(memo->lineWrapMode(), QPlainTextEdit::WidgetWidth);

    const QString before = memo->toPlainText();
    memo->setFocus();
    QTest::keyClicks(memo, QStringLiteral("typed"));
    QTest::keyClick(memo, Qt::Key_Backspace);
    QTest::keyClick(memo, Qt::Key_Delete);
    QTest::keyClick(memo, Qt::Key_Return);
    EXPECT_EQ(memo->toPlainText(), before);
    // A caret to read it by, moved by the arrows.
    memo->moveCursor(QTextCursor::Start);
    QTest::keyClick(memo, Qt::Key_Down);
    EXPECT_EQ(memo->textCursor().blockNumber(), 1);
}

TEST_F(HelpWindowTest, TextHasItsParagraphsInOrderAndFitsWithoutScrolling)
{
    const QString text = form.Memo1->toPlainText();
    const QStringList lines = text.split(u'\n');
    EXPECT_GE(lines.size(), 22);
    EXPECT_LE(lines.size(), 30);
    EXPECT_EQ(lines.first(), "     Quindle");

    // Paragraphs are separated by one empty line each.
    const QStringList paragraphs = text.split(QStringLiteral("\n\n"));
    ASSERT_EQ(paragraphs.size(), 8);
    const char* keywords[] = {"Quindle", "self-explanatory", "Mixed",   "Text", "Stop",
                              "!ar",     "filtering",        "Freeware"};
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(paragraphs[i].contains(QLatin1String(keywords[i]))) << i << ": " << keywords[i];
    EXPECT_TRUE(paragraphs[3].contains(QStringLiteral("pasted")));
    EXPECT_TRUE(paragraphs[3].contains(QStringLiteral("file")));
    EXPECT_TRUE(paragraphs[3].contains(QStringLiteral("practice run")));
    EXPECT_TRUE(paragraphs[3].contains(QStringLiteral("Highlight")));
    // The stream cannot carry the highest pitches; the user is told where they sound.
    EXPECT_TRUE(paragraphs[6].contains(QStringLiteral("up to 11269 Hz")));

    // Broken by hand: no line wraps, and with no scroll bar the whole page must be visible.
    const QFontMetrics metrics(form.Memo1->font());
    const int margins = 2 * int(form.Memo1->document()->documentMargin());
    const QSize room = form.Memo1->contentsRect().size() - QSize(margins, margins);
    for (const QString& line : lines)
        EXPECT_LE(metrics.horizontalAdvance(line), room.width()) << line.toStdString();
    EXPECT_LE(lines.size() * metrics.lineSpacing(), room.height());
}

// The designed typefaces are not installed; the substitutes keep the layout's metrics.
TEST(FontsTest, DesignedTypefacesResolveToMetricCompatibleFonts)
{
    installFontSubstitutions();
    installFontSubstitutions();
    EXPECT_EQ(QFont::substitutes(kMsSansSerif)
                  .filter(QStringLiteral("Liberation Sans"), Qt::CaseInsensitive)
                  .size(),
              1);
    struct Case {
        const QString& family;
        int pointSize;
        const char* resolved;
        int pixelSize; // character height at 96 dpi [px]
    };
    const Case cases[] = {
        {kArial, 8, "Liberation Sans", 11},
        {kMsSansSerif, 8, "Liberation Sans", 11},
        {kMsSansSerif, 12, "Liberation Sans", 16},
        {kCourierNew, 9, "Liberation Mono", 12},
    };
    for (const Case& c : cases) {
        const QFontInfo info(makeFont(c.family, c.pointSize));
        EXPECT_EQ(info.family(), c.resolved) << c.family.toStdString();
        EXPECT_EQ(info.pixelSize(), c.pixelSize) << c.family.toStdString() << " " << c.pointSize;
    }
    EXPECT_TRUE(makeFont(kMsSansSerif, 8, true).bold());
}

} // namespace
} // namespace quindle
