#include "fifowatchdog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <chrono>

FifoWatchdog::FifoWatchdog(const QString &path, int afterMs) : m_path(QFile::encodeName(path)) {
    m_created = ::mkfifo(m_path.constData(), 0600) == 0;
    if (!m_created) return;
    m_thread = std::thread([this, afterMs] {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_wake.wait_for(lock, std::chrono::milliseconds(afterMs),
                            [this] { return m_stopping; }))
            return;
        m_fired = true;
        // Both ends at once never waits, and lets a waiting reader or writer go on; closing
        // them again gives a reader its end of file.
        const int fd = ::open(m_path.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) ::close(fd);
    });
}

FifoWatchdog::~FifoWatchdog() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

bool FifoWatchdog::fired() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fired;
}
