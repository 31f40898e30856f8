#pragma once

#include "app/Dialogs.h"

#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <optional>
#include <ostream>
#include <vector>

namespace quindle {

// Test double of the dialogs seam. Answers the confirmation box and the Open, Save and Font
// dialogs in the order scripted, per kind, and records every question asked (error boxes
// included). A question nobody scripted fails the current test and is answered Cancel.
// Each answer may carry an action that runs while the "dialog is open", e.g. to click Stop or
// to check that a run is held.
class ScriptedDialogs final : public Dialogs {
public:
    enum class Kind { Confirm, Error, Open, Save, Font };

    struct Question {
        Kind kind;
        QString text;     // confirm and error: the text shown (error: as passed, before the
                          // full-stop rule)
        QString fileName; // open and save: the file name offered on entry
        FontChoice font;  // font: the font loaded into the dialog
    };

    using Action = std::function<void()>;

    void answerConfirm(Answer answer, Action whileOpen = {});
    void chooseOpen(const QString& fileName, Action whileOpen = {});
    void cancelOpen(Action whileOpen = {});
    void chooseSave(const QString& fileName, Action whileOpen = {});
    void cancelSave(Action whileOpen = {});
    void chooseFont(const FontChoice& font, Action whileOpen = {});
    void cancelFont(Action whileOpen = {});

    Answer confirm(const QString& text) override;
    void error(const QString& text) override;
    bool executeOpen(QString& fileName) override;
    bool executeSave(QString& fileName) override;
    bool executeFont(FontChoice& font) override;

    const std::vector<Question>& asked() const { return m_asked; }
    // The kinds asked, in order, e.g. {Confirm, Save}.
    std::vector<Kind> kinds() const;
    // Texts of the confirmation boxes, and of the error boxes as the user sees them.
    QStringList confirmTexts() const;
    QStringList errorTexts() const;
    // Scripted answers not used yet.
    int unusedAnswers() const;
    void clear();

private:
    struct FileAnswer {
        std::optional<QString> fileName; // nullopt: cancelled
        Action whileOpen;
    };
    struct FontAnswer {
        std::optional<FontChoice> font;
        Action whileOpen;
    };
    struct ConfirmAnswer {
        Answer answer;
        Action whileOpen;
    };

    bool executeFile(Kind kind, std::deque<FileAnswer>& script, QString& fileName);

    std::deque<ConfirmAnswer> m_confirms;
    std::deque<FileAnswer> m_opens;
    std::deque<FileAnswer> m_saves;
    std::deque<FontAnswer> m_fonts;
    std::vector<Question> m_asked;
};

const char* kindName(ScriptedDialogs::Kind kind);

// Lets GoogleTest print kinds by name.
inline void PrintTo(ScriptedDialogs::Kind kind, std::ostream* os)
{
    *os << kindName(kind);
}

} // namespace quindle
