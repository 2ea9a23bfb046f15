#include "core/signalwatcher.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>

namespace {
int signalPipe[2] = {-1, -1};

// "\nquit the service by signal(N).\n" built without stdio: only async-signal-safe calls.
size_t formatFarewell(int signalNumber, char *out, size_t size) {
    const char head[] = "\nquit the service by signal(";
    const char tail[] = ").\n";
    size_t n = 0;
    for (size_t i = 0; head[i] && n < size; ++i) out[n++] = head[i];
    char digits[12];
    int d = 0;
    unsigned value = unsigned(signalNumber);
    do {
        digits[d++] = char('0' + value % 10);
        value /= 10;
    } while (value && d < 11);
    while (d > 0 && n < size) out[n++] = digits[--d];
    for (size_t i = 0; tail[i] && n < size; ++i) out[n++] = tail[i];
    return n;
}

void quitHandler(int signalNumber) {
    if (signalNumber == SIGSEGV || signalNumber == SIGABRT) {
        char line[64];
        const size_t n = formatFarewell(signalNumber, line, sizeof line);
        ssize_t ignored = write(STDOUT_FILENO, line, n);
        (void)ignored;
        signal(signalNumber, SIG_DFL);
        raise(signalNumber);
        return;
    }
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    ssize_t ignored = write(signalPipe[1], &byte, 1);
    (void)ignored;
}
}  // namespace

void signalWatcher::catchUnixSignals(const QList<int> &signalNumbers) {
    if (signalPipe[0] < 0 && pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("signal pipe");
        return;
    }
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int sig : signalNumbers) sigaddset(&blocked, sig);
    for (int sig : signalNumbers) {
        struct sigaction action = {};
        action.sa_handler = quitHandler;
        action.sa_mask = blocked;
        action.sa_flags = 0;
        sigaction(sig, &action, nullptr);
    }
}

signalWatcher::signalWatcher(QObject *parent)
    : QObject(parent), m_notifier(new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this)) {
    connect(m_notifier, &QSocketNotifier::activated, this, &signalWatcher::onSignalPipe);
}

void signalWatcher::onSignalPipe() {
    unsigned char byte = 0;
    if (read(signalPipe[0], &byte, 1) != 1) return;
    std::printf("\nquit the service by signal(%d).\n", int(byte));
    std::fflush(stdout);
    if (m_stopRequested) {
        QCoreApplication::exit(0);
        return;
    }
    m_stopRequested = true;
    emit signal_stopRequested();
}
