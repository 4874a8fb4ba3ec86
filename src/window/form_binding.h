#pragma once

class Control;
class Form;
class QWidget;
struct Controls;

// Binds every widget of the window to its control in the form, both ways: an operator's edit or
// press goes to the form (which raises the control's Change or Click), and every change of the
// form shows in its widget. Lives as long as the widgets.
void bindForm(Form &form, Controls &widgets);
