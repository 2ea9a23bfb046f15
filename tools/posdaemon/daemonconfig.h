#pragma once

#include <QByteArray>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

// How one run of the stand-in behaves; filled from the command line.
struct DaemonConfig {
    enum class Mode {
        Normal,
        Silent,
        NotFound,
        NoEol,
        Bytewise,
        Slow,
        CloseAfterGreeting,
        Binary,
        EmptyThenClose,
        Short,
        Random,  // each connection draws one of the others
    };

    quint16 port = 0;
    QByteArray greeting;  // without its line end
    bool loginFail = false;
    QString tableFile;
    Mode mode = Mode::Normal;
    int slowMs = 0;
    quint32 randomSeed = 0;

    // The mode a new connection runs in: the configured one, or a draw for random mode.
    DaemonConfig forConnection(QRandomGenerator *random) const;

    // Prints the help and exits on --help; otherwise false with a message on a bad command line.
    static bool parse(const QStringList &arguments, DaemonConfig *config, QString *error);
};
