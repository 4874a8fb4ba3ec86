#include "bench_window.h"

#include "figures.h"

#include "log/receive_log.h"
#include "model/form.h"
#include "net/socket_array.h"
#include "net/socket_control.h"

#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

BenchWindow::BenchWindow() {
    if (!m_dir.valid())
        return;
    const QString program = folder(QStringLiteral("program"));
    const QString config = folder(QStringLiteral("config"));
    const QString data = folder(QStringLiteral("data"));
    for (const QString &path : {program, config, data})
        QDir().mkpath(path);
    WindowOptions options;
    options.program.location = {program, config, data};
    options.browseForFolder = [](QWidget *, const QString &) { return QString(); };
    m_window = std::make_unique<MainWindow>(options);
    m_window->show();
    runEventsFor(std::chrono::milliseconds(50));
}

BenchWindow::~BenchWindow() {
    if (m_window)
        m_window->close();
}

SocketControl *BenchWindow::element(int index) const {
    return m_window->program().sockets().listenSock->element(index);
}

void BenchWindow::enableLog(const QString &folder) {
    if (!folder.isEmpty())
        m_logFolder = folder;
    form().txtLogPath.setText(m_logFolder);
    form().chkLogData.setValue(1);
}

quint16 BenchWindow::start(bool tcp, const Figures &figures) {
    Form &c = form();
    c.optTCP[tcp ? 0 : 1]->setValue(1);
    c.txtListenPort.setText(QStringLiteral("0"));
    c.btnConnect.Click();
    const auto wanted = tcp ? SocketControl::Listening : SocketControl::Open;
    if (element(0)->State() != wanted) {
        figures.info(QStringLiteral("window"),
                     QStringLiteral("the %1 listener did not open").arg(tcp ? "TCP" : "UDP"));
        return 0;
    }
    const auto port = quint16(element(0)->LocalPort());
    c.txtListenPort.setText(QString::number(port));
    return port;
}

quint16 BenchWindow::startPingResponder(const Figures &figures) {
    if (!valid())
        return 0;
    form().txtWatchString[0]->setText(QStringLiteral("ping"));
    form().txtResponseString[0]->setText(QStringLiteral("pong"));
    form().chkEnableAutoRespond.setValue(1);
    return start(true, figures);
}

QString BenchWindow::todaysLogFile() const {
    return QDir(logFolder())
        .filePath(QStringLiteral("SendrelLog_") + ReceiveLog::LogDateText(QDate::currentDate())
                  + QStringLiteral(".txt"));
}

bool BenchWindow::runEventsUntil(const std::function<bool()> &done,
                                 std::chrono::milliseconds timeout) {
    if (done())
        return true;
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(5);
    bool reached = false;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        reached = done();
        if (reached || clock.elapsed() >= timeout.count())
            loop.quit();
    });
    poll.start();
    loop.exec();
    return reached;
}

void BenchWindow::runEventsFor(std::chrono::milliseconds duration) {
    QElapsedTimer clock;
    clock.start();
    runEventsUntil([&] { return clock.elapsed() >= duration.count(); }, duration * 2);
}
