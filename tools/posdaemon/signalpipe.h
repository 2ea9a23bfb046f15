#pragma once

#include <QObject>
#include <QString>
#include <initializer_list>

class QSocketNotifier;

// Carries signals into the event loop through a self-pipe; the handler itself only writes a byte.
class SignalPipe : public QObject {
    Q_OBJECT
  public:
    explicit SignalPipe(QObject *parent = nullptr);

    bool watch(std::initializer_list<int> signalNumbers, QString *error);

  signals:
    void received(int signalNumber);

  private:
    void drain();

    int m_readFd = -1;
    QSocketNotifier *m_notifier = nullptr;
};
