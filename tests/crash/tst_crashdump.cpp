#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "TestSupport.h"

#include <csignal>
#include <cstring>
#ifdef Q_OS_LINUX
#include <elf.h>
#endif

// Crashes the helper process (installs the crash handler as main does, then faults in
// crashHere()) and reads back the dump, the log and how the process ended.
class tst_CrashDump : public QObject
{
    Q_OBJECT

private slots:
    void dumpOnCrash_data();
    void dumpOnCrash();
    void noDumpFolder();
    void notHandledGoesToPreviousHandler_data();
    void notHandledGoesToPreviousHandler();
    void eachCrashGetsItsOwnDump();
    void crashWhileHoldingLogLock();
    void callbackStuckOrFaulting_data();
    void callbackStuckOrFaulting();
    void lldbShowsCrashingFunction_data();
    void lldbShowsCrashingFunction();

private:
    struct Run
    {
        QProcess::ExitStatus status = QProcess::NormalExit;
        int code = 0;
        qint64 pid = 0;
        quint32 ended = 0; // the signal or exception code that ended the helper (faultCode, ...)
        QByteArray out;
        QByteArray err;
    };
    Run crash(const QString &workDir, const QString &kind, const QString &callback,
              bool previousHandler);
};

namespace {

const QString guidName
        = QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.dmp$");

// What ends the helper: on Linux the signal, by which it ends as a crash; on Windows the
// exception code, which is its exit code.
#ifdef Q_OS_WIN
const quint32 faultCode = 0xC0000005; // access violation
const quint32 abortCode = 0x40000015; // STATUS_FATAL_APP_EXIT
const quint32 overflowCode = 0xC00000FD;
#else
const quint32 faultCode = SIGSEGV;
const quint32 abortCode = SIGABRT;
const quint32 overflowCode = SIGSEGV;
#endif

QString logText(const QString &workDir)
{
    const QDir logDir(workDir + QStringLiteral("/log"));
    QString text;
    for (const QString &name : logDir.entryList(QDir::Files)) {
        QFile file(logDir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromUtf8(file.readAll());
    }
    return text;
}

#ifdef Q_OS_LINUX
// The build-id note of an ELF file on disk.
QByteArray elfBuildId(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray bytes = file.readAll();
    Elf64_Ehdr header;
    if (bytes.size() < int(sizeof header))
        return QByteArray();
    std::memcpy(&header, bytes.constData(), sizeof header);
    for (int i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr ph;
        const qint64 at = qint64(header.e_phoff) + qint64(i) * header.e_phentsize;
        if (at + qint64(sizeof ph) > bytes.size())
            return QByteArray();
        std::memcpy(&ph, bytes.constData() + at, sizeof ph);
        if (ph.p_type != PT_NOTE)
            continue;
        qint64 n = qint64(ph.p_offset);
        const qint64 end = n + qint64(ph.p_filesz);
        while (n + qint64(sizeof(Elf64_Nhdr)) <= end && end <= bytes.size()) {
            Elf64_Nhdr note;
            std::memcpy(&note, bytes.constData() + n, sizeof note);
            const qint64 name = n + qint64(sizeof note);
            const qint64 desc = name + ((note.n_namesz + 3) & ~3u);
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4
                && std::memcmp(bytes.constData() + name, "GNU", 4) == 0)
                return bytes.mid(int(desc), int(note.n_descsz));
            n = desc + ((note.n_descsz + 3) & ~3u);
        }
    }
    return QByteArray();
}
#endif

// Reads a minidump as LLDB does and checks what a backtrace needs.
class DumpReader
{
public:
    explicit DumpReader(const QByteArray &bytes) : bytes(bytes) { }

    template<typename T>
    T at(qint64 offset) const
    {
        T value;
        std::memset(&value, 0, sizeof value);
        if (offset >= 0 && offset + qint64(sizeof value) <= bytes.size())
            std::memcpy(&value, bytes.constData() + offset, sizeof value);
        return value;
    }
    bool inBounds(quint64 rva, quint64 size) const { return rva + size <= quint64(bytes.size()); }

    struct Stream
    {
        quint32 size = 0;
        quint32 rva = 0;
        bool present = false;
    };
    QMap<quint32, Stream> streams;
    QStringList problems;

