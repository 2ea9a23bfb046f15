#pragma once

#include <QByteArray>
#include <QString>

// What the relay does with the bytes of its connections.
struct RelayMode {
    enum Kind { Pass, Stall, Blackhole, StopRead, SlowRead };
    Kind kind = Pass;
    int bytesPerSecond = 1024;  // SlowRead: how fast the client's bytes are read

    // Client to server: read from the client (SlowRead: at bytesPerSecond) and pass on.
    bool forwardsUp() const { return kind == Pass || kind == Stall || kind == SlowRead; }
    // Server to client.
    bool forwardsDown() const { return kind != Blackhole; }
    // Stall and Blackhole leave new connections hanging after the accept, for good.
    bool connectsUpstream() const { return kind != Stall && kind != Blackhole; }
    QString name() const;
};

// One control line (stdin) or the --mode option.
struct RelayCommand {
    enum Action { SetMode, Drop, Refuse, Listen };
    Action action = SetMode;
    RelayMode mode;

    // False with *error for anything that is not a command.
    static bool parse(const QByteArray &text, RelayCommand *command, QString *error);
};
