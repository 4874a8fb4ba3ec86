#include "window/text_zoom.h"

#include "window/received_data_box.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QWheelEvent>

#include <algorithm>

namespace {

constexpr int Normal = 100;
constexpr int WheelNotch = 120; // eighths of a degree

} // namespace

bool hasEvenAdvances(const QFont &font) {
    const QFontMetricsF metrics(font);
    const qreal advance = metrics.horizontalAdvance(u'W');
    return advance > 0 && metrics.horizontalAdvance(u'i') == advance
           && metrics.horizontalAdvance(u'0') == advance;
}

QFont evenFont(const QFont &preferred) {
    if (hasEvenAdvances(preferred))
        return preferred;
    // Families that call themselves fixed pitch first; a family the system substitutes by
    // another does not count as itself.
    const QStringList families = QFontDatabase::families();
    for (const bool fixed : {true, false}) {
        for (const QString &family : families) {
            if (QFontDatabase::isFixedPitch(family) != fixed
                || QFontDatabase::isPrivateFamily(family))
                continue;
            QFont font = preferred;
            font.setFamilies({family});
            if (QFontInfo(font).family() == family && hasEvenAdvances(font))
                return font;
        }
    }
    return preferred;
}

TextZoom::TextZoom(int &percent, ReceivedDataBox *received, QPlainTextEdit *send)
    : QObject(send), m_percent(percent), m_received(received), m_send(send),
      m_sendFont(send->font()) {
    // Read-only, the received-data box would zoom itself on its own terms.
    received->viewport()->installEventFilter(this);
    send->viewport()->installEventFilter(this);
}

void TextZoom::show() {
    m_percent = std::clamp(m_percent, Smallest, Largest);
    m_received->setZoom(m_percent);
    QFont font = m_sendFont;
    if (font.pointSizeF() > 0)
        font.setPointSizeF(m_sendFont.pointSizeF() * m_percent / Normal);
    m_send->setFont(font);
}

void TextZoom::zoomTo(int percent) {
    m_percent = percent;
    show();
}

bool TextZoom::zoomKey(const QKeyEvent &event) {
    const Qt::KeyboardModifiers modifiers = event.modifiers();
    if (!(modifiers & Qt::ControlModifier) || (modifiers & (Qt::AltModifier | Qt::MetaModifier)))
        return false;
    switch (event.key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        zoomTo(m_percent + Step);
        return true;
    case Qt::Key_Minus:
        zoomTo(m_percent - Step);
        return true;
    case Qt::Key_0:
        zoomTo(Normal);
        return true;
    default:
        return false;
    }
}

bool TextZoom::eventFilter(QObject *, QEvent *event) {
    if (event->type() != QEvent::Wheel)
        return false;
    const auto *wheel = static_cast<QWheelEvent *>(event);
    if (!(wheel->modifiers() & Qt::ControlModifier))
        return false;
    m_wheel += wheel->angleDelta().y();
    const int notches = m_wheel / WheelNotch;
    m_wheel -= notches * WheelNotch;
    if (notches != 0)
        zoomTo(m_percent + notches * Step);
    return true;
}
