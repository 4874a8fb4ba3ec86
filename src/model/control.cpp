#include "model/control.h"

Control::Control(const QString &name, QObject *parent) : QObject(parent) {
    setObjectName(name);
}

void Control::setText(const QString &text) {
    if (text == m_text)
        return;
    m_text = text;
    emit changed();
    emit Change();
}

void Control::setVisible(bool visible) {
    if (visible == m_visible)
        return;
    m_visible = visible;
    emit changed();
}

void Control::setEnabled(bool enabled) {
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    emit changed();
}

void Control::setLocked(bool locked) {
    if (locked == m_locked)
        return;
    m_locked = locked;
    emit changed();
}

void Control::setValue(int value) {
    if (value == 1) {
        for (Control *other : std::as_const(m_options))
            other->setValue(0);
    }
    if (value == m_value)
        return;
    m_value = value;
    emit changed();
}

void Control::setForeColour(ForeColour colour) {
    if (colour == m_foreColour)
        return;
    m_foreColour = colour;
    emit changed();
}

void Control::setToolTip(const QString &tip) {
    if (tip == m_toolTip)
        return;
    m_toolTip = tip;
    emit changed();
}

void Control::setDesignHeight(int height) {
    if (height == m_height)
        return;
    m_height = height;
    emit changed();
}

void Control::Click() {
    if (m_enabled)
        emit clicked();
}

void Control::joinOptions(std::initializer_list<Control *> options) {
    for (Control *option : options) {
        for (Control *other : options) {
            if (other != option)
                option->m_options.append(other);
        }
    }
}
