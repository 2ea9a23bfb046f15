#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// How to answer one registration.
struct RegisterMode {
    enum Kind { Accept, Refuse, Sleep };
    Kind kind = Accept;
    int errorCode = 0;
    QString errorText;
    int sleepSeconds = 0;
};

// How to answer one keep-alive request.
struct KeepAliveMode {
    enum Kind { Answer, Silent, Slow };
    Kind kind = Answer;
    int delayMs = 0;
};

// The command line of the development server.
struct ServerOptions {
    quint16 port = 0;
    QString certFile = QStringLiteral(QLT_PKI_DIR "/server.pem");
    QString keyFile = QStringLiteral(QLT_PKI_DIR "/server.key");
    QVector<RegisterMode> registerModes{RegisterMode{}};
    QVector<KeepAliveMode> keepAliveModes{KeepAliveMode{}};
    QString scriptFile;
    int timeoutSeconds = 60;
    int segmentMin = 0;  // 0: every message in one write
    int segmentMax = 0;
    bool glue = false;
    bool garbage = false;
    bool once = false;
    bool keepRunning = false;  // with a script: stay up once it is done
    // Chaos: an endless random stream of commands and faults, checked as it goes.
    bool chaos = false;
    quint32 chaosSeed = 0;
    double chaosRate = 0.2;   // share of steps, registrations and keep-alives that go wrong
    QString chaosFilesDir;    // ZIP archives to unpack on the client
    QString chaosKillName;    // a program name the client may kill
    bool chaosStdin = false;  // command lines on stdin join the chaos stream

    // Handles --help and unknown options itself (exits); any other bad value fails with *error.
    static bool parse(const QStringList &arguments, ServerOptions *options, QString *error);
};
