#include "tests/support/ScriptedDialogs.h"

#include <gtest/gtest.h>

#include <utility>

namespace quindle {

namespace {

template <typename T> std::optional<T> takeFront(std::deque<T>& queue)
{
    if (queue.empty())
        return std::nullopt;
    T front = std::move(queue.front());
    queue.pop_front();
    return front;
}

void run(const ScriptedDialogs::Action& action)
{
    if (action)
        action();
}

} // namespace

const char* kindName(ScriptedDialogs::Kind kind)
{
    switch (kind) {
    case ScriptedDialogs::Kind::Confirm:
        return "confirm";
    case ScriptedDialogs::Kind::Error:
        return "error";
    case ScriptedDialogs::Kind::Open:
        return "open";
    case ScriptedDialogs::Kind::Save:
        return "save";
    case ScriptedDialogs::Kind::Font:
        return "font";
    }
    return "?";
}

void ScriptedDialogs::answerConfirm(Answer answer, Action whileOpen)
{
    m_confirms.push_back({answer, std::move(whileOpen)});
}

void ScriptedDialogs::chooseOpen(const QString& fileName, Action whileOpen)
{
    m_opens.push_back({fileName, std::move(whileOpen)});
}

void ScriptedDialogs::cancelOpen(Action whileOpen)
{
    m_opens.push_back({std::nullopt, std::move(whileOpen)});
}

void ScriptedDialogs::chooseSave(const QString& fileName, Action whileOpen)
{
    m_saves.push_back({fileName, std::move(whileOpen)});
}

void ScriptedDialogs::cancelSave(Action whileOpen)
{
    m_saves.push_back({std::nullopt, std::move(whileOpen)});
}

void ScriptedDialogs::chooseFont(const FontChoice& font, Action whileOpen)
{
    m_fonts.push_back({font, std::move(whileOpen)});
}

void ScriptedDialogs::cancelFont(Action whileOpen)
{
    m_fonts.push_back({std::nullopt, std::move(whileOpen)});
}

Answer ScriptedDialogs::confirm(const QString& text)
{
    m_asked.push_back({Kind::Confirm, text, {}, {}});
    auto answer = takeFront(m_confirms);
    if (!answer) {
        ADD_FAILURE() << "unscripted confirmation box \"" << text.toStdString() << "\"; answered Cancel";
        return Answer::Cancel;
    }
    run(answer->whileOpen);
    return answer->answer;
}

void ScriptedDialogs::error(const QString& text)
{
    m_asked.push_back({Kind::Error, text, {}, {}});
}

bool ScriptedDialogs::executeFile(Kind kind, std::deque<FileAnswer>& script, QString& fileName)
{
    m_asked.push_back({kind, {}, fileName, {}});
    auto answer = takeFront(script);
    if (!answer) {
        ADD_FAILURE() << "unscripted " << kindName(kind) << " dialog (offered \"" << fileName.toStdString()
                      << "\"); cancelled";
        return false;
    }
    run(answer->whileOpen);
    if (!answer->fileName)
        return false;
    fileName = *answer->fileName;
    return true;
}

bool ScriptedDialogs::executeOpen(QString& fileName)
{
    return executeFile(Kind::Open, m_opens, fileName);
}

bool ScriptedDialogs::executeSave(QString& fileName)
{
    return executeFile(Kind::Save, m_saves, fileName);
}

bool ScriptedDialogs::executeFont(FontChoice& font)
{
    m_asked.push_back({Kind::Font, {}, {}, font});
    auto answer = takeFront(m_fonts);
    if (!answer) {
        ADD_FAILURE() << "unscripted font dialog (offered \"" << font.family.toStdString() << "\" "
                      << font.pointSize << " pt); cancelled";
        return false;
    }
    run(answer->whileOpen);
    if (!answer->font)
        return false;
    font = *answer->font;
    return true;
}

std::vector<ScriptedDialogs::Kind> ScriptedDialogs::kinds() const
{
    std::vector<Kind> result;
    result.reserve(m_asked.size());
    for (const Question& question : m_asked)
        result.push_back(question.kind);
    return result;
}

QStringList ScriptedDialogs::confirmTexts() const
{
    QStringList texts;
    for (const Question& question : m_asked) {
        if (question.kind == Kind::Confirm)
            texts << question.text;
    }
    return texts;
}

QStringList ScriptedDialogs::errorTexts() const
{
    QStringList texts;
    for (const Question& question : m_asked) {
        if (question.kind == Kind::Error)
            texts << errorBoxText(question.text);
    }
    return texts;
}

int ScriptedDialogs::unusedAnswers() const
{
    return int(m_confirms.size() + m_opens.size() + m_saves.size() + m_fonts.size());
}

void ScriptedDialogs::clear()
{
    m_confirms.clear();
    m_opens.clear();
    m_saves.clear();
    m_fonts.clear();
    m_asked.clear();
}

} // namespace quindle
