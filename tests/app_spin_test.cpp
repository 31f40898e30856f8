#include "app/SpinEdit.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionSpinBox>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>

namespace quindle {
namespace {

// The spin box on a window with a second control to move the focus to.
class SpinEditTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        window = std::make_unique<QWidget>();
        spin = new SpinEdit(window.get());
        spin->setObjectName(QStringLiteral("spFreq"));
        spin->setGeometry(10, 10, 61, 23);
        other = new QLineEdit(window.get());
        other->setGeometry(10, 40, 61, 23);
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        spin->setValue(750);
        spin->setFocus();
        refusals = std::make_unique<QSignalSpy>(spin, &SpinEdit::keyRefused);
    }

    // Replaces the text as the user would: select all, then type.
    void typeText(const QString& text)
    {
        QTest::keyClick(spin, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(spin, Qt::Key_Backspace);
        QTest::keyClicks(spin, text);
    }

    void leave() { other->setFocus(); }

    std::unique_ptr<QWidget> window;
    SpinEdit* spin = nullptr;
    QLineEdit* other = nullptr;
    std::unique_ptr<QSignalSpy> refusals;
};

TEST_F(SpinEditTest, RefusedKeysBeepAndLeaveTheText)
{
    for (const QString& typed : {QStringLiteral("a"), QStringLiteral("Z"), QStringLiteral(" "),
                                 QStringLiteral("*"), QStringLiteral("\u00e9"), QStringLiteral("e")}) {
        refusals->clear();
        QTest::sendKeyEvent(QTest::Click, spin, Qt::Key_unknown, typed, Qt::NoModifier);
        EXPECT_EQ(spin->text(), "750") << typed.toStdString();
        EXPECT_EQ(refusals->count(), 1) << typed.toStdString();
    }
}

TEST_F(SpinEditTest, EnterAndReturnBeepAndAreDropped)
{
    QSignalSpy finished(spin, &QAbstractSpinBox::editingFinished);
    QTest::keyClick(spin, Qt::Key_Return);
    QTest::keyClick(spin, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(refusals->count(), 2);
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(spin->text(), "750");
}

TEST_F(SpinEditTest, DigitsSignsSeparatorAndEditingKeysAreTyped)
{
    typeText(QStringLiteral("+-12") + spin->locale().decimalPoint());
    EXPECT_EQ(spin->text(), QStringLiteral("+-12") + spin->locale().decimalPoint());
    QTest::keyClick(spin, Qt::Key_Backspace);
    QTest::keyClick(spin, Qt::Key_Home);
    QTest::keyClick(spin, Qt::Key_Delete);
    QTest::keyClick(spin, Qt::Key_Delete);
    EXPECT_EQ(spin->text(), "12");
    EXPECT_EQ(refusals->count(), 0);
}

// Reading parses the text; only the focus moving to another control and setValue() clamp.
TEST_F(SpinEditTest, ValueParsesTheTextAndFocusLossClamps)
{
    struct Case {
        const char* typed;
        int whileFocused;
        int afterFocusLoss;
        const char* textAfter;
    };
    const QString point = spin->locale().decimalPoint();
    const Case cases[] = {
        {"750", 750, 750, "750"},
        {"", 100, 100, ""},
        {"50", 50, 100, "100"},
        {"25000", 25000, 20000, "20000"},
        {"+300", 300, 300, "+300"},
        {"-5", -5, 100, "100"},
        {"100", 100, 100, "100"},
        {"20000", 20000, 20000, "20000"},
        {"99", 99, 100, "100"},
        {"20001", 20001, 20000, "20000"},
        {"+", 100, 100, "+"},
        {"1-2", 100, 100, "1-2"},
        {"99999999999", 100, 100, "99999999999"},
    };
    for (const Case& c : cases) {
        spin->setFocus();
        typeText(QString::fromLatin1(c.typed));
        QMenu menu; // a menu takes the focus for a while and gives it back
        menu.popup({});
        menu.close();
        for (const Qt::FocusReason away : {Qt::MenuBarFocusReason, Qt::ActiveWindowFocusReason}) {
            QFocusEvent out(QEvent::FocusOut, away); // the menu bar, another window: the same
            QApplication::sendEvent(spin, &out);
        }
        EXPECT_EQ(spin->Value(), c.whileFocused) << c.typed;
        leave();
        EXPECT_EQ(spin->Value(), c.afterFocusLoss) << c.typed;
        EXPECT_EQ(spin->text(), QString::fromLatin1(c.textAfter)) << c.typed;
    }
    // A decimal number is not an integer: it reads as the minimum and stays as typed.
    spin->setFocus();
    typeText(QStringLiteral("7") + point + QStringLiteral("5"));
    EXPECT_EQ(spin->Value(), 100);
    leave();
    EXPECT_EQ(spin->text(), QStringLiteral("7") + point + QStringLiteral("5"));
}

TEST_F(SpinEditTest, SetValueClamps)
{
    const std::pair<int, int> cases[] = {{750, 750},         {100, 100},     {99, 100},
                                         {20000, 20000},     {20001, 20000}, {-2147483647 - 1, 100},
                                         {2147483647, 20000}};
    for (const auto& [set, shown] : cases) {
        spin->setValue(set);
        EXPECT_EQ(spin->Value(), shown) << set;
        EXPECT_EQ(spin->text(), QString::number(shown)) << set;
    }
}

TEST_F(SpinEditTest, ArrowKeysStepByOneFromTheValueAsTypedThenClamp)
{
    QTest::keyClick(spin, Qt::Key_Up);
    EXPECT_EQ(spin->Value(), 751);
    QTest::keyClick(spin, Qt::Key_Down);
    QTest::keyClick(spin, Qt::Key_Down);
    EXPECT_EQ(spin->Value(), 749);

    typeText(QString());
    QTest::keyClick(spin, Qt::Key_Up);
    EXPECT_EQ(spin->text(), "101");
    typeText(QStringLiteral("25000"));
    QTest::keyClick(spin, Qt::Key_Up);
    EXPECT_EQ(spin->text(), "20000");
    typeText(QStringLiteral("25000"));
    QTest::keyClick(spin, Qt::Key_Down);
    EXPECT_EQ(spin->text(), "20000");
    typeText(QStringLiteral("50"));
    QTest::keyClick(spin, Qt::Key_Down);
    EXPECT_EQ(spin->text(), "100");
    typeText(QStringLiteral("50"));
    QTest::keyClick(spin, Qt::Key_Up);
    EXPECT_EQ(spin->text(), "100");
    EXPECT_EQ(refusals->count(), 0);
}

TEST_F(SpinEditTest, ArrowButtonsStepByOne)
{
    QStyleOptionSpinBox option;
    option.initFrom(spin);
    option.subControls = QStyle::SC_SpinBoxUp | QStyle::SC_SpinBoxDown;
    option.stepEnabled = QAbstractSpinBox::StepUpEnabled | QAbstractSpinBox::StepDownEnabled;
    const QRect up = spin->style()->subControlRect(QStyle::CC_SpinBox, &option, QStyle::SC_SpinBoxUp, spin);
    const QRect down =
        spin->style()->subControlRect(QStyle::CC_SpinBox, &option, QStyle::SC_SpinBoxDown, spin);
    QTest::mouseClick(spin, Qt::LeftButton, {}, up.center());
    EXPECT_EQ(spin->Value(), 751);
    QTest::mouseClick(spin, Qt::LeftButton, {}, down.center());
    QTest::mouseClick(spin, Qt::LeftButton, {}, down.center());
    EXPECT_EQ(spin->Value(), 749);
}

TEST_F(SpinEditTest, StepsStopAtTheLimits)
{
    spin->setValue(20000);
    QTest::keyClick(spin, Qt::Key_Up);
    EXPECT_EQ(spin->Value(), 20000);
    spin->stepBy(-2147483647);
    EXPECT_EQ(spin->Value(), 100);
    spin->stepBy(2147483647);
    EXPECT_EQ(spin->Value(), 20000);
}

TEST_F(SpinEditTest, PastedGarbageReadsAsTheMinimum)
{
    QApplication::clipboard()->setText(QStringLiteral("tone: 440 Hz\n"));
    typeText(QString());
    QTest::keyClick(spin, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(spin->Value(), 100);
    leave();
    EXPECT_EQ(spin->Value(), 100);
    QApplication::clipboard()->setText(QStringLiteral("440"));
    spin->setFocus();
    typeText(QString());
    QTest::keyClick(spin, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(spin->Value(), 440);
}

TEST_F(SpinEditTest, ComposedInputIsFilteredLikeKeys)
{
    typeText(QString());
    QInputMethodEvent letters(QString(), {});
    letters.setCommitString(QStringLiteral("x"));
    QApplication::sendEvent(spin, &letters);
    EXPECT_EQ(refusals->count(), 1);
    QInputMethodEvent digits(QString(), {});
    digits.setCommitString(QStringLiteral("42"));
    QApplication::sendEvent(spin, &digits);
    EXPECT_EQ(spin->text(), "42");
}

TEST_F(SpinEditTest, ValueChangedFollowsTheText)
{
    QSignalSpy changed(spin, &SpinEdit::valueChanged);
    QTest::keyClick(spin, Qt::Key_End);
    QTest::keyClick(spin, Qt::Key_Backspace);
    ASSERT_FALSE(changed.isEmpty());
    EXPECT_EQ(changed.last().at(0).toInt(), 75); // read as typed, below the range
    EXPECT_EQ(spin->Value(), 75);
}

} // namespace
} // namespace quindle
