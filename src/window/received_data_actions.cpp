#include "window/received_data_actions.h"

#include "log/pcapng_writer.h"

#include "model/received_data.h"
#include "runtime/write_failure.h"
#include "window/find_dialog.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QSaveFile>

namespace {

const QString RawBytesFilter = QStringLiteral("Raw bytes (*.bin)");
const QString ShownTextFilter = QStringLiteral("Text as shown (*.txt)");
const QString CaptureFilter = QStringLiteral("pcapng capture (*.pcapng)");

ReceivedDataBox::SaveChoice askWhereToSave(QWidget *owner) {
    QFileDialog dialog(owner, QStringLiteral("Save Received Data As"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters({RawBytesFilter, ShownTextFilter, CaptureFilter});
    // A name typed without a suffix gets the chosen type's, before the overwrite question.
    dialog.setDefaultSuffix(QStringLiteral("bin"));
    QObject::connect(
        &dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString &filter) {
            dialog.setDefaultSuffix(filter == ShownTextFilter ? QStringLiteral("txt")
                                    : filter == CaptureFilter ? QStringLiteral("pcapng")
                                                              : QStringLiteral("bin"));
        });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return {dialog.selectedFiles().constFirst(), dialog.selectedNameFilter() != ShownTextFilter,
            dialog.selectedNameFilter() == CaptureFilter};
}

// Written whole or not at all; answers the reason when it could not be.
QString writeWhole(const QString &fileName, const QByteArray &bytes) {
    QSaveFile file(fileName);
    // Unbuffered, so a full disk shows on the write itself, where the system's reason is known.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return file.errorString();
    if (file.write(bytes) != bytes.size())
        return writeFailureReason(file);
    return file.commit() ? QString() : file.errorString();
}

} // namespace

ReceivedDataActions::ReceivedDataActions(ReceivedDataBox *box)
    : QObject(box), m_box(box), m_saveDialog(askWhereToSave) {
    m_hex = addAction(QStringLiteral("Show as &Hex"));
    m_hex->setCheckable(true);
    connect(m_hex, &QAction::toggled, &box->data(), &ReceivedData::setShowHex);
    m_timeStamps = addAction(QStringLiteral("Show &Time Stamps"));
    m_timeStamps->setCheckable(true);
    connect(m_timeStamps, &QAction::toggled, &box->data(), &ReceivedData::setShowTimeStamps);
    m_find = addAction(QStringLiteral("&Find..."), QKeySequence(Qt::CTRL | Qt::Key_F));
    connect(m_find, &QAction::triggered, this, &ReceivedDataActions::find);
    // Keys only, not in the menu.
    connect(addAction(QStringLiteral("Find Next"), QKeySequence(Qt::Key_F3)), &QAction::triggered,
            this, [this] { findAgain(false); });
    connect(addAction(QStringLiteral("Find Previous"), QKeySequence(Qt::SHIFT | Qt::Key_F3)),
            &QAction::triggered, this, [this] { findAgain(true); });
    m_save =
        addAction(QStringLiteral("Sa&ve Received Data As..."), QKeySequence(Qt::CTRL | Qt::Key_S));
    connect(m_save, &QAction::triggered, this, &ReceivedDataActions::save);
    m_clear = addAction(QStringLiteral("&Clear"));
    connect(m_clear, &QAction::triggered, &box->data(), &ReceivedData::clear);
    m_statistics = addAction(QStringLiteral("St&atistics..."));
    connect(m_statistics, &QAction::triggered, box, &ReceivedDataBox::statisticsRequested);
}

QAction *ReceivedDataActions::addAction(const QString &text, const QKeySequence &keys) {
    auto *action = new QAction(text, this);
    action->setShortcut(keys);
    action->setShortcutContext(Qt::WidgetShortcut);
    m_box->addAction(action);
    return action;
}

void ReceivedDataActions::addTo(QMenu *menu) const {
    menu->addSeparator();
    menu->addAction(m_hex);
    menu->addAction(m_timeStamps);
    menu->addSeparator();
    menu->addAction(m_find);
    menu->addAction(m_save);
    menu->addSeparator();
    menu->addAction(m_clear);
    menu->addSeparator();
    menu->addAction(m_statistics);
}

void ReceivedDataActions::showOptions(const ShowOptions &options) {
    const QSignalBlocker hexBlocker(m_hex);
    const QSignalBlocker stampsBlocker(m_timeStamps);
    m_hex->setChecked(options.hex);
    m_timeStamps->setChecked(options.timeStamps);
}

void ReceivedDataActions::setSaveDialog(ReceivedDataBox::SaveDialog dialog) {
    m_saveDialog = std::move(dialog);
}

void ReceivedDataActions::find() {
    if (!m_findDialog)
        m_findDialog = new FindDialog(m_box);
    m_findDialog->start();
}

void ReceivedDataActions::findAgain(bool backward) {
    if (!m_findDialog || !m_findDialog->findAgain(backward))
        find();
}

void ReceivedDataActions::save() {
    const ReceivedDataBox::SaveChoice choice = m_saveDialog(m_box);
    if (choice.fileName.isEmpty())
        return;
    const ReceivedData &data = m_box->data();
    const QByteArray bytes = choice.pcapng     ? captureOf(data.entries())
                             : choice.rawBytes ? data.receivedBytes()
                                               : data.text().toUtf8();
    const QString problem = writeWhole(choice.fileName, bytes);
    if (!problem.isEmpty())
        QMessageBox(QMessageBox::NoIcon, m_box->window()->windowTitle(),
                    QStringLiteral("Cannot save ") + QDir::toNativeSeparators(choice.fileName)
                        + QStringLiteral(":\n") + problem,
                    QMessageBox::Ok, m_box)
            .exec();
}
