#include "window/file_send_dialog.h"

#include "sender/file_send.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>

namespace {

// The bar moves in thousandths: a modal progress dialog processes events on every new value,
// which must stay rare and happen from the event loop, never inside the send's own handler.
constexpr int Steps = 1000;

} // namespace

void sendFileWithProgress(QWidget *parent, FileSend &send) {
    const QString path = QFileDialog::getOpenFileName(parent, QStringLiteral("Send File"));
    if (path.isEmpty() || !send.start(path) || !send.running())
        return;
    auto *dialog = new QProgressDialog(QStringLiteral("Sending %1").arg(QFileInfo(path).fileName()),
                                       QStringLiteral("&Cancel"), 0, Steps, parent);
    dialog->setObjectName(QStringLiteral("fileSendProgress"));
    dialog->setWindowTitle(QStringLiteral("Send File"));
    dialog->setAccessibleName(QStringLiteral("Send File"));
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setMinimumDuration(0);
    dialog->setAutoClose(false);
    dialog->setAutoReset(false);
    if (auto *bar = dialog->findChild<QProgressBar *>())
        bar->setAccessibleName(QStringLiteral("Part of the file sent"));
    if (auto *button = dialog->findChild<QPushButton *>())
        button->setAccessibleName(QStringLiteral("Cancel the file send"));
    QObject::connect(dialog, &QProgressDialog::canceled, &send, &FileSend::cancel);
    QObject::connect(
        &send, &FileSend::progress, dialog,
        [dialog](qint64 sent, qint64 total) {
            const int step = total > 0 ? int(sent * Steps / total) : Steps;
            if (step != dialog->value())
                dialog->setValue(step);
        },
        Qt::QueuedConnection);
    QObject::connect(&send, &FileSend::finished, dialog, &QObject::deleteLater);
    dialog->show();
}
