#pragma once

#include <QPalette>

class QWidget;

// A control's text colour, as the window model's ForeColor sets it.
void setForeColour(QWidget *widget, QPalette::ColorRole role, const QColor &colour);
