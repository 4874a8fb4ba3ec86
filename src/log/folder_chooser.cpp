#include "log/folder_chooser.h"

#include "form/controls.h"

#include <QDir>
#include <QFileDialog>
#include <QLineEdit>

namespace {

// Either separator counts on Windows; on other systems both are '/'.
bool endsWithSeparator(const QString &path) {
    return path.endsWith(QDir::separator()) || path.endsWith(QLatin1Char('/'));
}

} // namespace

QString BrowseForFolder(QWidget *owner, const QString &title) {
    const QString folder =
        QFileDialog::getExistingDirectory(owner, title, QString(), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return {};
    return QDir::toNativeSeparators(folder);
}

FolderChooser::FolderChooser(Controls &controls, Browser browse)
    : m_controls(controls), m_browse(std::move(browse)) {}

void FolderChooser::btnLogLocation_Click() {
    if (!m_browse)
        return;
    QString path = m_browse(m_controls.frmMain, QStringLiteral("Select a folder"));
    if (path.isEmpty())
        return;
    if (!endsWithSeparator(path))
        path += QDir::separator();
    m_controls.txtLogPath->setText(path);
}
