#pragma once

class Form;
class OperatorDialogs;

// The "..." button beside the log folder box.
class FolderChooser {
public:
    FolderChooser(Form &form, OperatorDialogs &dialogs);

    void btnLogLocation_Click();

private:
    Form &m_form;
    OperatorDialogs &m_dialogs;
};
