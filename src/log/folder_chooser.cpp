#include "log/folder_chooser.h"

#include "model/form.h"
#include "model/operator_dialogs.h"

FolderChooser::FolderChooser(Form &form, OperatorDialogs &dialogs)
    : m_form(form), m_dialogs(dialogs) {}

void FolderChooser::btnLogLocation_Click() {
    const QString path = m_dialogs.BrowseForFolder(QStringLiteral("Select a folder"));
    if (path.isEmpty())
        return;
    setLogFolder(m_form, path);
}
