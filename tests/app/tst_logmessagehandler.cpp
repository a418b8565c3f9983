#include "TestSupport.h"
#include "app/LogBatch.h"
#include "app/LogMessageHandler.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cstdio>
#include <thread>
#include <unistd.h>

// Runs the handler in a temporary working directory and reads back what it wrote.
class tst_LogMessageHandler : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void recordBytes();
    void typesGiveIdenticalRecords();
    void lineBreaksKept();
    void contentIsUtf8_data();
    void contentIsUtf8();
    void newTimestampNewFile();
    void appendsToExistingFile();
    void consoleEcho();
    void logIsAnOrdinaryFile();
    void threadsWriteWholeRecords();
    void folderMadeAgainWhenItVanishes();
    void renamedFileGetsNoMoreRecords_data();
    void renamedFileGetsNoMoreRecords();
    void messageDuringStaticDestruction();
    void batchWaitsAndKeepsOrder();

private:
    QByteArray logBytes() const;
    QString logPath() const { return QStringLiteral("log/log%1.log").arg(runTimestamp); }
    // Captures what the handler prints on standard output while `action` runs.
    template<typename F>
    QByteArray captureStdout(F action);

    QTemporaryDir *dir = nullptr;
    QString previousDir;
    QtMessageHandler previousHandler = nullptr;
};

static const QRegularExpression recordPattern(
        QStringLiteral("^\n\r\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{3}\\]"
                       "([^ ]+) (.*)  Line:(\\d+)  \r\nContent:(.*)$"),
        QRegularExpression::DotMatchesEverythingOption);

void tst_LogMessageHandler::init()
{
    dir = new QTemporaryDir;
    QVERIFY(dir->isValid());
    previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir->path()));
    runTimestamp = QStringLiteral("20261207081530");
    previousHandler = qInstallMessageHandler(logMessageHandler);
}

void tst_LogMessageHandler::cleanup()
{
    qInstallMessageHandler(previousHandler);
    QDir::setCurrent(previousDir);
    delete dir;
    dir = nullptr;
}

