#include "app/control_values.h"

#include "form/controls.h"
#include "form/fore_colour.h"
#include "log/receive_log.h"
#include "runtime/paths.h"
#include "settings/settings_store.h"

#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QRadioButton>

namespace {

// A check box's Value: 0 unchecked, 1 checked, 2 grey (Qt numbers grey as 1).
int boxValue(Qt::CheckState state) {
    return state == Qt::Checked ? 1 : state == Qt::PartiallyChecked ? 2 : 0;
}

Qt::CheckState boxState(int value) {
    return value == 1 ? Qt::Checked : value == 2 ? Qt::PartiallyChecked : Qt::Unchecked;
}

} // namespace

void showSettings(Controls &c, const Settings &s) {
    c.txtListenPort->setText(s.port);
    c.optTCP[s.udp ? 1 : 0]->setChecked(true);
    c.chkLogData->setCheckState(s.createLog ? Qt::Checked : Qt::Unchecked);
    c.optReceiveType[0]->setChecked(!s.httpRequests);
    c.optReceiveType[1]->setChecked(s.httpRequests);
    c.txtLogPath->setText(s.logPath); // the store gives it its final separator
    if (s.enableAutoRespond)
        c.chkEnableAutoRespond->setCheckState(boxState(*s.enableAutoRespond));
    for (int i = 0; i < PairCount; ++i) {
        c.txtWatchString[i]->setText(s.watchStrings[i]);
        c.txtResponseString[i]->setText(s.responseStrings[i]);
    }
}

Settings settingsFromControls(Controls &c) {
    Settings s;
    s.port = c.txtListenPort->text();
    s.udp = !c.optTCP[0]->isChecked();
    s.createLog = c.chkLogData->checkState() != Qt::Unchecked;
    s.httpRequests = !c.optReceiveType[0]->isChecked();
    giveFinalSeparator(c.txtLogPath);
    s.logPath = c.txtLogPath->text();
    s.enableAutoRespond = boxValue(c.chkEnableAutoRespond->checkState());
    for (int i = 0; i < PairCount; ++i) {
        s.watchStrings[i] = c.txtWatchString[i]->text();
        s.responseStrings[i] = c.txtResponseString[i]->text();
    }
    return s;
}

void showLogResult(Controls &c, const LogResult &result) {
    QLineEdit *pathBox = c.txtLogPath;
    if (result.written) {
        if (!pathBox->toolTip().isEmpty()) {
            pathBox->setPalette(QPalette());
            pathBox->setToolTip(QString());
        }
        return;
    }
    setForeColour(pathBox, QPalette::Text, Qt::red);
    pathBox->setToolTip(QStringLiteral("The received data was not logged to %1: %2")
                            .arg(QDir::toNativeSeparators(result.fileName), result.reason));
}

void giveFinalSeparator(QLineEdit *box) {
    if (!endsWithSeparator(box->text()))
        box->setText(box->text() + QDir::separator());
}
