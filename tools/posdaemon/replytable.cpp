#include "replytable.h"

#include <QFile>

namespace {

bool decodeEscapes(const QByteArray &text, QByteArray *out) {
    out->clear();
    for (int i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out->append(text[i]);
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
            case 'n':
                out->append('\n');
                break;
            case 't':
                out->append('\t');
                break;
            case '\\':
                out->append('\\');
                break;
            default:
                return false;
        }
    }
    return true;
}

QByteArray encodeEscapes(QByteArray text) {
    return text.replace('\\', "\\\\").replace('\n', "\\n").replace('\t', "\\t");
}

}  // namespace

ReplyTable::ReplyTable()
    : m_replies{
          {"PING", "200 Ok\n"},
          {"INFO", "200 Ok\nline one\nline two\n//END\n"},
          {"INFO2", "200 Ok\nalpha\nbeta\n#END#\n"},
          {"WRONG", "403 Not allowed here\n"},
      } {}

bool ReplyTable::load(const QString &path, QString *error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        if (line.isEmpty() || line.startsWith('#')) continue;
        const QString where =
            path + QLatin1Char(':') + QString::number(i + 1) + QStringLiteral(": ");
        const int tab = line.indexOf('\t');
        if (tab < 0) {
            *error = where + QStringLiteral("no TAB between command and reply");
            return false;
        }
        QByteArray reply;
        if (!decodeEscapes(line.mid(tab + 1), &reply)) {
            *error = where + QStringLiteral("only \\n, \\t and \\\\ are known escapes");
            return false;
        }
        m_replies.insert(line.left(tab), reply);
    }
    return true;
}

std::optional<QByteArray> ReplyTable::reply(const QByteArray &command) const {
    const auto it = m_replies.constFind(command);
    if (it == m_replies.constEnd()) return std::nullopt;
    return it.value();
}

QString ReplyTable::describe() const {
    QString text;
    for (auto it = m_replies.constBegin(); it != m_replies.constEnd(); ++it) {
        text += QStringLiteral("  ") + QString::fromUtf8(it.key()) + QStringLiteral(" -> \"") +
                QString::fromUtf8(encodeEscapes(it.value())) + QStringLiteral("\"\n");
    }
    return text;
}
