#pragma once

#include <QByteArray>
#include <QString>
#include <condition_variable>
#include <mutex>
#include <thread>

// A FIFO for tests of code that must never open one. Should that code open it anyway and wait
// for the other end, the watchdog opens the other end after a while: the regression then ends
// in a failed test instead of a hung one.
class FifoWatchdog {
  public:
    explicit FifoWatchdog(const QString &path, int afterMs = 5000);
    ~FifoWatchdog();
    FifoWatchdog(const FifoWatchdog &) = delete;
    FifoWatchdog &operator=(const FifoWatchdog &) = delete;

    bool created() const { return m_created; }
    // True once the watchdog had to open the other end: something waited on the FIFO.
    bool fired();

  private:
    const QByteArray m_path;
    bool m_created = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    bool m_fired = false;
    std::thread m_thread;
};
