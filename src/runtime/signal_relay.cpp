#include "runtime/signal_relay.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int RelayedSignals[] = {SIGTERM, SIGINT, SIGHUP};

// A signal handler can reach nothing but a global; it is set before the handlers are installed
// and cleared after they are removed.
volatile sig_atomic_t relayWriteEnd = -1;

void relaySignal(int number) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(number);
    // A full pipe drops the byte: the signals already waiting in it end the session anyway.
    [[maybe_unused]] const ssize_t written = ::write(relayWriteEnd, &byte, 1);
    errno = savedErrno;
}

void setHandler(int number, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(number, &action, nullptr);
}

} // namespace

SignalRelay::SignalRelay(QObject *parent) : QObject(parent) {
    Q_ASSERT(relayWriteEnd == -1);
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0)
        return; // the signals keep their default: the program ends without saving
    m_readEnd = ends[0];
    m_writeEnd = ends[1];
    relayWriteEnd = m_writeEnd;
    m_notifier = new QSocketNotifier(m_readEnd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalRelay::drain);
    for (const int number : RelayedSignals)
        setHandler(number, relaySignal);
}

SignalRelay::~SignalRelay() {
    if (m_writeEnd < 0)
        return;
    for (const int number : RelayedSignals)
        setHandler(number, SIG_DFL);
    if (m_extraSignal != 0)
        setHandler(m_extraSignal, SIG_DFL);
    relayWriteEnd = -1;
    delete m_notifier;
    ::close(m_readEnd);
    ::close(m_writeEnd);
}

void SignalRelay::relayToo(int signalNumber) {
    if (m_writeEnd < 0)
        return;
    m_extraSignal = signalNumber;
    setHandler(signalNumber, relaySignal);
}

void SignalRelay::drain() {
    unsigned char byte = 0;
    while (::read(m_readEnd, &byte, 1) == 1)
        emit received(byte);
}

namespace {

void maskSignal(int how, int number) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, number);
    pthread_sigmask(how, &set, nullptr);
}

} // namespace

void holdSignal(int signalNumber) {
    maskSignal(SIG_BLOCK, signalNumber);
}

void releaseSignal(int signalNumber) {
    maskSignal(SIG_UNBLOCK, signalNumber);
}

#else

SignalRelay::SignalRelay(QObject *parent) : QObject(parent) {}
SignalRelay::~SignalRelay() = default;
void SignalRelay::relayToo(int) {}
void SignalRelay::drain() {}
void holdSignal(int) {}
void releaseSignal(int) {}

#endif
