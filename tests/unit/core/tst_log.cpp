#include <QDir>
#include <QFile>
#include <QtTest>

#include "clientdataroot.h"
#include "commands/utilsmodel.h"
#include "core/log.h"

class tst_log : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void cleanupTestCase();
    void lineFormat_data();
    void lineFormat();
    void dailyFileFollowsTheDate();
    void controlCharactersAreTagged();
    void outsideTextIsEscaped_data();
    void outsideTextIsEscaped();
    void qtMessagesLandInTheFile_data();
    void qtMessagesLandInTheFile();
    void consoleEchoIsNotWrittenTwice();
    void cleanUp_data();
    void cleanUp();
    void unwritableLogIsCountedNotFatal();

  private:
    QStringList logLines() const { return m_root->todaysLogLines(); }
    void createLogFile(const QString &name) const;
    ClientDataRoot *m_root = nullptr;
};

void tst_log::initTestCase() {
    m_root = new ClientDataRoot;
    installMessageHandler();
}

void tst_log::cleanupTestCase() { delete m_root; }

void tst_log::lineFormat_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("short code padded") << 7 << "a::b"
                                       << "hello"
                                       << "2026-12-07 15:30:09 => 7     : [a::b] hello";
    QTest::newRow("six digits exact") << 123456 << "x"
                                      << "t"
                                      << "2026-12-07 15:30:09 => 123456: [x] t";
    QTest::newRow("long code not cut") << 12345678 << "x"
                                       << ""
                                       << "2026-12-07 15:30:09 => 12345678: [x] ";
    QTest::newRow("multi-line text") << 100 << "m"
                                     << "a\nb"
                                     << "2026-12-07 15:30:09 => 100   : [m] a\nb";
}

void tst_log::lineFormat() {
    QFETCH(int, code);
    QFETCH(QString, identifier);
    QFETCH(QString, text);
    QFETCH(QString, expected);
    const QDateTime when(QDate(2026, 12, 7), QTime(15, 30, 9));
    QCOMPARE(logformat::line(when, code, identifier, text), expected);
}

void tst_log::dailyFileFollowsTheDate() {
    const QString dir = QStringLiteral("/d/Log/");
    QCOMPARE(logformat::filePath(dir, QDate(2026, 12, 31)),
             QStringLiteral("/d/Log//_LOG_2026-12-31_QLTRestClientQt.txt"));
    QCOMPARE(logformat::filePath(dir, QDate(2027, 1, 1)),
             QStringLiteral("/d/Log//_LOG_2027-01-01_QLTRestClientQt.txt"));
    utils.addDebugText(100, QStringLiteral("into today's file"), QStringLiteral("t"), true, false);
    QVERIFY(QFile::exists(logformat::filePath(Session.dataLogLocation, QDate::currentDate())));
}

void tst_log::controlCharactersAreTagged() {
    utils.addDebugText(100, QStringLiteral("a") + QChar(2) + QStringLiteral("b") + QChar(3),
                       QStringLiteral("tags"), true, false);
    QVERIFY(logLines().last().endsWith(QStringLiteral("[tags] a<STX>b<ETX>")));
}

void tst_log::outsideTextIsEscaped_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("logged");
    QTest::newRow("a forged line") << "x\n2026-01-01 00:00:00 => 100   : [f] y"
                                   << "x\\n2026-01-01 00:00:00 => 100   : [f] y";
    QTest::newRow("CR, tab, backslash") << "a\rb\tc\\d"
                                        << "a\\rb\\tc\\\\d";
    QTest::newRow("other controls")
        << QString("n") + QChar(0) + QChar(0x1b) + QChar(0x7f) << "n\\x00\\x1b\\x7f";
    QTest::newRow("Unicode line separator") << QString("a") + QChar(0x2028) + "b"
                                            << "a\\x2028b";
    QTest::newRow("letters beyond ASCII kept") << "Kassenbon für €"
                                               << "Kassenbon für €";
    QTest::newRow("cut after 500")
        << QString(600, 'z') << QString(500, 'z') + "... (600 characters)";
    // Masked before the backslashes double, or the escaped quote would end the value early.
    QTest::newRow("secret with a quote") << R"({"pwd":"ab\"cd","x":1})"
                                         << R"({"pwd":"****","x":1})";
}

// Text from a peer or a path must not start a line of its own nor flood the log.
void tst_log::outsideTextIsEscaped() {
    QFETCH(QString, text);
    QTEST(logformat::escaped(text), "logged");
}

