#include "window/form_binding.h"

#include "model/form.h"
#include "sender/send_bytes.h"
#include "window/controls.h"
#include "window/fore_colour.h"
#include "window/received_data_box.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTextDocument>

namespace {

QColor colourOf(ForeColour colour, const QColor &design) {
    switch (colour) {
    case ForeColour::Design:
        return design;
    case ForeColour::WindowText:
        return QApplication::palette().color(QPalette::Active, QPalette::WindowText);
    case ForeColour::GrayText:
        return QApplication::palette().color(QPalette::Disabled, QPalette::Text);
    case ForeColour::Error:
        return Qt::red;
    }
    return design;
}

// Visible, Enabled, the fore colour and the tool tip, which every kind of control shows alike.
// The tool tip, the widget's own when the control has none, is also what a screen reader reads
// as the control's description: why the log folder box is red, say.
void bindCommon(Control &control, QWidget *widget, QPalette::ColorRole textRole) {
    const QColor design = widget->palette().color(QPalette::Active, textRole);
    const QString designTip = widget->toolTip();
    const auto show = [&control, widget, textRole, design, designTip] {
        if (widget->isVisibleTo(widget->parentWidget()) != control.Visible())
            widget->setVisible(control.Visible());
        widget->setEnabled(control.Enabled());
        const QColor colour = colourOf(control.foreColour(), design);
        if (widget->palette().color(QPalette::Active, textRole) != colour)
            setForeColour(widget, textRole, colour);
        const QString tip = control.toolTip().isEmpty() ? designTip : control.toolTip();
        if (widget->toolTip() != tip) {
            widget->setToolTip(tip);
            widget->setAccessibleDescription(control.toolTip());
        }
    };
    QObject::connect(&control, &Control::changed, widget, show);
    show();
}

void bindLineEdit(Control &control, QLineEdit *box) {
    bindCommon(control, box, QPalette::Text);
    const auto show = [&control, box] {
        box->setReadOnly(control.Locked());
        if (box->text() == control.Text())
            return;
        const int caret = box->cursorPosition();
        box->setText(control.Text());
        box->setCursorPosition(qMin(caret, int(control.Text().size())));
    };
    QObject::connect(&control, &Control::changed, box, show);
    show();
    // The box's text as it stands once the edit is over: a pasted line break is already gone.
    QObject::connect(box, &QLineEdit::textChanged, &control,
                     [&control, box] { control.setText(box->text()); });
}

void bindLabel(Control &control, QLabel *label) {
    bindCommon(control, label, QPalette::WindowText);
    const auto show = [&control, label] {
        if (label->text() != control.Caption())
            label->setText(control.Caption());
    };
    QObject::connect(&control, &Control::changed, label, show);
    show();
}

// A box named by the label beside it: screen readers read the box by the label's caption, less
// its colon, whatever the caption says at the time.
void nameAfter(Control &label, QWidget *box) {
    const auto show = [&label, box] {
        QString name = label.Caption().trimmed();
        if (name.endsWith(u':'))
            name.chop(1);
        if (box->accessibleName() != name)
            box->setAccessibleName(name);
    };
    QObject::connect(&label, &Control::changed, box, show);
    show();
}

void bindButton(Control &control, QPushButton *button) {
    bindCommon(control, button, QPalette::ButtonText);
    QObject::connect(&control, &Control::changed, button,
                     [&control, button] { button->setText(control.Caption()); });
    button->setText(control.Caption());
    QObject::connect(button, &QPushButton::clicked, &control, &Control::Click);
}

// A check box's Value: 0 unchecked, 1 checked, 2 grey (Qt numbers grey as 1).
int valueOfCheckState(Qt::CheckState state) {
    return state == Qt::Checked ? 1 : state == Qt::PartiallyChecked ? 2 : 0;
}

Qt::CheckState checkStateOfValue(int value) {
    return value == 1 ? Qt::Checked : value == 2 ? Qt::PartiallyChecked : Qt::Unchecked;
}

void bindCheckBox(Control &control, QCheckBox *box) {
    bindCommon(control, box, QPalette::WindowText);
    const auto show = [&control, box] {
        box->setText(control.Caption());
        box->setCheckState(checkStateOfValue(control.Value()));
    };
    QObject::connect(&control, &Control::changed, box, show);
    show();
    QObject::connect(box, &QCheckBox::stateChanged, &control,
                     [&control, box] { control.setValue(valueOfCheckState(box->checkState())); });
}

void bindOption(Control &control, QRadioButton *option) {
    bindCommon(control, option, QPalette::WindowText);
    const auto show = [&control, option] {
        option->setText(control.Caption());
        option->setChecked(control.isOn());
    };
    QObject::connect(&control, &Control::changed, option, show);
    show();
    QObject::connect(option, &QRadioButton::toggled, &control, [&control](bool on) {
        if (on)
            control.setValue(1);
    });
}

void bindSendBox(Control &control, QPlainTextEdit *box) {
    bindCommon(control, box, QPalette::Text);
    // The raw text, not toPlainText(): that also turns a no-break space into a blank.
    const auto held = [box] { return heldSendText(box->document()->toRawText()); };
    const auto show = [&control, box, held] {
        if (held() != control.Text())
            box->setPlainText(control.Text());
    };
    QObject::connect(&control, &Control::changed, box, show);
    show();
    QObject::connect(box, &QPlainTextEdit::textChanged, &control,
                     [&control, held] { control.setText(held()); });
}

} // namespace