QByteArray tst_LogMessageHandler::logBytes() const
{
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

template<typename F>
QByteArray tst_LogMessageHandler::captureStdout(F action)
{
    std::fflush(stdout);
    QFile sink(dir->filePath(QStringLiteral("stdout.txt")));
    if (!sink.open(QIODevice::ReadWrite | QIODevice::Truncate))
        return QByteArray();
    const int saved = dup(STDOUT_FILENO);
    dup2(sink.handle(), STDOUT_FILENO);
    action();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    sink.seek(0);
    return sink.readAll();
}

void tst_LogMessageHandler::recordBytes()
{
    const int line = __LINE__ + 1;
    qDebug() << "current currentPath: " << QStringLiteral("/x/y");

    const QByteArray bytes = logBytes();
    const QByteArray head("\n\r[");
    QVERIFY(bytes.startsWith(head));
    const QByteArray time = bytes.mid(3, 23);
    QVERIFY2(
            QRegularExpression(QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{3}$"))
                    .match(QString::fromLatin1(time))
                    .hasMatch(),
            time.constData());
    const QByteArray expected = head + time + "]tst_logmessagehandler.cpp "
            + QByteArray(Q_FUNC_INFO) + "  Line:" + QByteArray::number(line)
            + "  \r\nContent:current currentPath:  \"/x/y\"";
    QCOMPARE(bytes, expected);
    QVERIFY(QFileInfo(QStringLiteral("log")).isDir());
}

void tst_LogMessageHandler::typesGiveIdenticalRecords()
{
    qDebug("same text");
    qWarning("same text");
    const QStringList records
            = QString::fromUtf8(logBytes()).split(QStringLiteral("\n\r["), Qt::SkipEmptyParts);
    QCOMPARE(records.size(), 2);
    // Only the time and the line number differ between the two calls.
    const QRegularExpressionMatch first = recordPattern.match(QStringLiteral("\n\r[") + records[0]);
    const QRegularExpressionMatch second
            = recordPattern.match(QStringLiteral("\n\r[") + records[1]);
    QVERIFY(first.hasMatch() && second.hasMatch());
    QCOMPARE(first.captured(1), second.captured(1));
    QCOMPARE(first.captured(2), second.captured(2));
    QCOMPARE(second.captured(3).toInt(), first.captured(3).toInt() + 1);
    QCOMPARE(first.captured(4), QStringLiteral("same text"));
    QCOMPARE(second.captured(4), QStringLiteral("same text"));
}

void tst_LogMessageHandler::lineBreaksKept()
{
    qDebug("one\ntwo\r\nthree");
    QVERIFY(logBytes().endsWith("  \r\nContent:one\ntwo\r\nthree"));
}

void tst_LogMessageHandler::contentIsUtf8_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("ascii") << QStringLiteral("plain /x/y.png");
    QTest::newRow("two bytes") << QString::fromUtf8("caf\u00e9 \u07ff");
    QTest::newRow("three bytes") << QString::fromUtf8("\u0800 课件 \uffff");
    QTest::newRow("pair") << QString::fromUtf8("a \U0001F600 b");
    QTest::newRow("stray high") << (QStringLiteral("a") + QChar(0xd83d) + QStringLiteral("b"));
    QTest::newRow("stray low") << (QStringLiteral("a") + QChar(0xde00));
}

void tst_LogMessageHandler::contentIsUtf8()
{
    QFETCH(QString, text);
    const QByteArray echo = captureStdout([&] {
        logMessageHandler(QtDebugMsg, QMessageLogContext("a/b\\c.cpp", -3, "fn", "default"), text);
    });
    QCOMPARE(echo, text.toUtf8() + '\n');
    const QByteArray bytes = logBytes();
    QVERIFY2(bytes.endsWith("]c.cpp fn  Line:-3  \r\nContent:" + text.toUtf8()), bytes.constData());
}

void tst_LogMessageHandler::newTimestampNewFile()
{
    qDebug("first");
    runTimestamp = QStringLiteral("20261207081531");
    qDebug("second");
    QVERIFY(logBytes().endsWith("Content:second"));
    runTimestamp = QStringLiteral("20261207081530");
    QVERIFY(logBytes().endsWith("Content:first"));
}

void tst_LogMessageHandler::appendsToExistingFile()
{
    QVERIFY(QDir().mkpath(QStringLiteral("log")));
    QFile existing(logPath());
    QVERIFY(existing.open(QIODevice::WriteOnly));
    existing.write("earlier run\n");
    existing.close();

    qDebug("later");
    const QByteArray bytes = logBytes();
    QVERIFY(bytes.startsWith("earlier run\n\n\r["));
    QVERIFY(bytes.endsWith("Content:later"));
}

void tst_LogMessageHandler::consoleEcho()
{
    const QByteArray out
            = captureStdout([] { qDebug() << "echo" << 42 << QStringLiteral("课件"); });
    QCOMPARE(out, QByteArray("echo 42 \"课件\"\n"));
    // The record is UTF-8 whatever the locale's code page.
    QVERIFY(logBytes().endsWith("Content:echo 42 " + QStringLiteral("\"课件\"").toUtf8()));
}

void tst_LogMessageHandler::logIsAnOrdinaryFile()
{
    QFile blocker(QStringLiteral("log"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.write("not a folder");
    blocker.close();

    QElapsedTimer timer;
    timer.start();
    const QByteArray out = captureStdout([] {
        qDebug("first");
        qDebug("second");
    });
    const QList<QByteArray> lines = out.split('\n');
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines[0], QByteArray("first"));
    QVERIFY2(!lines[1].isEmpty(), "the file's error text follows the message");
    QCOMPARE(lines[2], QByteArray("second"));
    QCOMPARE(lines[3], lines[1]);
    QCOMPARE(lines[4], QByteArray());

    QVERIFY(QFileInfo(QStringLiteral("log")).isFile());
    QFile after(QStringLiteral("log"));
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(after.readAll(), QByteArray("not a folder"));
    after.close();

    // The records were dropped, not kept back: once the way is free the next one lands alone.
    QVERIFY(QFile::remove(QStringLiteral("log")));
    captureStdout([] { qDebug("third"); });
    QVERIFY(logBytes().startsWith("\n\r["));
    QVERIFY(logBytes().endsWith("Content:third"));
    QCOMPARE(logBytes().count("Content:"), 1);
}

// The file stays open between records; a log folder removed mid-run is made again.
void tst_LogMessageHandler::folderMadeAgainWhenItVanishes()
{
    if (TestSupport::underWine())
        QSKIP("Wine keeps the name of a deleted open file and reports no pending deletion");
    captureStdout([] { qDebug("before"); });
    // On Windows the folder stays while the file is open; the file goes all the same.
    QDir(QStringLiteral("log")).removeRecursively();
    captureStdout([] { qDebug("after"); });
    QVERIFY(logBytes().startsWith("\n\r["));
    QVERIFY(logBytes().endsWith("Content:after"));
    QVERIFY(!logBytes().contains("before"));
}

void tst_LogMessageHandler::renamedFileGetsNoMoreRecords_data()
{
    QTest::addColumn<QString>("renamedTo");
    QTest::newRow("renamed") << "log/old.log";
    QTest::newRow("moved to another folder") << "kept.log";
}

// A log renamed or moved while open keeps what it had; the next record goes to a new file under
// the run's name.
void tst_LogMessageHandler::renamedFileGetsNoMoreRecords()
{
    QFETCH(QString, renamedTo);
    captureStdout([] { qDebug("before"); });
    QVERIFY(QFile::rename(logPath(), renamedTo));
    captureStdout([] { qDebug("after"); });
    QFile renamed(renamedTo);
    QVERIFY(renamed.open(QIODevice::ReadOnly));
    const QByteArray old = renamed.readAll();
    QVERIFY(old.endsWith("Content:before"));
    QCOMPARE(old.count("Content:"), 1);
    QVERIFY(logBytes().startsWith("\n\r["));
    QVERIFY(logBytes().endsWith("Content:after"));
    QCOMPARE(logBytes().count("Content:"), 1);
}

void tst_LogMessageHandler::messageDuringStaticDestruction()
{
    QProcess helper;
    helper.setWorkingDirectory(dir->path());
    // Made absolute here: under Wine a path without a drive would be taken on the helper's.
    helper.start(QFileInfo(QStringLiteral(CORVIN_LOG_AT_EXIT)).absoluteFilePath(), QStringList());
    QVERIFY2(helper.waitForFinished(30000), qPrintable(helper.errorString()));
    QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
    QCOMPARE(helper.exitCode(), 0);
    QFile file(dir->filePath(QStringLiteral("log/log20261208093000.log")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.contains("Content:logged in main"));
    QVERIFY2(bytes.endsWith("Content:logged during static destruction"), bytes.constData());
}

class LoggingThread : public QThread
{
public:
    LoggingThread(const QString &tag, int count) : tag(tag), count(count) { }
    void run() override
    {
        for (int i = 0; i < count; ++i)
            qDebug().noquote() << tag << i;
    }
    QString tag;
    int count;
};

void tst_LogMessageHandler::threadsWriteWholeRecords()
{
    const int perThread = 150;
    LoggingThread a(QStringLiteral("alpha"), perThread);
    LoggingThread b(QStringLiteral("beta"), perThread);
    captureStdout([&] {
        a.start();
        b.start();
        a.wait();
        b.wait();
    });

    const QString text = QString::fromUtf8(logBytes());
    const QStringList records = text.split(QStringLiteral("\n\r["), Qt::SkipEmptyParts);
    QCOMPARE(records.size(), 2 * perThread);
    QList<int> nextIndex {0, 0};
    for (const QString &record : records) {
        const QRegularExpressionMatch m = recordPattern.match(QStringLiteral("\n\r[") + record);
        QVERIFY2(m.hasMatch(), qPrintable(record));
        const QStringList content = m.captured(4).split(QLatin1Char(' '));
        QCOMPARE(content.size(), 2);
        const int who = content[0] == QLatin1String("alpha") ? 0 : 1;
        // Each thread's records are whole and in its own order.
        QCOMPARE(content[1].toInt(), nextIndex[who]);
        ++nextIndex[who];
    }
    QCOMPARE(nextIndex, (QList<int> {perThread, perThread}));
}

// A batch's records wait in memory; a record of another thread writes them out before itself.
void tst_LogMessageHandler::batchWaitsAndKeepsOrder()
{
    QByteArray waited;
    QByteArray afterOther;
    const QByteArray out = captureStdout([&] {
        {
            const LogBatch batch;
            qDebug("first");
            qDebug("second");
            waited = logBytes();
            std::thread([] { qDebug("other thread"); }).join();
            afterOther = logBytes();
            qDebug("third");
        }
    });
    QCOMPARE(waited, QByteArray());
    const QRegularExpression order(
            QStringLiteral("Content:first.*Content:second.*Content:other thread$"),
            QRegularExpression::DotMatchesEverythingOption);
    QVERIFY(order.match(QString::fromUtf8(afterOther)).hasMatch());
    QVERIFY(logBytes().startsWith(afterOther));
    QVERIFY(logBytes().endsWith("Content:third"));
    QCOMPARE(logBytes().count("\n\r["), 4);
    QCOMPARE(out, QByteArray("first\nsecond\nother thread\nthird\n"));
}

QTEST_GUILESS_MAIN(tst_LogMessageHandler)
#include "tst_logmessagehandler.moc"