void tst_log::qtMessagesLandInTheFile_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("expected");
    QTest::newRow("debug") << int(QtDebugMsg) << "100   : [msgHandler.Debug] m-debug";
    QTest::newRow("info") << int(QtInfoMsg) << "101   : [msgHandler.Info] m-info";
    QTest::newRow("warning") << int(QtWarningMsg) << "900   : [msgHandler.Warning] m-warning";
    QTest::newRow("critical") << int(QtCriticalMsg) << "999   : [msgHandler.Critical] m-critical";
}

void tst_log::qtMessagesLandInTheFile() {
    QFETCH(int, type);
    QFETCH(QString, expected);
    const QString text = expected.mid(expected.indexOf(QLatin1String("] ")) + 2);
    switch (type) {
        case QtDebugMsg:
            qDebug().noquote() << text;
            break;
        case QtInfoMsg:
            qInfo().noquote() << text;
            break;
        case QtWarningMsg:
            qWarning().noquote() << text;
            break;
        default:
            qCritical().noquote() << text;
            break;
    }
    QVERIFY2(logLines().last().endsWith(expected), qPrintable(logLines().last()));
}

void tst_log::consoleEchoIsNotWrittenTwice() {
    const int before = logLines().size();
    utils.addDebugText(100, QStringLiteral("both ways"), QStringLiteral("echo"), true, true);
    const QStringList lines = logLines();
    QCOMPARE(lines.size(), before + 1);
    QVERIFY(lines.last().endsWith(QStringLiteral("[echo] both ways")));
    utils.addDebugText(100, QStringLiteral("console only"), QStringLiteral("echo"), false, true);
    QCOMPARE(logLines().size(), before + 1);
}

void tst_log::createLogFile(const QString &name) const {
    QFile file(Session.dataLogLocation + name);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

void tst_log::cleanUp_data() {
    QTest::addColumn<int>("oldFiles");
    QTest::addColumn<int>("recentFiles");  // at most 15: today and the 14 days before
    QTest::addColumn<int>("undated");
    QTest::addColumn<int>("expectedDeleted");
    QTest::addColumn<bool>("expectKeepingMessage");
    QTest::newRow("20 old: 14 newest kept") << 20 << 0 << 0 << 6 << true;
    QTest::newRow("16 recent, 4 old: old ones go") << 4 << 15 << 1 << 4 << false;
    QTest::newRow("10 recent, 10 old: topped up to 14") << 10 << 10 << 0 << 6 << true;
    QTest::newRow("undated names never deleted") << 0 << 0 << 3 << 0 << false;
    QTest::newRow("14 days old is still recent") << 0 << 15 << 0 << 0 << false;
}

void tst_log::cleanUp() {
    QFETCH(int, oldFiles);
    QFETCH(int, recentFiles);
    QFETCH(int, undated);
    QFETCH(int, expectedDeleted);
    QFETCH(bool, expectKeepingMessage);
    QDir logDir(Session.dataLogLocation);
    for (const QString &f : logDir.entryList(QDir::Files)) logDir.remove(f);
    const QDate today = QDate::currentDate();
    const auto name = [](const QDate &d) {
        return QStringLiteral("_LOG_%1_QLTRestClientQt.txt")
            .arg(d.toString(QStringLiteral("yyyy-MM-dd")));
    };
    QStringList oldNames;  // newest first
    QStringList kept;
    for (int i = 0; i < oldFiles; ++i) oldNames << name(today.addDays(-15 - i));
    for (int i = 0; i < recentFiles; ++i) kept << name(today.addDays(-i));
    for (int i = 0; i < undated; ++i) kept << QStringLiteral("_LOG_x%1_QLTRestClientQt.txt").arg(i);
    for (const QString &n : oldNames + kept) createLogFile(n);
    const QStringList gone = oldNames.mid(oldNames.size() - expectedDeleted);
    kept += oldNames.mid(0, oldNames.size() - expectedDeleted);

    utils.cleanLogFiles();

    QCOMPARE(Session.cleanLogFilesLastDate, today);
    const QStringList after = logDir.entryList(QDir::Files);
    for (const QString &n : gone) QVERIFY2(!after.contains(n), qPrintable(n));
    for (const QString &n : kept) QVERIFY2(after.contains(n), qPrintable(n));
    const bool keeping = logLines().join(QLatin1Char('\n')).contains(QStringLiteral("Keeping "));
    QCOMPARE(keeping, expectKeepingMessage);
}

void tst_log::unwritableLogIsCountedNotFatal() {
    const logger unwritable(m_root->path() + QStringLiteral("no/such/dir/"));
    const int lost = logformat::lostLineCount();
    unwritable.write(100, QStringLiteral("lost"), QStringLiteral("t"), true, false);
    unwritable.write(100, QStringLiteral("lost too"), QStringLiteral("t"), true, false);
    QCOMPARE(logformat::lostLineCount(), lost + 2);
}

QTEST_GUILESS_MAIN(tst_log)
#include "tst_log.moc"
