#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cmath>
#include <limits>

#include "commands/utilsmodel.h"

utilsModel utils;

utilsModel::utilsModel(QObject *parent) : QObject(parent) {}

qint64 monotonicMs() {
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

void utilsModel::multitask(int mSecs) {
    if (mSecs <= 0) return;
    // A nested loop keeps sockets, timers and signals serviced while the caller waits.
    QEventLoop loop;
    QTimer::singleShot(mSecs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

QString utilsModel::getDateFromDateTimeString(const QString &s) {
    if (s.size() != 12) return {};
    return s.mid(0, 4) + QLatin1Char('-') + s.mid(4, 2) + QLatin1Char('-') + s.mid(6, 2);
}

QString utilsModel::getTimeFromDateTimeString(const QString &s) {
    if (s.size() != 12) return {};
    return s.mid(8, 2) + QLatin1Char(':') + s.mid(10, 2) + QStringLiteral(":00");
}

QJsonObject utilsModel::setErrorData(int code, const QString &description) {
    QJsonObject o;
    o.insert(QStringLiteral("errorCode"), code);
    o.insert(QStringLiteral("errorDescription"), description);
    return o;
}

namespace param {
bool isString(const QVariantMapT &d, const QString &k) {
    if (!d.contains(k)) return false;
    const int t = d.value(k).userType();
    return t == QMetaType::QString || t == QMetaType::QByteArray;  // see jsonReader
}
bool isBool(const QVariantMapT &d, const QString &k) {
    return d.contains(k) && d.value(k).userType() == QMetaType::Bool;
}
bool isNumber(const QVariantMapT &d, const QString &k) {
    if (!d.contains(k)) return false;
    const int t = d.value(k).userType();
    return t == QMetaType::LongLong || t == QMetaType::Double || t == QMetaType::Int;
}
QString string(const QVariantMapT &d, const QString &k, const QString &fallback) {
    if (!isString(d, k)) return fallback;
    const QVariant v = d.value(k);
    if (v.userType() != QMetaType::QByteArray) return v.toString();
    // Plain ASCII, NUL included: the shorter conversions stop at a NUL.
    const QByteArray bytes = v.toByteArray();
    return QString::fromLatin1(bytes.constData(), bytes.size());
}
QByteArray stringBytes(const QVariantMapT &d, const QString &k) {
    if (!isString(d, k)) return {};
    const QVariant v = d.value(k);
    return v.userType() == QMetaType::QByteArray ? v.toByteArray() : v.toString().toUtf8();
}
bool boolean(const QVariantMapT &d, const QString &k, bool fallback) {
    return isBool(d, k) ? d.value(k).toBool() : fallback;
}
qint64 integer(const QVariantMapT &d, const QString &k, qint64 fallback) {
    if (!isNumber(d, k)) return fallback;
    const QVariant v = d.value(k);
    if (v.userType() != QMetaType::Double) return v.toLongLong();
    // A server may send any double; clamp instead of invoking undefined conversions. Within
    // range it converts as Qt converts a number everywhere else: to the nearest integer (0.6 is
    // 1), never cut off, so that a fraction cannot turn an error code into success.
    const double x = v.toDouble();
    if (std::isnan(x)) return fallback;
    if (x >= 9.2e18) return std::numeric_limits<qint64>::max();
    if (x <= -9.2e18) return std::numeric_limits<qint64>::min();
    return v.toLongLong();
}
}  // namespace param