    void readDirectory()
    {
        if (bytes.left(4) != "MDMP")
            problems << QStringLiteral("signature");
        if ((at<quint32>(4) & 0xffff) != 0xa793)
            problems << QStringLiteral("version");
        const quint32 count = at<quint32>(8);
        const quint32 directory = at<quint32>(12);
        if (!inBounds(directory, quint64(count) * 12))
            problems << QStringLiteral("directory out of bounds");
        for (quint32 i = 0; i < count; ++i) {
            const quint32 type = at<quint32>(directory + 12 * i);
            Stream s;
            s.size = at<quint32>(directory + 12 * i + 4);
            s.rva = at<quint32>(directory + 12 * i + 8);
            s.present = true;
            if (streams.contains(type))
                problems << QStringLiteral("duplicate stream %1").arg(type);
            if (!inBounds(s.rva, s.size))
                problems << QStringLiteral("stream %1 out of bounds").arg(type);
            streams.insert(type, s);
        }
    }

    QString string(quint32 rva) const
    {
        const quint32 length = at<quint32>(rva);
        if (!inBounds(quint64(rva) + 4, length))
            return QString();
        return QString::fromUtf16(reinterpret_cast<const ushort *>(bytes.constData() + rva + 4),
                                  int(length / 2));
    }

    QByteArray bytes;
};

} // namespace

tst_CrashDump::Run tst_CrashDump::crash(const QString &workDir, const QString &kind,
                                        const QString &callback, bool previousHandler)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Under the sanitizers their own fault handlers would stand in for "the handler before".
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS"))
                       + QStringLiteral(":handle_segv=0:handle_sigbus=0:handle_sigfpe=0"
                                        ":handle_sigill=0:handle_abort=0"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workDir);
    QStringList args = {kind, callback};
    if (previousHandler)
        args << QStringLiteral("--previous");
#ifdef Q_OS_WIN
    process.start(QStringLiteral(CORVIN_CRASH_HELPER), args);
#else
    // The shell only switches core files off; exec keeps the helper's pid and its end.
    args = QStringList {QStringLiteral("-c"), QStringLiteral("ulimit -c 0 && exec \"$0\" \"$@\""),
                        QStringLiteral(CORVIN_CRASH_HELPER)}
            + args;
    process.start(QStringLiteral("/bin/sh"), args);
#endif
    Run run;
    if (!process.waitForStarted() || !process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        run.code = -1000;
        return run;
    }
    run.status = process.exitStatus();
    run.code = process.exitCode();
#ifdef Q_OS_WIN
    run.ended = quint32(run.code);
#else
    run.ended = run.status == QProcess::CrashExit ? quint32(run.code) : 0;
#endif
    // Windows' text-mode streams end lines in "\r\n".
    run.out = process.readAllStandardOutput().replace("\r\n", "\n");
    run.err = process.readAllStandardError().replace("\r\n", "\n");
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("^pid (\\d+) installed 1$"),
                                                         QRegularExpression::MultilineOption)
                                              .match(QString::fromUtf8(run.out));
    run.pid = m.hasMatch() ? m.captured(1).toLongLong() : 0;
    return run;
}

void tst_CrashDump::dumpOnCrash_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<uint>("code");
    QTest::newRow("null pointer write") << "segv" << faultCode;
    QTest::newRow("abort") << "abrt" << abortCode;
    QTest::newRow("second thread") << "thread" << faultCode;
    QTest::newRow("stack overflow") << "overflow" << overflowCode;
    QTest::newRow("in the event loop") << "event" << faultCode;
    // The handler stays whole while ~QCoreApplication waits for the pool.
    QTest::newRow("pool task after quit") << "afterquit" << faultCode;
#ifndef Q_OS_WIN
    QTest::newRow("division by zero") << "fpe" << quint32(SIGFPE);
    QTest::newRow("illegal instruction") << "ill" << quint32(SIGILL);
    QTest::newRow("page past end of file") << "bus" << quint32(SIGBUS);
#endif
}

