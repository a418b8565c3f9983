#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

// Starts the real executable and looks at what a run leaves in its working directory.
class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void logFileInWorkingDirectory();
};

void tst_Startup::logFileInWorkingDirectory()
{
    QTemporaryDir workDir;
    QTemporaryDir runtimeDir;
    QVERIFY(workDir.isValid() && runtimeDir.isValid());
    QVERIFY(QDir(workDir.path()) != QDir(QStringLiteral(CORVIN_EXECUTABLE_DIR)));

    QProcess corvin;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // A private runtime folder keeps this run apart from any other instance of the tool.
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.path());
    corvin.setProcessEnvironment(env);
    corvin.setWorkingDirectory(workDir.path());
    corvin.start(QStringLiteral(CORVIN_EXECUTABLE), QStringList());
    QVERIFY(corvin.waitForStarted());

    const QDir logDir(workDir.filePath(QStringLiteral("log")));
    // The first record written, not only the file made: the kill must not come between the two.
    const auto firstRecordWritten = [&logDir] {
        const QStringList files = logDir.entryList(QDir::Files);
        QFile file(logDir.filePath(files.value(0)));
        return files.size() == 1 && file.open(QIODevice::ReadOnly)
                && file.readAll().contains("current currentPath: ");
    };
    QTRY_VERIFY_WITH_TIMEOUT(firstRecordWritten(), 10000);
    corvin.kill();
    corvin.waitForFinished();

    const QString name = logDir.entryList(QDir::Files).first();
    QVERIFY2(QRegularExpression(QStringLiteral("^log\\d{14}\\.log$")).match(name).hasMatch(),
             qPrintable(name));
    QVERIFY(!QFile::exists(QStringLiteral(CORVIN_EXECUTABLE_DIR "/log/") + name));

    QFile log(logDir.filePath(name));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(log.readAll());
    const QRegularExpression first(QStringLiteral(
            "^\n\r\\[[-0-9 :]{23}\\]main\\.cpp int main\\(int, char\\*\\*\\)  Line:\\d+  \r\n"
            "Content:current currentPath:  \"([^\"]*)\"(\n\r\\[|$)"));
    const QRegularExpressionMatch match = first.match(text);
    QVERIFY2(match.hasMatch(), qPrintable(text.left(300)));
    QCOMPARE(QDir(match.captured(1)).canonicalPath(), QDir(workDir.path()).canonicalPath());
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
