// A screen reader during a flood: an accessibility client reads a status label's name every
// 100 ms over AT-SPI while a logged TCP flood runs; the slowest answer is what an operator who
// depends on the screen reader waits. Needs an X display and an accessibility bus with the
// program's bridge on (bench/accessibility.sh sets them up).
#include "bench_window.h"
#include "benchmarks.h"
#include "figures.h"
#include "window_flood.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QProcess>

#include <optional>

using namespace std::chrono_literals;

namespace {

constexpr qint64 SlowestAnswerMs = 100;

// The client: bench/accessibility_client.py, run by the system's Python, which has the AT-SPI
// bindings.
class AccessibilityClient {
public:
    explicit AccessibilityClient(const QStringList &arguments) {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("/usr/bin/python3"),
                        QStringList{QStringLiteral(SENDREL_BENCH_DIR "/accessibility_client.py"),
                                    QString::number(QCoreApplication::applicationPid())}
                            + arguments);
    }
    ~AccessibilityClient() {
        m_process.write("quit\n");
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(1000);
        }
    }

    // The next line the client prints, or an empty text when none came within `timeout`.
    QString nextLine(std::chrono::milliseconds timeout) {
        BenchWindow::runEventsUntil(
            [&] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; },
            timeout);
        return QString::fromUtf8(m_process.readLine()).trimmed();
    }
    void send(const char *command) { m_process.write(command); }

    struct Answers {
        qint64 count = 0;
        qint64 slowestMs = 0;
        qint64 medianMs = 0;
        qint64 events = 0;
        qint64 eventChars = 0;
        qint64 textEvents = 0;
        qint64 emptyTextEvents = 0; // text events that carried no text
        QString text() const {
            return QStringLiteral("slowest %1 ms, median %2 ms (%3 answers; %4 events, %5 of them "
                                  "text events carrying %6 characters)")
                .arg(slowestMs)
                .arg(medianMs)
                .arg(count)
                .arg(events)
                .arg(textEvents)
                .arg(eventChars);
        }
    };
    // Answers since the last "measure"; nullopt when the client did not report.
    std::optional<Answers> report() {
        send("report\n");
        const QStringList words = nextLine(60s).split(u' ');
        if (words.size() != 14 || words.at(0) != QLatin1String("answers"))
            return std::nullopt;
        return Answers{words.at(1).toLongLong(), words.at(3).toLongLong(),
                       words.at(5).toLongLong(), words.at(7).toLongLong(),
                       words.at(9).toLongLong(), words.at(11).toLongLong(),
                       words.at(13).toLongLong()};
    }

private:
    QProcess m_process;
};

} // namespace

int runAccessibility(const QStringList &arguments) {
    const QString mebibytes = arguments.value(0);
    const std::uint64_t total =
        mebibytes.toULongLong() > 0 ? mebibytes.toULongLong() << 20 : WindowFlood::DefaultBytes;
    const Figures figures(QStringLiteral("screen reader during a TCP flood"));
    BenchWindow window;
    if (!window.valid())
        return 2;
    // The bridge comes up once it has found the accessibility bus.
    if (!BenchWindow::runEventsUntil([] { return QAccessible::isActive(); }, 10s)) {
        figures.target(QStringLiteral("accessibility"),
                       QStringLiteral("not active on platform ") + QGuiApplication::platformName(),
                       false, QStringLiteral("an X display with an AT-SPI bus"));
        return 0;
    }
    window.enableLog();
    const quint16 port = window.start(true, figures);
    if (port == 0)
        return 2;

    AccessibilityClient client(QStringList{QStringLiteral("Waiting for TCP data")}
                               + arguments.mid(1));
    const QString found = client.nextLine(90s);
    if (!found.startsWith(QLatin1String("found "))) {
        figures.target(QStringLiteral("accessibility"),
                       QStringLiteral("the client did not find the status label (%1)").arg(found),
                       false, QStringLiteral("the label found over AT-SPI"));
        return 0;
    }
    figures.info(QStringLiteral("client"),
                 QStringLiteral("reads \"%1\" every 100 ms%2")
                     .arg(found.mid(6), arguments.contains(QStringLiteral("--quiet"))
                                            ? QString()
                                            : QStringLiteral(", following its events")));

    client.send("measure\n");
    BenchWindow::runEventsFor(3s);
    if (const auto idle = client.report())
        figures.info(QStringLiteral("answers with the window idle"), idle->text());

    client.send("measure\n");
    const WindowFlood::Result result = WindowFlood::run(window, port, total);
    const auto flood = client.report();
    figures.info(QStringLiteral("flood"),
                 QStringLiteral("%1 MiB at %2 MiB/s%3, longest tmrMain gap %4 ms")
                     .arg(double(total) / double(1 << 20))
                     .arg(Figures::number(result.mibPerSecond))
                     .arg(result.completed ? QString() : QStringLiteral(" (did not complete)"))
                     .arg(result.longestTickGap));
    figures.target(QStringLiteral("slowest answer during the flood"),
                   flood ? flood->text() : QStringLiteral("no report"),
                   flood && flood->count > 0 && flood->slowestMs <= SlowestAnswerMs,
                   QStringLiteral("<= %1 ms").arg(SlowestAnswerMs));
    if (!arguments.contains(QStringLiteral("--quiet")))
        figures.target(QStringLiteral("text events without their text during the flood"),
                       flood ? QString::number(flood->emptyTextEvents)
                             : QStringLiteral("no report"),
                       flood && flood->emptyTextEvents == 0, QStringLiteral("none"));
    return 0;
}