void tst_CrashDump::dumpOnCrash()
{
    QFETCH(QString, kind);
    QFETCH(uint, code);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString workDir = QDir(dir.path()).canonicalPath();
    QVERIFY(QDir(workDir).mkdir(QStringLiteral("dump")));

    const bool mainThread = kind != QLatin1String("thread") && kind != QLatin1String("afterquit");
    const Run run = crash(workDir, kind, QStringLiteral("real"), true);
    QVERIFY2(run.pid > 0, run.out.constData());
    // The callback answered true: the process ends by its crash (Linux: by the signal under the
    // default action), without passing through the handler installed before.
    QCOMPARE(run.ended, code);
    QVERIFY2(!run.err.contains("previous handler"), run.err.constData());

    const QStringList dumps = QDir(workDir + QStringLiteral("/dump")).entryList(QDir::Files);
    QCOMPARE(dumps.size(), 1);
    const QString name = dumps.first();
    QVERIFY2(QRegularExpression(guidName).match(name).hasMatch(), qPrintable(name));
    const QString guid = name.left(36);

    const QString expectedLine
            = QStringLiteral("\r\nContent:dump guid is  \"%1\"  dump path is :  \"%2\"")
                      .arg(guid, workDir + QStringLiteral("/dump/"));
    const QString log = logText(workDir);
    QVERIFY2(log.contains(expectedLine), qPrintable(log));
    QVERIFY(log.contains(QStringLiteral("MiniDumpCallback.cpp bool MiniDumpCallback(")));
    QVERIFY(!log.contains(QStringLiteral("dump failed")));

    QFile file(workDir + QStringLiteral("/dump/") + name);
    QVERIFY(file.open(QIODevice::ReadOnly));
    DumpReader dump(file.readAll());
    dump.readDirectory();
    QVERIFY2(dump.problems.isEmpty(), qPrintable(dump.problems.join(QLatin1Char(','))));
    // The exception stream names the crashed thread and the code; the thread list holds it.
    const DumpReader::Stream exceptionStream = dump.streams.value(6);
    QVERIFY(exceptionStream.present);
    QCOMPARE(dump.at<quint32>(exceptionStream.rva + 8), quint32(code));
    const quint32 crashedThread = dump.at<quint32>(exceptionStream.rva);
    const DumpReader::Stream threadList = dump.streams.value(3);
    bool crashedThreadListed = false;
    for (quint32 i = 0; i < dump.at<quint32>(threadList.rva); ++i)
        crashedThreadListed = crashedThreadListed
                || dump.at<quint32>(threadList.rva + 4 + 48 * i) == crashedThread;
    // Under Wine a thread whose stack ran out is gone before its dump is written.
    const bool threadGone = TestSupport::underWine() && kind == QLatin1String("overflow");
    QCOMPARE(crashedThreadListed, !threadGone);
#ifdef Q_OS_WIN
    // MiniDumpWriteDump's own dump: every thread, every module; the helper among them.
    QVERIFY(dump.streams.value(4).present && dump.streams.value(7).present);
    bool helperListed = false;
    const DumpReader::Stream moduleList = dump.streams.value(4);
    for (quint32 i = 0; i < dump.at<quint32>(moduleList.rva); ++i) {
        const QString path = dump.string(dump.at<quint32>(moduleList.rva + 4 + 108 * i + 20));
        helperListed = helperListed
                || QFileInfo(path).fileName().compare(QStringLiteral("corvin_crash_helper.exe"),
                                                      Qt::CaseInsensitive)
                        == 0;
    }
    QVERIFY(helperListed);
    // A second thread crashed: not the one that runs main.
    if (!threadGone)
        QCOMPARE(crashedThread == dump.at<quint32>(threadList.rva + 4), mainThread);
#else
    QCOMPARE(file.permissions() & (QFile::ReadOther | QFile::ReadGroup), QFile::Permissions());
    for (quint32 type : {3u, 4u, 5u, 6u, 7u, 15u, 0x47670004u, 0x47670009u})
        QVERIFY2(dump.streams.value(type).present, qPrintable(QString::number(type, 16)));

    const DumpReader::Stream system = dump.streams.value(7);
    QCOMPARE(system.size, 56u);
    QCOMPARE(dump.at<quint16>(system.rva), quint16(9));
    QCOMPARE(dump.at<quint32>(system.rva + 20), 0x8201u);
    QVERIFY(dump.string(dump.at<quint32>(system.rva + 24)).startsWith(QStringLiteral("Linux ")));

    const DumpReader::Stream misc = dump.streams.value(15);
    QCOMPARE(misc.size, 24u);
    QCOMPARE(dump.at<quint32>(misc.rva + 4) & 1u, 1u);
    QCOMPARE(qint64(dump.at<quint32>(misc.rva + 8)), run.pid);

    // The crashed thread, then the main thread when another one crashed; each with its stack.
    const DumpReader::Stream threads = dump.streams.value(3);
    const quint32 threadCount = mainThread ? 1 : 2;
    QCOMPARE(threads.size, 4u + 48u * threadCount);
    QCOMPARE(dump.at<quint32>(threads.rva), threadCount);
    const DumpReader::Stream memory = dump.streams.value(5);
    const quint32 ranges = dump.at<quint32>(memory.rva);
    QCOMPARE(ranges, threadCount);
    QCOMPARE(memory.size, 4u + 16u * ranges);
    const auto listed = [&](quint32 thread) {
        bool found = false;
        for (quint32 i = 0; i < ranges; ++i) {
            const quint32 d = memory.rva + 4 + 16 * i;
            found = found
                    || (dump.at<quint64>(d) == dump.at<quint64>(thread + 24)
                        && dump.at<quint32>(d + 8) == dump.at<quint32>(thread + 32)
                        && dump.at<quint32>(d + 12) == dump.at<quint32>(thread + 36));
        }
        return found;
    };
    if (!mainThread) {
        const quint32 main = threads.rva + 4 + 48;
        QCOMPARE(qint64(dump.at<quint32>(main)), run.pid);
        QCOMPARE(dump.at<quint32>(main + 40), 1232u);
        const quint64 start = dump.at<quint64>(main + 24);
        const quint64 rsp = dump.at<quint64>(dump.at<quint32>(main + 44) + 0x98);
        QVERIFY(start <= rsp && rsp < start + dump.at<quint32>(main + 32));
        QVERIFY(listed(main));
    }
    const quint32 thread = threads.rva + 4;
    const quint32 threadId = dump.at<quint32>(thread);
    const quint64 stackStart = dump.at<quint64>(thread + 24);
    const quint32 stackSize = dump.at<quint32>(thread + 32);
    const quint32 stackRva = dump.at<quint32>(thread + 36);
    const quint32 contextSize = dump.at<quint32>(thread + 40);
    const quint32 contextRva = dump.at<quint32>(thread + 44);
    QCOMPARE(contextSize, 1232u);
    QVERIFY(dump.inBounds(contextRva, contextSize));
    QVERIFY(dump.inBounds(stackRva, stackSize));
    // The main thread's id is the pid.
    QCOMPARE(qint64(threadId) == run.pid, mainThread);
    const quint32 flags = dump.at<quint32>(contextRva + 0x30);
    QCOMPARE(flags & 0x0010000bu, 0x0010000bu);
    QCOMPARE(flags & 0x80000000u, 0u);
    const quint64 rsp = dump.at<quint64>(contextRva + 0x98);
    const quint64 rip = dump.at<quint64>(contextRva + 0xf8);
    QVERIFY(stackSize > 0);
    if (kind == QLatin1String("overflow"))
        QVERIFY(rsp < stackStart + stackSize && stackStart - qMin(stackStart, rsp) < 64 * 1024);
    else
        QVERIFY(stackStart <= rsp && rsp < stackStart + stackSize);

    QVERIFY(listed(thread));

    const DumpReader::Stream exception = dump.streams.value(6);
    QCOMPARE(exception.size, 168u);
    QCOMPARE(dump.at<quint32>(exception.rva), threadId);
    QCOMPARE(dump.at<quint32>(exception.rva + 8), quint32(code));
    QCOMPARE(dump.at<quint32>(exception.rva + 160), contextSize);
    QCOMPARE(dump.at<quint32>(exception.rva + 164), contextRva);
    const qint32 signalCode = dump.at<qint32>(exception.rva + 12);
    const quint64 address = dump.at<quint64>(exception.rva + 24);
    if (kind == QLatin1String("segv") || kind == QLatin1String("thread")) {
        QCOMPARE(signalCode, SEGV_MAPERR);
        QCOMPARE(address, quint64(0));
    } else if (kind == QLatin1String("abrt")) {
        QCOMPARE(signalCode, SI_TKILL);
    } else if (kind == QLatin1String("fpe")) {
        QCOMPARE(signalCode, FPE_INTDIV);
        QCOMPARE(address, rip);
    }

    // The helper's own module, with the build-id of the file on disk and the fault inside it.
    const DumpReader::Stream modules = dump.streams.value(4);
    const quint32 moduleCount = dump.at<quint32>(modules.rva);
    QCOMPARE(modules.size, 4u + 108u * moduleCount);
    const QString helper = QFileInfo(QStringLiteral(CORVIN_CRASH_HELPER)).canonicalFilePath();
    bool helperFound = false;
    bool libcFound = false;
    for (quint32 i = 0; i < moduleCount; ++i) {
        const quint32 m = modules.rva + 4 + 108 * i;
        const QString path = dump.string(dump.at<quint32>(m + 20));
        const quint64 base = dump.at<quint64>(m);
        const quint32 size = dump.at<quint32>(m + 8);
        const quint32 cvSize = dump.at<quint32>(m + 76);
        const quint32 cvRva = dump.at<quint32>(m + 80);
        QVERIFY(dump.inBounds(cvRva, cvSize));
        if (QFileInfo(path).fileName().startsWith(QStringLiteral("libc.so")))
            libcFound = true;
        if (path != helper)
            continue;
        helperFound = true;
        QCOMPARE(dump.at<quint32>(cvRva), 0x4270454cu);
        const QByteArray id = dump.bytes.mid(int(cvRva + 4), int(cvSize - 4));
        QVERIFY(!id.isEmpty());
        QCOMPARE(id.toHex(), elfBuildId(helper).toHex());
        // abort() faults in the C library; an overflow under the sanitizers may fault in
        // their runtime, called from the frame's prologue.
        if (kind != QLatin1String("abrt") && kind != QLatin1String("overflow"))
            QVERIFY(base <= rip && rip < base + size);
    }
    QVERIFY2(helperFound, qPrintable(helper));
    QVERIFY(libcFound);

    const DumpReader::Stream maps = dump.streams.value(0x47670009);
    const QByteArray mapsText = dump.bytes.mid(int(maps.rva), int(maps.size));
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]+-[0-9a-f]+ [-r][-w][-x][ps] "))
                    .match(QString::fromUtf8(mapsText))
                    .hasMatch());
    QVERIFY(mapsText.contains(helper.toUtf8()));
    const DumpReader::Stream status = dump.streams.value(0x47670004);
    QVERIFY(dump.bytes.mid(int(status.rva), int(status.size))
                    .contains(QByteArray("\nPid:\t") + QByteArray::number(run.pid) + '\n'));
