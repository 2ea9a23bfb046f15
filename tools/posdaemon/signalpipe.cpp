#include "signalpipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

int s_writeFd = -1;

void onSignal(int signalNumber) {
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    if (write(s_writeFd, &byte, 1) < 0) {
        // A full pipe already holds a pending wake-up; nothing else is safe to do here.
    }
    errno = savedErrno;
}

}  // namespace

SignalPipe::SignalPipe(QObject *parent) : QObject(parent) {}

bool SignalPipe::watch(std::initializer_list<int> signalNumbers, QString *error) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = QStringLiteral("pipe2: ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    m_readFd = fds[0];
    s_writeFd = fds[1];
    m_notifier = new QSocketNotifier(m_readFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalPipe::drain);

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : signalNumbers) {
        if (sigaction(signalNumber, &action, nullptr) != 0) {
            *error = QStringLiteral("sigaction: ") + QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
    }
    return true;
}

void SignalPipe::drain() {
    unsigned char byte;
    while (read(m_readFd, &byte, 1) == 1) emit received(byte);
}
