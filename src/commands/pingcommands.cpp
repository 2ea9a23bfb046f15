// Ping commands: echo requests to devices on the shop network, several addresses at once.

#include "commands/pingcommands.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <functional>
#include <memory>
#include <vector>

#include "commands/processrunner.h"
#include "core/parameters.h"
#include "core/replies.h"

namespace {
// Bounds of one "pingDevices" command, so that no request can hold the client for long: at
// most 10 echo requests per address (as many seconds of deadline), 256 addresses, 32 of them
// at once, and at most 30 s per address, a flood and its fallback together. Every address
// gets its result: 256 take 8 rounds, 32 s with the default 4 requests, and never more than
// 8 x 30 s even when every ping hangs.
constexpr int pingTimeoutMs = 30000;
constexpr qint64 maxPingHops = 10;
constexpr int maxPingAddresses = 256;
constexpr int maxParallelPings = 32;

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

// The outcome is in "errorCode"; "Success" and "ErrorCode" keep the values that servers have
// always been sent.
QJsonObject pingResult(const QString &address, int code, const QString &description) {
    QJsonObject result = reply::error(code, description);
    result.insert(QStringLiteral("Success"), false);
    result.insert(QStringLiteral("ErrorCode"), 599);
    result.insert(QStringLiteral("IP"), address);
    result.insert(QStringLiteral("POS_answer"), QString());
    return result;
}

int transmittedOf(const QString &summary) {
    return summary.split(QStringLiteral(" packets transmitted")).first().toInt();
}

int receivedOf(const QString &summary) {
    const QStringList parts = summary.split(QStringLiteral("transmitted, "));
    return parts.size() < 2 ? 0 : parts.at(1).split(QLatin1Char(' ')).first().toInt();
}

// The ping of one address: a flood first when asked, and an ordinary ping after a flood that
// got no answer, as some devices drop floods.
class addressPing {
  public:
    addressPing(const logger &log, const QString &address, int hops, bool flood)
        : m_address(address), m_hops(hops), m_flood(flood), m_runner(log) {
        QObject::connect(&m_runner, &processRunner::finished, [this] { ranOnce(); });
    }

    // `done` gets the result from the event loop, once the ping is over.
    void start(std::function<void(const QJsonObject &)> done) {
        m_done = std::move(done);
        m_clock.start();
        run();
    }

  private:
    void run() {
        const QString count = QString::number(m_hops);
        const QStringList arguments =
            m_flood ? QStringList{QStringLiteral("-f"), QStringLiteral("-q"),
                                  QStringLiteral("-c") + count, QStringLiteral("-w1"), m_address}
                    : QStringList{QStringLiteral("-q"), QStringLiteral("-c") + count,
                                  QStringLiteral("-w") + count, m_address};
        m_runner.start(QStringLiteral("ping"), arguments,
                       int(qMax<qint64>(0, pingTimeoutMs - m_clock.elapsed())));
    }

    void ranOnce() {
        QJsonObject result =
            pingResult(m_address, m_runner.errorCode(), m_runner.errorDescription());
        if (m_runner.errorCode() != 0) {
            m_done(result);
            return;
        }
        // Only the summary line counts; its wording differs between the two modes.
        const QString marker = m_flood ? QStringLiteral("transmitted") : QStringLiteral("packets");
        QStringList summary;
        const QStringList lines =
            m_runner.standardOutput().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &line : lines)
            if (line.contains(marker)) summary << line;
        if (m_flood && !summary.isEmpty() &&
            summary.first().contains(QLatin1String("100% packet loss"))) {
            m_flood = false;
            run();
            return;
        }
        const QString text = summary.join(QLatin1Char('\n'));
        result.insert(QStringLiteral("processesResult"), text);
        result.insert(QStringLiteral("Transmitted"), transmittedOf(text));
        result.insert(QStringLiteral("Received"), receivedOf(text));
        m_done(result);
    }

    const QString m_address;
    const int m_hops;
    bool m_flood;
    processRunner m_runner;
    QElapsedTimer m_clock;
    std::function<void(const QJsonObject &)> m_done;
};

// One result per address, in list order, with up to maxParallelPings pings running at once.
QJsonArray pingAll(const logger &log, const QStringList &addresses, int hops, bool flood) {
    QVector<QJsonObject> results(addresses.size());
    // Kept until all are done: a ping ends inside its own runner's signal.
    std::vector<std::unique_ptr<addressPing>> pings;
    int next = 0;
    int running = 0;
    QEventLoop loop;
    std::function<void()> startMore = [&] {
        for (; running < maxParallelPings && next < addresses.size(); ++next) {
            const int index = next;
            const QString address = addresses.at(index).trimmed();
            if (!isPingTarget(address)) {
                results[index] = pingResult(
                    address, 901,
                    QStringLiteral("Not a valid IP address or host name: '%1'").arg(address));
                continue;
            }
            ++running;
            pings.push_back(std::make_unique<addressPing>(log, address, hops, flood));
            pings.back()->start([&, index](const QJsonObject &result) {
                results[index] = result;
                --running;
                startMore();
                if (running == 0) loop.quit();
            });
        }
    };
    startMore();
    if (running > 0) loop.exec();
    QJsonArray array;
    for (const QJsonObject &result : qAsConst(results)) array.append(result);
    return array;
}

bool floodFlag(const QVariantMap &data) {
    const QVariant value = data.value(QStringLiteral("doFlood"));
    const int type = value.userType();
    if (type == QMetaType::LongLong || type == QMetaType::Int) return value.toLongLong() != 0;
    return param::boolean(data, QStringLiteral("doFlood"), false);
}
}  // namespace

pingCommands::pingCommands(const logger &log) : m_log(log) {}

QJsonObject pingCommands::pingDevice(const QString &ipAddresss, int pingHops, bool doFlood) const {
    return pingAll(m_log, {ipAddresss}, pingHops, doFlood).first().toObject();
}

QJsonObject pingCommands::pingDevices(const QVariantMap &data) const {
    const qint64 type = param::integer(data, QStringLiteral("pingType"), 1);
    const qint64 hops = param::integer(data, QStringLiteral("pingHops"), 4);
    const QString filter = param::string(data, QStringLiteral("ipFilterString"));
    const bool flood = floodFlag(data);
    if (type < 1 || type > 3)
        return reply::error(999, QStringLiteral("Unknown PingType %1").arg(type));
    if (hops < 1 || hops > maxPingHops)
        return reply::error(
            999,
            QStringLiteral("pingHops must be between 1 and %1, not %2").arg(maxPingHops).arg(hops));
    if (filter.isEmpty())
        return reply::error(999, QStringLiteral("You need to give a IP Filter string!"));
    QStringList addresses;
    if (type == 1) addresses << filter;
    if (type == 2) addresses = filter.split(QLatin1Char(','));
    if (addresses.size() > maxPingAddresses)
        return reply::error(999,
                            QStringLiteral("At most %1 addresses can be pinged at once, not %2")
                                .arg(maxPingAddresses)
                                .arg(addresses.size()));
    QJsonObject result = reply::error(0, QString());
    result.insert(QStringLiteral("PING_Results"), pingAll(m_log, addresses, int(hops), flood));
    return result;
}