#endif
}

void tst_CrashDump::noDumpFolder()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString workDir = QDir(dir.path()).canonicalPath();

    const Run run = crash(workDir, QStringLiteral("segv"), QStringLiteral("real"), false);
    QVERIFY2(run.pid > 0, run.out.constData());
    // "dump failed" makes the callback answer false; with nothing installed before, the crash
    // ends the process all the same (Linux: by its signal).
    QCOMPARE(run.ended, faultCode);
    // Nothing but the log: the folder is not created and no dump lands elsewhere.
    QCOMPARE(QDir(workDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList {QStringLiteral("log")});
    const QString log = logText(workDir);
    QVERIFY2(log.contains(QStringLiteral("\r\nContent:dump failed")), qPrintable(log));
    QVERIFY(!log.contains(QStringLiteral("dump guid is")));
}

void tst_CrashDump::notHandledGoesToPreviousHandler_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<uint>("code");
    QTest::addColumn<bool>("withFolder");
    QTest::addColumn<QString>("callback");
    QTest::newRow("callback answers false, fault") << "segv" << faultCode << true << "false";
    QTest::newRow("callback answers false, abort") << "abrt" << abortCode << true << "false";
    QTest::newRow("dump failed, fault") << "segv" << faultCode << false << "real";
#ifndef Q_OS_WIN
    QTest::newRow("dump failed, division") << "fpe" << quint32(SIGFPE) << false << "real";
