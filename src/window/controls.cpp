#include "window/controls.h"

#include "window/fore_colour.h"
#include "window/received_data_box.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <limits>
#include <vector>

namespace {

// A check box the operator toggles between on and off; only code sets the grey state.
class CheckBox final : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void nextCheckState() override {
        setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
    }
};

QFont namedFont(const QString &family, qreal points, bool bold = false) {
    QFont font(family);
    font.setPointSizeF(points);
    font.setBold(bold);
    // The usual stand-ins are wider than the named faces; narrowed, captions fit their boxes.
    if (!QFontDatabase::hasFamily(family))
        font.setStretch(QFont::SemiCondensed);
    return font;
}

QFont tahoma() {
    return namedFont(QStringLiteral("Tahoma"), 6.75);
}

QFont msSansSerif() {
    return namedFont(QStringLiteral("MS Sans Serif"), 8.25);
}

// Builds the controls in design order and remembers each one's tab position.
class Builder {
public:
    explicit Builder(QWidget *window) : m_window(window) {}

    template <typename T>
    T *add(T *widget, const QString &name, int left, int top, int width, int height, int tab) {
        widget->setObjectName(name);
        widget->setGeometry(pixelsFromTwips(left), pixelsFromTwips(top), pixelsFromTwips(width),
                            pixelsFromTwips(height));
        // Shown explicitly, so "visible" reads true before the window itself is shown.
        widget->setVisible(true);
        m_tabs.push_back({tab, widget});
        return widget;
    }

    QLabel *label(const Control &control, int left, int top, int width, int height, int tab,
                  QWidget *parent = nullptr) {
        auto *label = add(new QLabel(control.Caption(), parent ? parent : m_window),
                          control.objectName(), left, top, width, height, tab);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        m_labels.push_back(label);
        return label;
    }

    QLineEdit *lineEdit(const Control &control, int left, int top, int width, int height, int tab) {
        auto *box = add(new QLineEdit(control.Text(), m_window), control.objectName(), left, top,
                        width, height, tab);
        // A box holds whatever length the settings file holds, not Qt's default of 32,767.
        box->setMaxLength(std::numeric_limits<int>::max());
        // A pasted line break would make the text used differ from the text stored.
        QObject::connect(box, &QLineEdit::textChanged, box, [box](const QString &changed) {
            if (!changed.contains(u'\r') && !changed.contains(u'\n'))
                return;
            const int caret = box->cursorPosition();
            QString kept = changed;
            const int before = int(kept.left(caret).count(u'\r') + kept.left(caret).count(u'\n'));
            kept.remove(u'\r').remove(u'\n');
            box->setText(kept);
            box->setCursorPosition(caret - before);
        });
        return box;
    }

    QPushButton *button(const Control &control, int left, int top, int width, int height, int tab) {
        auto *button = add(new QPushButton(control.Caption(), m_window), control.objectName(), left,
                           top, width, height, tab);
        button->setAutoDefault(false);
        return button;
    }

    // Focus follows the tab positions; labels stay beneath every other control.
    void finish() {
        std::stable_sort(m_tabs.begin(), m_tabs.end(),
                         [](const Entry &a, const Entry &b) { return a.tab < b.tab; });
        QWidget *previous = nullptr;
        for (const Entry &entry : m_tabs) {
            if (entry.widget->focusPolicy() == Qt::NoFocus)
                continue;
            if (previous)
                QWidget::setTabOrder(previous, entry.widget);
            previous = entry.widget;
        }
        for (QLabel *label : m_labels)
            label->lower();
    }

private:
    struct Entry {
        int tab;
        QWidget *widget;
    };
    QWidget *m_window;
    std::vector<Entry> m_tabs;
    std::vector<QLabel *> m_labels;
};

void setMultiLine(QAbstractScrollArea *box) {
    if (auto *edit = qobject_cast<QPlainTextEdit *>(box))
        edit->setLineWrapMode(QPlainTextEdit::NoWrap);
    box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    box->setFont(msSansSerif());
}

// Qt's automatic exclusivity spans a parent's whole subtree, which would join the window's
// receive-type buttons with the protocol buttons inside Frame4; a group keeps them apart.
void exclusiveGroup(const std::array<QRadioButton *, 2> &options, QObject *owner) {
    auto *group = new QButtonGroup(owner);
    for (int i = 0; i < int(options.size()); ++i)
        group->addButton(options[i], i);
}

