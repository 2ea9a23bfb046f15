#include "eventlog.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>

namespace {

void writeLine(const QByteArray &text) {
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void writeJson(const QJsonObject &object) {
    writeLine(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

}  // namespace

void EventLog::port(quint16 port) { writeLine(QByteArray::number(port)); }

void EventLog::event(int connection, const char *what) {
    writeJson(
        {{QStringLiteral("conn"), connection}, {QStringLiteral("event"), QLatin1String(what)}});
}

void EventLog::line(int connection, const QByteArray &line) {
    writeJson(
        {{QStringLiteral("conn"), connection}, {QStringLiteral("line"), QString::fromUtf8(line)}});
}
