#pragma once

#include <QFormLayout>
#include <QString>

// A labelled row whose label names the control for screen readers too.
template <typename Widget>
Widget *labelledRow(QFormLayout *form, const QString &label, Widget *widget, const QString &name) {
    widget->setObjectName(name);
    widget->setAccessibleName(QString(label).remove(u'&').remove(u':'));
    form->addRow(label, widget);
    return widget;
}
