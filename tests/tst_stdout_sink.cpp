#include "cli/argument_check.h"
#include "cli/standard_descriptors.h"
#include "cli/stdout_sink.h"
#include "support/file_bytes.h"

#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr qint64 Bound = 256 * 1024;

// A descriptor to write and, where the kind has one, the other end to read it from.
struct Ends {
    explicit Ends(const QString &kind) {
        int pair[2] = {-1, -1};
        if ((kind == "pipe" && ::pipe2(pair, O_CLOEXEC) != 0)
            || (kind == "socket pair"
                && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0))
            return;
        read = pair[0];
        write = pair[1];
        if (kind == "/dev/full")
            write = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        if (kind == "pty") { // raw, so the bytes come out as they went in
            read = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            ::grantpt(read);
            ::unlockpt(read);
            write = ::open(::ptsname(read), O_WRONLY | O_NOCTTY | O_CLOEXEC);
            termios settings = {};
            ::tcgetattr(write, &settings);
            ::cfmakeraw(&settings);
            ::tcsetattr(write, TCSANOW, &settings);
        }
    }
    ~Ends() {
        closeRead();
        ::close(write);
    }
    void closeRead() { ::close(std::exchange(read, -1)); }
    int write = -1;
    int read = -1;
};

// Reads everything that arrives at `descriptor`, as the event loop reports it.
struct Reader {
    explicit Reader(int descriptor) : notifier(descriptor, QSocketNotifier::Read) {
        ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK);
        QObject::connect(&notifier, &QSocketNotifier::activated, &notifier, [this, descriptor] {
            char buffer[65536];
            for (ssize_t got; (got = ::read(descriptor, buffer, sizeof buffer)) > 0;)
                bytes.append(buffer, got);
        });
    }
    QSocketNotifier notifier;
    QByteArray bytes;
};

// Chunks of differing sizes and contents, so a lost, doubled or reordered piece shows.
QByteArray writeChunks(StdoutSink &sink, int count) {
    QByteArray all;
    for (int i = 0; i < count; ++i) {
        const QByteArray chunk(30000 + i * 101, char(i));
        all += chunk;
        sink.write(chunk);
    }
    return all;
}

QString openedMode(int descriptor) {
    struct stat opened = {}, null = {};
    if (::fstat(descriptor, &opened) != 0 || ::stat("/dev/null", &null) != 0
        || opened.st_rdev != null.st_rdev)
        return "not /dev/null";
    return (::fcntl(descriptor, F_GETFL) & O_ACCMODE) == O_RDONLY ? "read" : "write";
}

} // namespace

