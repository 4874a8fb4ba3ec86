#pragma once

#include "model/fault.h"

#include <QWidget>

class QPushButton;
class QTreeWidget;

// The relay's named faults in the Network Options: one row each (name, type, stream, what it
// does) with its on/off check, in the order they stack, and Add, Edit and Remove. A fault of a
// type that does not act over the listener's protocol stays listed and says so.
class FaultList final : public QWidget {
    Q_OBJECT

public:
    FaultList(const QList<Fault> &faults, bool datagrams, QWidget *parent = nullptr);

    // The faults as listed, each with its check.
    QList<Fault> faults() const;

private:
    void addFault();
    void editFault();
    void removeFault();
    void showRow(int row);
    // Opens the fault dialog on `fault`; false when it was cancelled.
    bool edit(Fault &fault, int row);

    QList<Fault> m_faults;
    bool m_datagrams = false;
    QTreeWidget *m_table = nullptr;
    QPushButton *m_add = nullptr;
    QPushButton *m_edit = nullptr;
    QPushButton *m_remove = nullptr;
};