void bindForm(Form &f, Controls &w) {
    bindLabel(f.lblListenPort, w.lblListenPort);
    bindLineEdit(f.txtListenPort, w.txtListenPort);
    bindLabel(f.lblListenTCP, w.lblListenTCP);
    for (int i = 0; i < 2; ++i) {
        bindOption(*f.optTCP[i], w.optTCP[i]);
        bindOption(*f.optReceiveType[i], w.optReceiveType[i]);
    }
    bindButton(f.btnConnect, w.btnConnect);
    bindButton(f.btnDisconnect, w.btnDisconnect);
    for (int i = 0; i < 3; ++i)
        bindLabel(*f.lblStatus[i], w.lblStatus[i]);
    bindButton(f.Command1, w.Command1);
    bindLabel(f.Label6, w.Label6);
    bindCheckBox(f.chkLogData, w.chkLogData);
    bindLabel(f.Label2, w.Label2);
    bindLineEdit(f.txtLogPath, w.txtLogPath);
    bindButton(f.btnLogLocation, w.btnLogLocation);
    bindLabel(f.Label1, w.Label1);
    bindLabel(f.Label5, w.Label5);
    bindSendBox(f.txtSendData, w.txtSendData);
    bindLabel(f.lblSendIP, w.lblSendIP);
    bindLineEdit(f.txtSendIP, w.txtSendIP);
    bindLabel(f.lblSendState, w.lblSendState);
    bindButton(f.btnClearSendData, w.btnClearSendData);
    bindButton(f.btnSendData, w.btnSendData);
    bindCheckBox(f.chkEnableAutoRespond, w.chkEnableAutoRespond);
    bindLabel(f.Label3, w.Label3);
    bindLabel(f.Label4, w.Label4);
    for (int i = 0; i < PairCount; ++i) {
        bindLineEdit(*f.txtWatchString[i], w.txtWatchString[i]);
        bindLineEdit(*f.txtResponseString[i], w.txtResponseString[i]);
    }
    nameAfter(f.lblListenPort, w.txtListenPort);
    nameAfter(f.Label2, w.txtLogPath);
    nameAfter(f.Label1, w.txtNetData);
    nameAfter(f.Label5, w.txtSendData);
    nameAfter(f.lblSendIP, w.txtSendIP);
}
