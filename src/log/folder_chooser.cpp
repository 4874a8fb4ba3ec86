#include "log/folder_chooser.h"

#include "form/controls.h"
#include "runtime/paths.h"

#include <QDir>
#include <QFileDialog>
#include <QLineEdit>

QString BrowseForFolder(QWidget *owner, const QString &title) {
    // It opens at the top of the file system, not in whatever folder the program started in.
    const QString folder = QFileDialog::getExistingDirectory(owner, title, QDir::rootPath(),
                                                             QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return {};
    return QDir::toNativeSeparators(folder);
}

FolderChooser::FolderChooser(Controls &controls, Browser browse)
    : m_controls(controls), m_browse(std::move(browse)) {}

void FolderChooser::btnLogLocation_Click() {
    if (!m_browse)
        return;
    const QString path = m_browse(m_controls.frmMain, QStringLiteral("Select a folder"));
    if (path.isEmpty())
        return;
    m_controls.txtLogPath->setText(withFinalSeparator(path));
}
