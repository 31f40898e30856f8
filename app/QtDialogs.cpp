#include "app/QtDialogs.h"

#include "app/WindowManagement.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontDialog>
#include <QFontInfo>
#include <QGroupBox>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>

namespace quindle {

namespace {

// A message box whose outer frame sits in the centre of its screen once its size is known.
class CentredMessageBox final : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent* event) override
    {
        // QMessageBox settles its size here; the native window is mapped only afterwards.
        QMessageBox::showEvent(event);
        if (!event->spontaneous())
            centreFrameOnScreen(this);
    }
};

// Hides the effects group (strike-out, underline) of Qt's font dialog. The group has no object
// name; it is the one group box that holds check boxes.
void hideEffects(QFontDialog& dialog)
{
    for (QGroupBox* group : dialog.findChildren<QGroupBox*>()) {
        if (!group->findChildren<QCheckBox*>().isEmpty())
            group->hide();
    }
}

bool isInstalledFamily(const QString& family)
{
    return QFontDatabase::families().contains(family, Qt::CaseInsensitive);
}

bool executeFileDialog(QWidget* parent, QFileDialog::AcceptMode mode, QString& fileName)
{
    QPointer<QFileDialog> dialog = new QFileDialog(parent);
    rejectWhenMinimised(dialog);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(mode);
    // AnyFile: the Open dialog takes a typed name of a missing file; loading it reports the error.
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setOption(QFileDialog::DontConfirmOverwrite);
    dialog->setNameFilter(QtDialogs::kTextFilter);
    // Only a new name is given the extension: an open takes the name typed, which may be a file
    // without one.
    if (mode == QFileDialog::AcceptSave)
        dialog->setDefaultSuffix(QtDialogs::kDefaultSuffix);
    if (!fileName.isEmpty())
        dialog->selectFile(fileName);
    const int result = dialog->exec();
    if (dialog.isNull())
        return false;
    const QStringList files = dialog->selectedFiles();
    delete dialog;
    if (result != QDialog::Accepted || files.isEmpty() || files.first().isEmpty())
        return false;
    fileName = files.first();
    return true;
}

} // namespace

QtDialogs::QtDialogs(QWidget* parent) : m_parent(parent) {}

Answer QtDialogs::confirm(const QString& text)
{
    QPointer<QMessageBox> box = new CentredMessageBox(m_parent);
    rejectWhenMinimised(box);
    box->setWindowTitle(kConfirmTitle);
    box->setIcon(QMessageBox::Question);
    box->setText(text);
    QPushButton* yes = box->addButton(QStringLiteral("&Yes"), QMessageBox::YesRole);
    QPushButton* no = box->addButton(QStringLiteral("&No"), QMessageBox::NoRole);
    QPushButton* cancel = box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(yes);
    box->setEscapeButton(cancel);
    box->exec();
    if (box.isNull())
        return Answer::Cancel;
    const QAbstractButton* clicked = box->clickedButton();
    delete box;
    if (clicked == yes)
        return Answer::Yes;
    if (clicked == no)
        return Answer::No;
    return Answer::Cancel;
}

void QtDialogs::error(const QString& text)
{
    QPointer<QMessageBox> box = new QMessageBox(QMessageBox::Critical, kApplicationTitle, errorBoxText(text),
                                                QMessageBox::Ok, m_parent);
    rejectWhenMinimised(box);
    box->exec();
    delete box;
}

bool QtDialogs::executeOpen(QString& fileName)
{
    return executeFileDialog(m_parent, QFileDialog::AcceptOpen, fileName);
}

bool QtDialogs::executeSave(QString& fileName)
{
    return executeFileDialog(m_parent, QFileDialog::AcceptSave, fileName);
}

bool QtDialogs::executeFont(FontChoice& font)
{
    QFont initial(font.family, font.pointSize, font.bold ? QFont::Bold : QFont::Normal, font.italic);
    // A substituted family ("Courier New") is not in the dialog's list; show the font in use.
    const QString shownFamily = isInstalledFamily(font.family) ? font.family : QFontInfo(initial).family();
    initial.setFamily(shownFamily);

    QPointer<QFontDialog> dialog = new QFontDialog(m_parent);
    rejectWhenMinimised(dialog);
    dialog->setOption(QFontDialog::DontUseNativeDialog);
    hideEffects(*dialog);
    dialog->setCurrentFont(initial);
    const int result = dialog->exec();
    if (dialog.isNull())
        return false;
    const QFont chosen = dialog->selectedFont();
    delete dialog;
    if (result != QDialog::Accepted)
        return false;

    // Keep the name the settings know when the user kept the typeface it stands for.
    const QString family = chosen.family();
    font.family = family.compare(shownFamily, Qt::CaseInsensitive) == 0 ? font.family : family;
    font.pointSize = chosen.pointSize() > 0 ? chosen.pointSize() : font.pointSize;
    font.bold = chosen.bold();
    font.italic = chosen.italic();
    return true;
}

} // namespace quindle