#endif
}

void tst_CrashDump::notHandledGoesToPreviousHandler()
{
    QFETCH(QString, kind);
    QFETCH(uint, code);
    QFETCH(bool, withFolder);
    QFETCH(QString, callback);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString workDir = QDir(dir.path()).canonicalPath();
    if (withFolder)
        QVERIFY(QDir(workDir).mkdir(QStringLiteral("dump")));

    const Run run = crash(workDir, kind, callback, true);
    QVERIFY2(run.pid > 0, run.out.constData());
    // The earlier handler gets the crash once, then the process ends by it.
#ifdef Q_OS_WIN
    const QByteArray marker
            = QStringLiteral("previous handler: %1\n").arg(code, 8, 16, QLatin1Char('0')).toUtf8();
#else
    const QByteArray marker
            = QStringLiteral("previous handler: %1\n").arg(code, 2, 10, QLatin1Char('0')).toUtf8();
#endif
    QCOMPARE(run.err.count(marker), 1);
    QCOMPARE(run.ended, quint32(code));

    const QStringList dumps = QDir(workDir + QStringLiteral("/dump")).entryList(QDir::Files);
    QCOMPARE(dumps.size(), withFolder ? 1 : 0);
    const QString log = logText(workDir);
    QCOMPARE(log.contains(QStringLiteral("dump guid is")), withFolder);
    QCOMPARE(log.contains(QStringLiteral("dump failed")), !withFolder);
}

