#pragma once

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

// Control lines on standard input, read without blocking the event loop.
class StdinLines : public QObject {
    Q_OBJECT
  public:
    explicit StdinLines(QObject *parent = nullptr);

  signals:
    void line(const QByteArray &text);  // without the line end, trimmed
    void closed();  // end of input, or a line without end beyond all reason: nothing more comes

  private:
    void readAvailable();

    QSocketNotifier *m_notifier;
    QByteArray m_partial;
};
