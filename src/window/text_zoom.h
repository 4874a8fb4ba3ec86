#pragma once

#include <QFont>
#include <QObject>

class QKeyEvent;
class QPlainTextEdit;
class ReceivedDataBox;

// Whether "i", "W" and "0" take one advance in `font`: what a hex dump's columns need to line up.
// A font may have that and still not call itself fixed pitch.
bool hasEvenAdvances(const QFont &font);
// `preferred` when its advances are even, else the first family on the system whose are, at
// `preferred`'s size; `preferred` when no family has them.
QFont evenFont(const QFont &preferred);

// The text size of the received-data box and the send box together, in percent, from 50 to 400
// in steps of 10: Ctrl+Plus (or Ctrl+=) and Ctrl+Minus step it, Ctrl+0 goes back to 100, and
// the mouse wheel with Ctrl held over either box steps it too. The form keeps the percentage for
// the settings.
class TextZoom final : public QObject {
    Q_OBJECT

public:
    static constexpr int Smallest = 50;
    static constexpr int Largest = 400;
    static constexpr int Step = 10;

    // `percent` is the program's, kept by the settings.
    TextZoom(int &percent, ReceivedDataBox *received, QPlainTextEdit *send);

    // Shows the percentage, as the settings left it.
    void show();
    // Carries out a zoom key; false for any other key.
    bool zoomKey(const QKeyEvent &event);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void zoomTo(int percent);

    int &m_percent;
    ReceivedDataBox *m_received;
    QPlainTextEdit *m_send;
    QFont m_sendFont; // the send box's own font
    int m_wheel = 0;  // wheel turn not yet used, in eighths of a degree
};
