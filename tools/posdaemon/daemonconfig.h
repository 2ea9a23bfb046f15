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
        CutPartTwo,
        Drip,
        Stray,
        Random,  // each connection draws one of the others but CutPartTwo, Drip and Stray
    };

    quint16 port = 0;
    QByteArray greeting;  // without its line end
    bool loginFail = false;
    QString tableFile;
    Mode mode = Mode::Normal;
    int slowMs = 0;
    int strayAfterMs = 0;
    quint32 randomSeed = 0;
    int faultConnections = 0;  // the mode holds for connections 1 to N only; 0: for all

    // The mode connection `id` runs in: the configured one, a draw for random mode, or normal
    // past the fault connections.
    DaemonConfig forConnection(int id, QRandomGenerator *random) const;

    // Prints the help and exits on --help; otherwise false with a message on a bad command line.
    static bool parse(const QStringList &arguments, DaemonConfig *config, QString *error);
};
