#pragma once

#include "persistence/DocumentView.h"
#include "persistence/TextFile.h"

#include <QString>
#include <QStringList>

namespace quindle {

// The document commands of the File menu, the Clear Screen button and a file drop, run against
// the memo and the questions of a DocumentView. They may run nested inside a send run; each reads
// the memo at the moment it needs it, so text a run appended while a dialog was open is included.
class DocumentCommands {
public:
    explicit DocumentCommands(DocumentView& view);

    // File > New: asks "Save Text?" when the memo is modified; clears the memo unless the answer
    // is Cancel or the offered save was not written.
    void New1Click();
    // The Clear Screen button: the same as New.
    void btnClearClick();
    // File > Open...: asks "Save Text?" when modified, then shows the Open dialog and loads the
    // chosen file into the cleared memo.
    void Open1Click();
    // File > Save As...: saves the memo's text to the chosen file; the modified flag stays.
    void SaveAs1Click();
    // A drop from the desktop: only the first path is loaded; asks "Save Current Text?" when
    // modified. A file that cannot be loaded leaves the memo as the answer left it.
    void WMDropFiles(const QStringList& paths);

    // The file names last chosen in the Open and Save dialogs; each dialog starts with its own.
    const QString& openFileName() const { return m_openName; }
    const QString& saveFileName() const { return m_saveName; }

    // A file named on the command line: File > Open with path as the Open dialog's answer.
    void openFile(const QString& path);

private:
    enum class Saved { Written, Cancelled, Failed };

    Saved save();
    // Asks question when the memo is modified: Yes saves, No clears the memo. False when the
    // command is to end here (Cancel, or a save that failed).
    bool offerToSave(const QString& question);
    void openStep();
    // Reads the file and, when that worked, makes it the memo's text with the flag lowered.
    void load(const QString& path);
    // Empties the memo: a new document, saved as Windows-1252.
    void clear();

    DocumentView& m_view;
    QString m_openName;
    QString m_saveName;
    // The encoding of the document in the memo, which a save keeps.
    TextEncoding m_encoding = TextEncoding::Windows1252;
};

} // namespace quindle
