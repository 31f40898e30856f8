#include "persistence/DocumentCommands.h"

#include "persistence/TextFile.h"

namespace quindle {

DocumentCommands::DocumentCommands(DocumentView& view) : m_view(view) {}

DocumentCommands::Saved DocumentCommands::save()
{
    // A copy: the dialog runs a nested event loop in which another command may choose a name.
    QString name = m_saveName;
    if (!m_view.executeSave(name))
        return Saved::Cancelled;
    m_saveName = name;
    const TextSaveResult result = saveTextFile(name, m_view.memoText(), m_encoding);
    if (!result.ok) {
        m_view.error(result.error);
        return Saved::Failed;
    }
    return Saved::Written;
}

void DocumentCommands::load(const QString& path)
{
    const TextLoadResult result = loadTextFile(path);
    if (!result.ok) {
        m_view.error(result.error);
        return;
    }
    m_view.memoSetText(result.text);
    m_view.memoSetModified(false);
    m_encoding = result.encoding;
}

bool DocumentCommands::offerToSave(const QString& question)
{
    if (!m_view.memoModified())
        return true;
    switch (m_view.confirm(question)) {
    case Answer::Yes:
        // Open and a drop go on whether or not a file was written, but not after a failed save.
        return save() != Saved::Failed;
    case Answer::No:
        clear();
        return true;
    case Answer::Cancel:
        break;
    }
    return false;
}

void DocumentCommands::openStep()
{
    QString name = m_openName;
    if (!m_view.executeOpen(name))
        return;
    m_openName = name;
    clear();
    load(name);
}

void DocumentCommands::clear()
{
    m_view.memoClear();
    m_encoding = TextEncoding::Windows1252;
}

void DocumentCommands::New1Click()
{
    if (m_view.memoModified()) {
        switch (m_view.confirm(QStringLiteral("Save Text?"))) {
        case Answer::Yes:
            if (save() != Saved::Written)
                return;
            break;
        case Answer::No:
            break;
        case Answer::Cancel:
            return;
        }
    }
    clear();
}

void DocumentCommands::btnClearClick()
{
    New1Click();
}

void DocumentCommands::Open1Click()
{
    if (offerToSave(QStringLiteral("Save Text?")))
        openStep();
}

void DocumentCommands::SaveAs1Click()
{
    save();
}

void DocumentCommands::WMDropFiles(const QStringList& paths)
{
    if (paths.isEmpty() || paths.first().isEmpty())
        return;
    // Copied: the list may belong to an event that a nested event loop releases.
    const QString path = paths.first();
    if (!offerToSave(QStringLiteral("Save Current Text?")))
        return;
    m_view.memoSetFocus();
    load(path);
}

void DocumentCommands::openFile(const QString& path)
{
    if (!offerToSave(QStringLiteral("Save Text?")))
        return;
    m_openName = path;
    m_view.memoClear();
    load(path);
}

} // namespace quindle
