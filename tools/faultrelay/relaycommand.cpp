#include "relaycommand.h"

#include <QList>

QString RelayMode::name() const {
    switch (kind) {
        case Pass:
            return QStringLiteral("pass");
        case Stall:
            return QStringLiteral("stall");
        case Blackhole:
            return QStringLiteral("blackhole");
        case StopRead:
            return QStringLiteral("stopread");
        case SlowRead:
            return QStringLiteral("slowread");
    }
    Q_UNREACHABLE();
}

bool RelayCommand::parse(const QByteArray &text, RelayCommand *command, QString *error) {
    const QList<QByteArray> words = text.simplified().split(' ');
    const QByteArray &verb = words.first();
    *command = RelayCommand{};
    const auto fail = [&](const QString &why) {
        *error = QStringLiteral("'%1': %2").arg(QString::fromUtf8(text), why);
        return false;
    };
    if (verb == "slowread") {
        command->mode.kind = RelayMode::SlowRead;
        if (words.size() > 2) return fail(QStringLiteral("expected slowread [BYTES_PER_S]"));
        if (words.size() == 2) {
            bool ok = false;
            command->mode.bytesPerSecond = words.at(1).toInt(&ok);
            if (!ok || command->mode.bytesPerSecond < 1)
                return fail(QStringLiteral("the rate is a whole number of bytes per second"));
        }
        return true;
    }
    if (words.size() != 1) return fail(QStringLiteral("takes no argument"));
    const struct {
        const char *word;
        Action action;
        RelayMode::Kind kind;
    } table[] = {
        {"pass", SetMode, RelayMode::Pass},
        {"stall", SetMode, RelayMode::Stall},
        {"blackhole", SetMode, RelayMode::Blackhole},
        {"stopread", SetMode, RelayMode::StopRead},
        {"drop", Drop, RelayMode::Pass},
        {"refuse", Refuse, RelayMode::Pass},
        {"listen", Listen, RelayMode::Pass},
    };
    for (const auto &entry : table) {
        if (verb != entry.word) continue;
        command->action = entry.action;
        command->mode.kind = entry.kind;
        return true;
    }
    return fail(QStringLiteral("unknown command"));
}
