#pragma once

#include <QObject>
#include <QString>

// The text colours a control shows, by name; the window picks the actual colour.
enum class ForeColour {
    Design,     // the colour the control was built with
    WindowText, // the system's window-text colour
    GrayText,   // the system's grey-text colour, of a locked box
    Error,      // red: what the box names did not work
};

// One control of the window as plain values: what the handlers read and write, and what the
// window shows. Every change of a value is announced by changed(); Change() announces a new
// text, as the text box's own Change event does, whoever set it. A view (the window, the
// command line) raises the operator's actions with Click().
class Control final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Control)

public:
    explicit Control(const QString &name, QObject *parent = nullptr);

    // A box's Text; the Caption of a label, button, check box or option button.
    const QString &Text() const { return m_text; }
    void setText(const QString &text);
    const QString &Caption() const { return m_text; }
    void setCaption(const QString &caption) { setText(caption); }

    bool Visible() const { return m_visible; }
    void setVisible(bool visible);
    void show() { setVisible(true); }
    void hide() { setVisible(false); }
    bool Enabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    // A locked box keeps the operator from typing into it.
    bool Locked() const { return m_locked; }
    void setLocked(bool locked);
    // Check box: 0 unchecked, 1 checked, 2 grey. Option button: 1 True, 0 False; setting one
    // True sets the other options of its group False.
    int Value() const { return m_value; }
    void setValue(int value);
    bool isOn() const { return m_value == 1; }
    ForeColour foreColour() const { return m_foreColour; }
    void setForeColour(ForeColour colour);
    // What the control says when asked about it (hovered, or read by a screen reader); the log
    // folder box gives the reason an entry was not written.
    const QString &toolTip() const { return m_toolTip; }
    void setToolTip(const QString &tip);
    // In the units the form is drawn in (see LayoutHeights); the layouts set frmMain's.
    int designHeight() const { return m_height; }
    void setDesignHeight(int height);

    // The operator pressed the control; a disabled control cannot be pressed.
    void Click();

    // Option buttons that exclude each other.
    static void joinOptions(std::initializer_list<Control *> options);

signals:
    void changed();
    void Change();
    void clicked();

private:
    QList<Control *> m_options;
    QString m_text;
    QString m_toolTip;
    int m_value = 0;
    int m_height = 0;
    ForeColour m_foreColour = ForeColour::Design;
    bool m_visible = true;
    bool m_enabled = true;
    bool m_locked = false;
};