// The listening port's label and box.
void buildListenPort(Builder &b, Controls &c, const Form &f) {
    c.lblListenPort = b.label(f.lblListenPort, 105, 90, 855, 210, 6);
    c.lblListenPort->setFont(tahoma());
    c.txtListenPort = b.lineEdit(f.txtListenPort, 105, 255, 1125, 285, 2);
    setForeColour(c.txtListenPort, QPalette::Text,
                  c.txtListenPort->palette().color(QPalette::ButtonText));
}

// TCP or UDP: two blank-captioned buttons in their own frame.
void buildProtocolChoice(Builder &b, Controls &c, const Form &f, QWidget *window) {
    c.lblListenTCP = b.label(f.lblListenTCP, 1365, 90, 750, 225, 7);
    c.lblListenTCP->setFont(tahoma());
    c.Frame4 = b.add(new QFrame(window), QStringLiteral("Frame4"), 1425, 270, 705, 315, 3);
    c.Frame4->setFrameShape(QFrame::NoFrame);
    // Its caption is never shown; a screen reader names the group as the label beside it does.
    c.Frame4->setWindowTitle(QStringLiteral("Frame1"));
    c.Frame4->setAccessibleName(QStringLiteral("TCP/UDP"));
    c.optTCP[0] = b.add(new QRadioButton(f.optTCP[0]->Caption(), c.Frame4),
                        f.optTCP[0]->objectName(), 0, 0, 285, 285, 4);
    c.optTCP[1] = b.add(new QRadioButton(c.Frame4), f.optTCP[1]->objectName(), 390, 0, 285, 285, 5);
    // Their captions are blank: the names and tips say which is which.
    for (int i = 0; i < 2; ++i) {
        const QString protocol = i == 0 ? QStringLiteral("TCP") : QStringLiteral("UDP");
        c.optTCP[i]->setAccessibleName(protocol);
        c.optTCP[i]->setToolTip(protocol);
    }
    exclusiveGroup(c.optTCP, c.Frame4);
    c.optTCP[0]->setChecked(true);
}

// Start and Stop in one place, the listener's status line and Clear Data.
void buildStartStop(Builder &b, Controls &c, const Form &f) {
    c.btnConnect = b.button(f.btnConnect, 2280, 150, 1980, 390, 0);
    c.btnDisconnect = b.button(f.btnDisconnect, 2280, 150, 1980, 390, 11);
    const QFont bigButton = namedFont(QStringLiteral("Microsoft Sans Serif"), 14.25, true);
    c.btnConnect->setFont(bigButton);
    c.btnDisconnect->setFont(bigButton);
    c.btnDisconnect->setVisible(false);
    c.lblStatus[0] = b.label(*f.lblStatus[0], 4230, 150, 3855, 390, 1);
    c.lblStatus[0]->setIndent(3); // clear of the Start button's edge, which overlaps it
    c.Command1 = b.button(f.Command1, 8160, 150, 1485, 390, 10);
}

void buildReceiveType(Builder &b, Controls &c, const Form &f, QWidget *window) {
    c.Label6 = b.label(f.Label6, 105, 840, 1455, 195, 40);
    c.optReceiveType[0] = b.add(new QRadioButton(f.optReceiveType[0]->Caption(), window),
                                f.optReceiveType[0]->objectName(), 1530, 840, 1725, 195, 38);
    c.optReceiveType[1] = b.add(new QRadioButton(f.optReceiveType[1]->Caption(), window),
                                f.optReceiveType[1]->objectName(), 3405, 840, 6255, 195, 39);
    exclusiveGroup(c.optReceiveType, window);
    c.optReceiveType[0]->setChecked(true);
}

void buildReceiveLog(Builder &b, Controls &c, const Form &f, QWidget *window) {
    c.chkLogData = b.add(new CheckBox(f.chkLogData.Caption(), window), QStringLiteral("chkLogData"),
                         120, 1410, 2805, 225, 13);
    c.Label2 = b.label(f.Label2, 2925, 1275, 3825, 270, 16);
    c.Label2->setFont(tahoma());
    c.txtLogPath = b.lineEdit(f.txtLogPath, 2925, 1440, 6390, 285, 14);
    c.btnLogLocation = b.button(f.btnLogLocation, 9315, 1440, 330, 285, 15);
    c.btnLogLocation->setToolTip(QStringLiteral("Choose the log folder"));
}

void buildReceivedData(Builder &b, Controls &c, const Form &f, QWidget *window,
                       ReceivedData &received) {
    c.Label1 = b.label(f.Label1, 120, 1800, 1065, 210, 9);
    c.Label1->setFont(tahoma());
    c.lblStatus[1] = b.label(*f.lblStatus[1], 1290, 1800, 8370, 210, 12);
    c.txtNetData = b.add(new ReceivedDataBox(received, window), QStringLiteral("txtNetData"), 120,
                         1980, 9510, 3420, 8);
    setMultiLine(c.txtNetData);
}