void tst_CrashDump::eachCrashGetsItsOwnDump()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString workDir = QDir(dir.path()).canonicalPath();
    QVERIFY(QDir(workDir).mkdir(QStringLiteral("dump")));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(crash(workDir, QStringLiteral("segv"), QStringLiteral("real"), false).ended,
                 faultCode);
    const QStringList dumps = QDir(workDir + QStringLiteral("/dump")).entryList(QDir::Files);
    QCOMPARE(dumps.size(), 3);
    for (const QString &name : dumps)
        QVERIFY(logText(workDir).contains(name.left(36)));
}

void tst_CrashDump::crashWhileHoldingLogLock()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString workDir = QDir(dir.path()).canonicalPath();
    QVERIFY(QDir(workDir).mkdir(QStringLiteral("dump")));

    // The callback cannot log (the frozen thread holds the lock for good); it gives the line up
    // instead of hanging, and the crash ends as a handled one.
    const Run run = crash(workDir, QStringLiteral("locked"), QStringLiteral("real"), true);
    QVERIFY2(run.pid > 0, run.out.constData());
    QCOMPARE(run.ended, faultCode);
    QVERIFY(!run.err.contains("previous handler"));
    QCOMPARE(QDir(workDir + QStringLiteral("/dump")).entryList(QDir::Files).size(), 1);
    QVERIFY(!logText(workDir).contains(QStringLiteral("dump guid is")));
}

void tst_CrashDump::callbackStuckOrFaulting_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("callback");
    QTest::addColumn<uint>("code");
    // The crashed thread stops waiting for the callback; the dump it has counts as handled.
    QTest::newRow("stuck callback, fault") << "segv"
                                           << "stuck" << faultCode;
    QTest::newRow("faulting callback, fault") << "segv"
                                              << "fault" << faultCode;
    // Under Wine no crashed thread waits after an overflow: the watchdog ends the process.
    QTest::newRow("stuck callback, overflow") << "overflow"
                                              << "stuck" << overflowCode;
    QTest::newRow("faulting callback, overflow") << "overflow"
                                                 << "fault" << overflowCode;
}

void tst_CrashDump::callbackStuckOrFaulting()
{
    QFETCH(QString, kind);
    QFETCH(QString, callback);
    QFETCH(uint, code);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString workDir = QDir(dir.path()).canonicalPath();
    QVERIFY(QDir(workDir).mkdir(QStringLiteral("dump")));

    const Run run = crash(workDir, kind, callback, true);
    QVERIFY2(run.pid > 0, run.out.constData());
    // The process ends by its crash, as a handled one: the dump was written.
    QCOMPARE(run.ended, code);
    QVERIFY2(!run.err.contains("previous handler"), run.err.constData());
    QCOMPARE(QDir(workDir + QStringLiteral("/dump")).entryList(QDir::Files).size(), 1);
    QVERIFY(logText(workDir).contains(QStringLiteral("dump guid is")));
}