class tst_StdoutSink : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { ignoreBrokenPipe(); }

    void stalledReader_data() {
        QTest::addColumn<QString>("kind");
        for (const char *kind : {"pipe", "socket pair", "pty"})
            QTest::newRow(kind) << kind;
    }
    void stalledReader() {
        QFETCH(QString, kind);
        Ends ends(kind);
        QVERIFY(ends.read >= 0 && ends.write >= 0);
        StdoutSink sink(ends.write, Bound);
        QSignalSpy full(&sink, &StdoutSink::full);
        QSignalSpy drained(&sink, &StdoutSink::drained);
        // Reading resumes well under the bound, not at every chunk that leaves.
        qint64 pendingAtDrain = -1;
        connect(&sink, &StdoutSink::drained, this, [&] { pendingAtDrain = sink.pending(); });
        const QByteArray sent = writeChunks(sink, 64); // 2.1 MB, more than any buffer on the way
        QCOMPARE(full.count(), 1);
        QVERIFY(sink.isFull() && sink.pending() > Bound);
        QVERIFY(!sink.flush(10));
        bool ticked = false;
        QTimer::singleShot(0, this, [&ticked] { ticked = true; });
        QTRY_VERIFY(ticked);
        QCOMPARE(drained.count(), 0);
        // Others sharing the descriptor (a shell, a pipeline) never see it non-blocking.
        QCOMPARE(::fcntl(ends.write, F_GETFL) & O_NONBLOCK, 0);

        Reader reader(ends.read);
        QTRY_COMPARE(drained.count(), 1);
        QVERIFY2(pendingAtDrain >= 0 && pendingAtDrain <= Bound / 4,
                 QByteArray::number(pendingAtDrain));
        QTRY_COMPARE(reader.bytes.size(), sent.size());
        QVERIFY(reader.bytes == sent);
        QVERIFY(sink.flush(0));
        QCOMPARE(sink.dropped(), 0);
    }

    // A hard bound: what comes while full is dropped and counted, told once; what was taken
    // arrives whole, and after draining the sink takes chunks again.
    void stalledReaderDropping() {
        Ends ends("pipe");
        StdoutSink sink(ends.write, Bound);
        sink.setDropWhenFull(true);
        QSignalSpy dropping(&sink, &StdoutSink::droppingStarted);
        const QByteArray sent = writeChunks(sink, 64);
        QCOMPARE(dropping.count(), 1);
        QVERIFY(sink.pending() < Bound + 40000);
        Reader reader(ends.read);
        QTRY_VERIFY(!sink.isFull());
        QTRY_COMPARE(reader.bytes.size() + sink.dropped(), sent.size());
        QVERIFY(sent.startsWith(reader.bytes));
        sink.write("more");
        QTRY_VERIFY(reader.bytes.endsWith("more"));
        QCOMPARE(dropping.count(), 1);
    }

    void writeError_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("readerGoneFirst");
        QTest::addColumn<QString>("reason");
        QTest::newRow("/dev/full") << "/dev/full" << false << "No space left on device";
        QTest::newRow("pipe, reader gone") << "pipe" << true << "Broken pipe";
        QTest::newRow("pipe, reader goes") << "pipe" << false << "Broken pipe";
        QTest::newRow("socket, peer goes") << "socket pair" << false << "Broken pipe";
        QTest::newRow("pty, terminal goes") << "pty" << false << "Input/output error";
    }
    void writeError() {
        QFETCH(QString, kind);
        QFETCH(bool, readerGoneFirst);
        QFETCH(QString, reason);
        Ends ends(kind);
        QVERIFY(ends.write >= 0);
        if (readerGoneFirst)
            ends.closeRead();
        StdoutSink sink(ends.write, Bound);
        QSignalSpy failed(&sink, &StdoutSink::failed);
        writeChunks(sink, 16); // some of it waits where there is a reader
        ends.closeRead();
        QTRY_COMPARE(failed.count(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), reason);
        writeChunks(sink, 4);
        QVERIFY(!sink.flush(0));
        QCOMPARE(failed.count(), 1);
        QCOMPARE(sink.pending(), 0);
    }

    void regularFile() {
        QTemporaryFile file;
        QVERIFY(file.open());
        StdoutSink sink(file.handle(), Bound);
        QSignalSpy full(&sink, &StdoutSink::full);
        const QByteArray sent = writeChunks(sink, 64);
        QVERIFY(sink.flush(0));
        QCOMPARE(full.count(), 0);
        QVERIFY(fileBytes(file.fileName()) == sent);
    }

    void openMissingStandardDescriptors_data() {
        QTest::addColumn<int>("descriptor");
        QTest::addColumn<QString>("mode");
        QTest::newRow("stdin") << 0 << "read";
        QTest::newRow("stdout") << 1 << "write";
        QTest::newRow("stderr") << 2 << "write";
    }
    void openMissingStandardDescriptors() {
        QFETCH(int, descriptor);
        QFETCH(QString, mode);
        const int saved = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
        const QString othersBefore = openedMode(0) + openedMode(1) + openedMode(2);
        ::close(descriptor);
        ::openMissingStandardDescriptors();
        const QString opened = openedMode(descriptor);
        ::dup2(saved, descriptor); // before anything is logged
        ::close(saved);
        QCOMPARE(opened, mode);
        QCOMPARE(openedMode(0) + openedMode(1) + openedMode(2), othersBefore);
    }

    void argumentError_data() {
        QTest::addColumn<QByteArrayList>("arguments");
        QTest::addColumn<QString>("error");
        const QString notUtf8 = "the value of %1 is not valid UTF-8";
        // clang-format off
        const QList<std::pair<QByteArrayList, QString>> rows{
            {{"--send", "h\xc3\xa9llo", "--to", "h:1"}, ""},
            {{"--send", "\xff"}, notUtf8.arg("--send")},
            {{"--send=a\xc3\x28"}, notUtf8.arg("--send")},
            {{"--headless", "--respond", "a=\xed\xa0\x80"}, notUtf8.arg("--respond")},
            {{"--headless", "--log", "/tmp/\xc0\xaf"}, notUtf8.arg("--log")},
            {{"--hex", "x\xff"}, "argument 2 is not valid UTF-8"},
            {{"--send", "-headless", "--", "-headless"}, ""},
            {{"-headless"}, "unknown option '-headless' (did you mean '--headless'?)"},
            {{"-port=5"}, "unknown option '-port' (did you mean '--port'?)"},
            {{"-hx"}, "unknown option '-hx'"},
            {{"-h", "-x", "-"}, ""}};
        // clang-format on
        for (const auto &[arguments, error] : rows)
            QTest::newRow(qPrintable(QString::fromUtf8(arguments.join(' ')).left(40)))
                << QByteArrayList{"sendrel"} + arguments << error;
    }
    void argumentError() {
        QFETCH(QByteArrayList, arguments);
        QFETCH(QString, error);
        const QList<QCommandLineOption> options{
            {{"h", "help"}, "help"},  {"headless", "headless"}, {"hex", "hex"},
            {"port", "port", "N"},    {"log", "log", "DIR"},    {"respond", "respond", "PAIR"},
            {"send", "send", "TEXT"}, {"to", "to", "HOST:PORT"}};
        QCOMPARE(::argumentError(arguments, options), error);
    }
};

QTEST_GUILESS_MAIN(tst_StdoutSink)
#include "tst_stdout_sink.moc"