void buildSendSection(Builder &b, Controls &c, const Form &f, QWidget *window) {
    c.lblStatus[2] = b.label(*f.lblStatus[2], 1290, 5445, 8370, 210, 44);
    c.Label5 = b.label(f.Label5, 120, 5460, 1065, 210, 35);
    c.Label5->setFont(tahoma());
    c.txtSendData =
        b.add(new QPlainTextEdit(window), QStringLiteral("txtSendData"), 120, 5640, 9510, 3735, 34);
    setMultiLine(c.txtSendData);
    // Tab moves on along the tab order, as in the other boxes; a pasted tab is still kept.
    c.txtSendData->setTabChangesFocus(true);
    c.lblSendIP = b.label(f.lblSendIP, 135, 9465, 6600, 240, 41);
    c.txtSendIP = b.lineEdit(f.txtSendIP, 2370, 9420, 1710, 285, 42);
    c.lblSendState = b.label(f.lblSendState, 6660, 9540, 255, 315, 43);
    setForeColour(c.lblSendState, QPalette::WindowText,
                  c.lblSendState->palette().color(QPalette::Dark));
    c.lblSendState->setAccessibleDescription(
        QStringLiteral("The state of the sending socket, in grey as it only informs: 0 closed, "
                       "1 open, 2 listening, 3 connection pending, 4 resolving the host, 5 host "
                       "resolved, 6 connecting, 7 connected, 8 closing, 9 error"));
    c.btnClearSendData = b.button(f.btnClearSendData, 6975, 9435, 1290, 435, 37);
    c.btnSendData = b.button(f.btnSendData, 8325, 9435, 1290, 435, 36);
}

void buildAutoRespond(Builder &b, Controls &c, const Form &f, QWidget *window) {
    c.chkEnableAutoRespond = b.add(new CheckBox(f.chkEnableAutoRespond.Caption(), window),
                                   f.chkEnableAutoRespond.objectName(), 135, 9855, 3015, 240, 17);
    c.Label3 = b.label(f.Label3, 105, 10125, 2295, 195, 18);
    c.Label4 = b.label(f.Label4, 4920, 10125, 2295, 195, 19);
    for (int i = 0; i < int(c.txtWatchString.size()); ++i) {
        const int top = 10335 + 300 * i;
        c.txtWatchString[i] = b.lineEdit(*f.txtWatchString[i], 90, top, 4785, 285, 20 + 2 * i);
        c.txtResponseString[i] =
            b.lineEdit(*f.txtResponseString[i], 4905, top, 4785, 285, 21 + 2 * i);
        c.txtWatchString[i]->setAccessibleName(QStringLiteral("Watch String %1").arg(i + 1));
        c.txtResponseString[i]->setAccessibleName(QStringLiteral("Response String %1").arg(i + 1));
    }
}

} // namespace

Controls buildControls(QWidget *window, Form &form) {
    Controls c;
    Builder b(window);
    c.frmMain = window;
    window->setFont(namedFont(QStringLiteral("Microsoft Sans Serif"), 8.25));

    // In design order: the listener strip, the receive type, the log, the received data, the send
    // section and the auto-respond pairs.
    buildListenPort(b, c, form);
    buildProtocolChoice(b, c, form, window);
    buildStartStop(b, c, form);
    buildReceiveType(b, c, form, window);
    buildReceiveLog(b, c, form, window);
    buildReceivedData(b, c, form, window, form.txtNetData);
    buildSendSection(b, c, form, window);
    buildAutoRespond(b, c, form, window);

    // The labels beside the boxes name them (the binding keeps the names to the captions).
    c.lblListenPort->setBuddy(c.txtListenPort);
    c.Label2->setBuddy(c.txtLogPath);
    c.Label1->setBuddy(c.txtNetData);
    c.Label5->setBuddy(c.txtSendData);
    c.lblSendIP->setBuddy(c.txtSendIP);

    for (QLabel *status : c.lblStatus)
        status->setFont(tahoma());

    b.finish();

    window->resize(pixelsFromTwips(ClientWidthTwips), pixelsFromTwips(FullLayout.form));
    return c;
}

void setForeColour(QWidget *widget, QPalette::ColorRole role, const QColor &colour) {
    // The disabled look stays the style's, so a control that cannot be used still looks it.
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Active, role, colour);
    palette.setColor(QPalette::Inactive, role, colour);
    widget->setPalette(palette);
}
