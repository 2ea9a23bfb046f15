// Ping commands: echo requests to devices on the shop network, one address after the other.

#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>

#include "processrunner.h"
#include "utils.h"

namespace {
constexpr int pingTimeoutMs = 30000;
// Bounds of one "pingDevices" command, so that no request can hold the client for long: at
// most 10 echo requests per address (10 s deadline each), 256 addresses, 120 s in all. An
// address is started only with at least 1 s of the 120 s left; later ones are skipped.
constexpr qint64 maxPingHops = 10;
constexpr int maxPingAddresses = 256;
constexpr qint64 pingBudgetMs = 120000;
constexpr qint64 minPingSliceMs = 1000;

// IPv4 and IPv6 literals (without a scope) and plain host names; nothing that could be read
// as an option or anything else.
bool isPingTarget(const QString &address) {
    QHostAddress literal;
    if (!address.contains(QLatin1Char('%')) && literal.setAddress(address)) return true;
    static const QRegularExpression hostName(
        QStringLiteral("^(?=.{1,253}$)[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?"
                       "(\\.[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*$"));
    return hostName.match(address).hasMatch();
}

QJsonObject pingResult(const QString &address) {
    return QJsonObject{{QStringLiteral("Success"), false},
                       {QStringLiteral("ErrorCode"), 599},
                       {QStringLiteral("errorDescription"), QStringLiteral("Os not supported yet")},
                       {QStringLiteral("IP"), address},
                       {QStringLiteral("POS_answer"), QString()}};
}

QJsonObject failedPing(const QString &address, int code, const QString &description) {
    QJsonObject result = pingResult(address);
    result.insert(QStringLiteral("errorCode"), code);
    result.insert(QStringLiteral("errorDescription"), description);
    return result;
}

int transmittedOf(const QString &summary) {
    return summary.split(QStringLiteral(" packets transmitted")).first().toInt();
}

int receivedOf(const QString &summary) {
    const QStringList parts = summary.split(QStringLiteral("transmitted, "));
    return parts.size() < 2 ? 0 : parts.at(1).split(QLatin1Char(' ')).first().toInt();
}

QJsonObject ping(const QString &address, int hops, bool flood, int timeoutMs) {
    if (!isPingTarget(address))
        return failedPing(address, 901,
                          QStringLiteral("Not a valid IP address or host name: '%1'").arg(address));
    const QString count = QString::number(hops);
    const QStringList arguments =
        flood ? QStringList{QStringLiteral("-f"), QStringLiteral("-q"),
                            QStringLiteral("-c") + count, QStringLiteral("-w1"), address}
              : QStringList{QStringLiteral("-q"), QStringLiteral("-c") + count,
                            QStringLiteral("-w") + count, address};
    processRunner runner;
    runner.run(QStringLiteral("ping"), arguments, timeoutMs);
    QJsonObject result = failedPing(address, runner.errorCode(), runner.errorDescription());
    if (runner.errorCode() != 0) return result;
    // Only the summary line counts; its wording differs between the two modes.
    const QString marker = flood ? QStringLiteral("transmitted") : QStringLiteral("packets");
    QStringList summary;
    const QStringList lines = runner.standardOutput().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines)
        if (line.contains(marker)) summary << line;
    // Some devices drop floods but answer an ordinary ping.
    if (flood && !summary.isEmpty() && summary.first().contains(QLatin1String("100% packet loss")))
        return ping(address, hops, false, timeoutMs);
    const QString text = summary.join(QLatin1Char('\n'));
    result.insert(QStringLiteral("processesResult"), text);
    result.insert(QStringLiteral("Transmitted"), transmittedOf(text));
    result.insert(QStringLiteral("Received"), receivedOf(text));
    return result;
}

bool floodFlag(const QVariantMapT &data) {
    const QVariant value = data.value(QStringLiteral("doFlood"));
    const int type = value.userType();
    if (type == QMetaType::LongLong || type == QMetaType::Int) return value.toLongLong() != 0;
    return param::boolean(data, QStringLiteral("doFlood"), false);
}
}  // namespace

QJsonObject utilsModel::pingDevice(const QString &ipAddresss, int pingHops, bool doFlood) {
    return ping(ipAddresss, pingHops, doFlood, pingTimeoutMs);
}

QJsonObject utilsModel::pingDevices(QVariantMapT data) {
    const qint64 type = param::integer(data, QStringLiteral("pingType"), 1);
    const qint64 hops = param::integer(data, QStringLiteral("pingHops"), 4);
    const QString filter = param::string(data, QStringLiteral("ipFilterString"));
    const bool flood = floodFlag(data);
    if (type < 1 || type > 3)
        return setErrorData(999, QStringLiteral("Unknown PingType %1").arg(type));
    if (hops < 1 || hops > maxPingHops)
        return setErrorData(
            999,
            QStringLiteral("pingHops must be between 1 and %1, not %2").arg(maxPingHops).arg(hops));
    if (filter.isEmpty())
        return setErrorData(999, QStringLiteral("You need to give a IP Filter string!"));
    QStringList addresses;
    if (type == 1) addresses << filter;
    if (type == 2) addresses = filter.split(QLatin1Char(','));
    if (addresses.size() > maxPingAddresses)
        return setErrorData(999,
                            QStringLiteral("At most %1 addresses can be pinged at once, not %2")
                                .arg(maxPingAddresses)
                                .arg(addresses.size()));
    QElapsedTimer clock;
    clock.start();
    QJsonArray results;
    for (const QString &entry : qAsConst(addresses)) {
        const QString address = entry.trimmed();
        const qint64 left = pingBudgetMs - clock.elapsed();
        if (left < minPingSliceMs) {
            results.append(failedPing(
                address, 504,
                QStringLiteral("Skipped: the %1 s time limit of one pingDevices command is used up")
                    .arg(pingBudgetMs / 1000)));
            continue;
        }
        results.append(ping(address, int(hops), flood, int(qMin<qint64>(pingTimeoutMs, left))));
    }
    QJsonObject reply = setErrorData(0, QString());
    reply.insert(QStringLiteral("PING_Results"), results);
    return reply;
}
