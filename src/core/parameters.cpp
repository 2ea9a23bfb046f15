#include "core/parameters.h"

#include <cmath>
#include <limits>

#include "core/spooledtext.h"
#include "link/jsonreader.h"

namespace {
// A string kept on disk, read back whole for a consumer that holds its value in memory anyway,
// in the form the reader would have given it.
QVariant heldValue(const QVariant &v) {
    if (v.userType() != qMetaTypeId<spooledTextPtr>()) return v;
    // Held whole it would be beyond what one message may hold in memory, or it could not be
    // kept at all: no value.
    const spooledTextPtr spool = v.value<spooledTextPtr>();
    if (spool->size() > jsonReader::messageBudget.textBytes ||
        spool->dropped() != spooledText::Dropped::No)
        return QVariant();
    const QByteArray text = spool->readAll();
    return jsonReader::read('"' + text + '"', 1).value;
}
}  // namespace

namespace param {
bool isString(const QVariantMap &d, const QString &k) {
    if (!d.contains(k)) return false;
    const int t = d.value(k).userType();
    // See jsonReader for the forms a string comes in.
    return t == QMetaType::QString || t == QMetaType::QByteArray ||
           t == qMetaTypeId<spooledTextPtr>();
}
spooledTextPtr spooled(const QVariantMap &d, const QString &k) {
    const QVariant v = d.value(k);
    return v.userType() == qMetaTypeId<spooledTextPtr>() ? v.value<spooledTextPtr>() : nullptr;
}
bool isBool(const QVariantMap &d, const QString &k) {
    return d.contains(k) && d.value(k).userType() == QMetaType::Bool;
}
bool isNumber(const QVariantMap &d, const QString &k) {
    if (!d.contains(k)) return false;
    const int t = d.value(k).userType();
    return t == QMetaType::LongLong || t == QMetaType::Double || t == QMetaType::Int;
}
QString string(const QVariantMap &d, const QString &k, const QString &fallback) {
    if (!isString(d, k)) return fallback;
    const QVariant v = heldValue(d.value(k));
    if (v.userType() != QMetaType::QByteArray) return v.toString();
    // Plain ASCII, NUL included: the shorter conversions stop at a NUL.
    const QByteArray bytes = v.toByteArray();
    return QString::fromLatin1(bytes.constData(), bytes.size());
}
QByteArray stringBytes(const QVariantMap &d, const QString &k) {
    if (!isString(d, k)) return {};
    const QVariant v = heldValue(d.value(k));
    return v.userType() == QMetaType::QByteArray ? v.toByteArray() : v.toString().toUtf8();
}
bool boolean(const QVariantMap &d, const QString &k, bool fallback) {
    return isBool(d, k) ? d.value(k).toBool() : fallback;
}
qint64 integer(const QVariantMap &d, const QString &k, qint64 fallback) {
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