void tst_CrashDump::lldbShowsCrashingFunction_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("function");
    QTest::addColumn<bool>("faultInFunction");
    QTest::addColumn<bool>("mainShown");
    QTest::newRow("segv") << "segv"
                          << "crashHere" << true << true;
    QTest::newRow("fpe") << "fpe"
                         << "crashHere" << true << true;
    // abort() is entered from crashHere (an optimised build moves that call into crashHere.cold).
    QTest::newRow("abrt") << "abrt"
                          << "crashHere" << false << true;
    // A second thread's stack ends in the thread library, not in main.
    QTest::newRow("thread") << "thread"
                            << "crashHere" << true << false;
    // Thousands of frames: main lies beyond the frames shown. Under the sanitizers the last
    // frame may be their runtime's.
    QTest::newRow("overflow") << "overflow"
                              << "overflowHere" << false << false;
}

void tst_CrashDump::lldbShowsCrashingFunction()
{
    QFETCH(QString, kind);
    QFETCH(QString, function);
    QFETCH(bool, faultInFunction);
    QFETCH(bool, mainShown);
#ifdef Q_OS_WIN
    Q_UNUSED(kind)
    Q_UNUSED(function)
    Q_UNUSED(faultInFunction)
    Q_UNUSED(mainShown)
    QSKIP("lldb reads the Linux dumps; a Windows dump is MiniDumpWriteDump's own");
#else
    const QString lldb = QStandardPaths::findExecutable(QStringLiteral("lldb"));
    if (lldb.isEmpty())
        QSKIP("lldb is not installed (scripts/test.sh installs it)");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString workDir = QDir(dir.path()).canonicalPath();
    QVERIFY(QDir(workDir).mkdir(QStringLiteral("dump")));
    QCOMPARE(crash(workDir, kind, QStringLiteral("real"), false).status, QProcess::CrashExit);
    const QStringList dumps = QDir(workDir + QStringLiteral("/dump")).entryList(QDir::Files);
    QCOMPARE(dumps.size(), 1);

    QProcess debugger;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Debian's lldb 14 looks for its Python module here; without it it only complains.
    env.insert(QStringLiteral("PYTHONPATH"),
               QStringLiteral("/usr/lib/llvm-14/lib/python3.11/dist-packages"));
    debugger.setProcessEnvironment(env);
    debugger.setProcessChannelMode(QProcess::MergedChannels);
    debugger.start(lldb,
                   {QStringLiteral("-b"), QStringLiteral("-o"), QStringLiteral("bt 64"),
                    QStringLiteral("--core"), workDir + QStringLiteral("/dump/") + dumps.first(),
                    QStringLiteral(CORVIN_CRASH_HELPER)});
    QVERIFY(debugger.waitForFinished(120000));
    const QString output = QString::fromUtf8(debugger.readAll());
    const int signalNumber = kind == QLatin1String("abrt") ? SIGABRT
            : kind == QLatin1String("fpe")                 ? SIGFPE
                                                           : SIGSEGV;
    const QString stopReason = QStringLiteral("stop reason = signal ")
            + QString::fromLatin1(sigabbrev_np(signalNumber)).prepend(QStringLiteral("SIG"));
    QVERIFY2(output.contains(stopReason), qPrintable(output));
    // The crashing thread's frames, down from the fault (with arguments in a debug build,
    // without in an optimised one).
    const QRegularExpressionMatch frame
            = QRegularExpression(QStringLiteral("frame #(\\d+): 0x[0-9a-f]+ corvin_crash_helper`"
                                                "(::)?%1(\\.cold)?( |\\(|$)")
                                         .arg(function),
                                 QRegularExpression::MultilineOption)
                      .match(output);
    QVERIFY2(frame.hasMatch(), qPrintable(output));
    if (faultInFunction)
        QCOMPARE(frame.captured(1), QStringLiteral("0"));
    if (mainShown)
        QVERIFY2(QRegularExpression(QStringLiteral("corvin_crash_helper`main( |\\(|$)"),
                                    QRegularExpression::MultilineOption)
                         .match(output)
                         .hasMatch(),
                 qPrintable(output.left(4000)));
#endif
}

QTEST_GUILESS_MAIN(tst_CrashDump)
#include "tst_crashdump.moc"
