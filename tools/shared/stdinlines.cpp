#include "stdinlines.h"

#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

namespace {
// A controller never writes long lines; anything longer is a mistake, not a command.
constexpr int kMaxLine = 64 * 1024 * 1024;
}  // namespace

StdinLines::StdinLines(QObject *parent)
    : QObject(parent), m_notifier(new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this)) {
    connect(m_notifier, &QSocketNotifier::activated, this, &StdinLines::readAvailable);
}

// One read for each time the notifier says there is something: it does not block then, and
// standard input, which the parent shares, keeps its blocking mode.
void StdinLines::readAvailable() {
    char buffer[64 * 1024];
    ssize_t n;
    do {
        n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        m_notifier->setEnabled(false);
        emit closed();
        return;
    }
    m_partial.append(buffer, int(n));
    int start = 0;
    for (int end = m_partial.indexOf('\n'); end >= 0; end = m_partial.indexOf('\n', start)) {
        emit line(m_partial.mid(start, end - start).trimmed());
        start = end + 1;
    }
    m_partial.remove(0, start);
    if (m_partial.size() > kMaxLine) {
        m_notifier->setEnabled(false);
        emit closed();
    }
}
