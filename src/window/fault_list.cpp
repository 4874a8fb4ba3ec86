#include "window/fault_list.h"

#include "window/fault_dialog.h"

#include <QGridLayout>
#include <QHeaderView>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>

using namespace Qt::Literals::StringLiterals;

namespace {

enum Column { Name, Type, Stream, Action, ColumnCount };

} // namespace

FaultList::FaultList(const QList<Fault> &faults, bool datagrams, QWidget *parent)
    : QWidget(parent), m_faults(faults), m_datagrams(datagrams) {
    m_table = new QTreeWidget(this);
    m_table->setObjectName(u"relayFaults"_s);
    m_table->setAccessibleName(u"Named faults, in the order they act"_s);
    m_table->setRootIsDecorated(false);
    m_table->setHeaderLabels({u"Name"_s, u"Type"_s, u"Stream"_s, u"What it does"_s});
    m_table->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    // Room for what a fault does, the longest words the list shows.
    m_table->setMinimumSize(m_table->fontMetrics().averageCharWidth() * 80,
                            m_table->fontMetrics().height() * 7);
    setFocusProxy(m_table);
    for (int row = 0; row < m_faults.size(); ++row) {
        m_table->addTopLevelItem(new QTreeWidgetItem);
        showRow(row);
    }
    m_add = new QPushButton(u"&Add..."_s, this);
    m_add->setObjectName(u"addFault"_s);
    m_add->setAccessibleName(u"Add a fault"_s);
    m_edit = new QPushButton(u"&Edit..."_s, this);
    m_edit->setObjectName(u"editFault"_s);
    m_edit->setAccessibleName(u"Edit the fault"_s);
    m_remove = new QPushButton(u"Remo&ve"_s, this);
    m_remove->setObjectName(u"removeFault"_s);
    m_remove->setAccessibleName(u"Remove the fault"_s);
    for (QPushButton *button : {m_add, m_edit, m_remove})
        button->setAutoDefault(false);
    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(m_table, 0, 0, 4, 1);
    grid->addWidget(m_add, 0, 1);
    grid->addWidget(m_edit, 1, 1);
    grid->addWidget(m_remove, 2, 1);
    const auto selected = [this] {
        const bool any = m_table->currentItem() != nullptr;
        m_edit->setEnabled(any);
        m_remove->setEnabled(any);
        m_add->setEnabled(m_faults.size() < Fault::MaxFaults);
    };
    connect(m_table, &QTreeWidget::currentItemChanged, this, selected);
    connect(m_table, &QTreeWidget::itemDoubleClicked, this, &FaultList::editFault);
    connect(m_add, &QPushButton::clicked, this, &FaultList::addFault);
    connect(m_edit, &QPushButton::clicked, this, &FaultList::editFault);
    connect(m_remove, &QPushButton::clicked, this, &FaultList::removeFault);
    selected();
}

QList<Fault> FaultList::faults() const {
    QList<Fault> listed = m_faults;
    for (int row = 0; row < listed.size(); ++row)
        listed[row].enabled = m_table->topLevelItem(row)->checkState(Name) == Qt::Checked;
    return listed;
}

void FaultList::showRow(int row) {
    const Fault &fault = m_faults.at(row);
    QTreeWidgetItem *item = m_table->topLevelItem(row);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setText(Name, fault.name);
    item->setCheckState(Name, fault.enabled ? Qt::Checked : Qt::Unchecked);
    item->setText(Type, QLatin1StringView(faultKindInfo(fault.kind).name));
    item->setText(Stream, fault.up ? u"upstream"_s : u"downstream"_s);
    QString action = faultActionText(fault);
    if (!fault.after.watch.isEmpty())
        action += u", after a match"_s;
    const FaultKindInfo &info = faultKindInfo(fault.kind);
    const bool idle = m_datagrams ? !info.datagrams : !info.streams;
    if (idle)
        action += m_datagrams ? u" (TCP only)"_s : u" (UDP only)"_s;
    item->setText(Action, action);
    // Greyed, and said in words for a screen reader and a tool tip.
    const QString idleText =
        idle ? (m_datagrams ? u"Acts only over TCP; over UDP it does nothing."_s
                            : u"Acts only over UDP; over TCP it does nothing."_s)
             : QString();
    for (int column = 0; column < ColumnCount; ++column) {
        item->setForeground(
            column, palette().brush(idle ? QPalette::Disabled : QPalette::Active, QPalette::Text));
        item->setToolTip(column, idle ? action + u"\n"_s + idleText : action);
        item->setData(column, Qt::AccessibleDescriptionRole, idleText);
    }
}

bool FaultList::edit(Fault &fault, int row) {
    QStringList taken;
    for (int other = 0; other < m_faults.size(); ++other) {
        if (other != row)
            taken.append(m_faults[other].name);
    }
    const QPointer<FaultDialog> dialog = new FaultDialog(fault, taken, this);
    const bool accepted = dialog->exec() == QDialog::Accepted;
    if (!dialog)
        return false;
    if (accepted)
        fault = dialog->fault();
    dialog->deleteLater();
    return accepted;
}

void FaultList::addFault() {
    Fault fault;
    for (int n = 1; fault.name.isEmpty(); ++n) {
        fault.name = u"fault%1"_s.arg(n);
        for (const Fault &listed : std::as_const(m_faults))
            fault.name = listed.name == fault.name ? QString() : fault.name;
    }
    if (m_faults.size() >= Fault::MaxFaults || !edit(fault, -1))
        return;
    m_faults = faults();
    m_faults.append(fault);
    m_table->addTopLevelItem(new QTreeWidgetItem);
    showRow(int(m_faults.size() - 1));
    m_table->setCurrentItem(m_table->topLevelItem(int(m_faults.size() - 1)));
}

void FaultList::editFault() {
    const int row = m_table->indexOfTopLevelItem(m_table->currentItem());
    if (row < 0)
        return;
    m_faults = faults();
    Fault fault = m_faults[row];
    if (!edit(fault, row))
        return;
    m_faults[row] = fault;
    showRow(row);
}

void FaultList::removeFault() {
    const int row = m_table->indexOfTopLevelItem(m_table->currentItem());
    if (row < 0)
        return;
    m_faults = faults();
    m_faults.removeAt(row);
    delete m_table->takeTopLevelItem(row);
}
