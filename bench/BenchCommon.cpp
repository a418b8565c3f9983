#include "BenchCommon.h"

#include "util/FileUtils.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTextStream>
#include <QThread>

#include <cstdio>
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif
#include <memory>
#include <vector>

namespace Bench {

namespace {

QtMessageHandler previousHandler = nullptr;

void silentHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg && previousHandler)
        previousHandler(type, context, message);
}

} // namespace

QString option(const QStringList &args, const QString &name, const QString &fallback)
{
    const QString prefix = QStringLiteral("--") + name;
    for (int i = 0; i < args.size(); ++i) {
        if (args.at(i) == prefix && i + 1 < args.size())
            return args.at(i + 1);
        if (args.at(i).startsWith(prefix + QLatin1Char('=')))
            return args.at(i).mid(prefix.size() + 1);
    }
    return fallback;
}

qint64 optionMiB(const QStringList &args, const QString &name, qint64 fallback)
{
    bool ok = false;
    const qint64 value = option(args, name).toLongLong(&ok);
    return ok && value > 0 ? value : fallback;
}

bool flag(const QStringList &args, const QString &name)
{
    return args.contains(QStringLiteral("--") + name);
}

qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

bool resetPeakResident()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (!clearRefs.open(QIODevice::WriteOnly))
        return false;
    return clearRefs.write("5") == 1;
}

bool writeFile(const QString &path, qint64 bytes, quint32 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    std::vector<char> block(1024 * 1024);
    quint32 state = seed * 2654435761u + 1;
    for (char &c : block) {
        state = state * 1664525u + 1013904223u;
        c = char(state >> 24);
    }
    qint64 left = bytes;
    quint32 round = 0;
    while (left > 0) {
        // Vary each block a little so that no two blocks of the tree are equal.
        block[0] = char(round++);
        block[1] = char(seed);
        const qint64 chunk = qMin<qint64>(left, qint64(block.size()));
        if (file.write(block.data(), chunk) != chunk)
            return false;
        left -= chunk;
    }
    return true;
}

bool writeTree(const QString &folder, int count, qint64 bytes, int folders, quint32 seed,
               Tree *tree)
{
    static const char *const types[] = {"image", "audio", "video", "anim"};
    tree->folder = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    for (int f = 0; f < count; ++f) {
        const int group = f % qMax(1, folders);
        const QString type = QLatin1String(types[group % 4]);
        ResourceElement element;
        element.localPath = QStringLiteral("%1%2/f%3.bin").arg(type).arg(group).arg(f);
        element.fileType = type;
        const QString path = tree->folder + element.localPath;
        if (f < folders && !QDir().mkpath(QFileInfo(path).path()))
            return false;
        if (!writeFile(path, bytes, seed + quint32(f)))
            return false;
        QFile file(path);
        QCryptographicHash hash(QCryptographicHash::Md5);
        if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
            return false;
        element.fileMd5 = QString::fromLatin1(hash.result().toHex());
        (group == 0 && f % 4 == 0 ? tree->flow : tree->resources).append(element);
        tree->files << path;
        tree->bytes += bytes;
    }
    return true;
}

qint64 toolRun(const QString &program, const QStringList &files, int processes, bool *ok)
{
    std::vector<std::unique_ptr<QProcess>> runs;
    QElapsedTimer timer;
    timer.start();
    const int share = (files.size() + processes - 1) / processes;
    for (int p = 0; p < processes; ++p) {
        runs.emplace_back(new QProcess);
        runs.back()->setStandardOutputFile(QProcess::nullDevice());
        runs.back()->start(program, files.mid(p * share, share));
    }
    *ok = true;
    for (auto &run : runs)
        *ok = run->waitForFinished(-1) && run->exitStatus() == QProcess::NormalExit
                && run->exitCode() == 0 && *ok;
    return timer.nsecsElapsed();
}

void profileTimed(bool on)
{
    const QString control = qEnvironmentVariable("CORVIN_BENCH_PERF_CTL");
    const QString ack = qEnvironmentVariable("CORVIN_BENCH_PERF_ACK");
    if (control.isEmpty())
        return;
    QFile fifo(control);
    if (fifo.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        fifo.write(on ? "enable\n" : "disable\n");
    fifo.close();
    QFile answer(ack);
    if (!ack.isEmpty() && answer.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        answer.read(5);
}

void letFilesSettle()
{
    QThread::msleep(2100);
}

void warmCache(const QStringList &files)
{
#ifdef Q_OS_LINUX
    // What the set-up wrote goes to disk now, not in the middle of a timed pass.
    ::sync();
#endif
    std::vector<char> buffer(1024 * 1024);
    for (const QString &path : files) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            continue;
        while (file.read(buffer.data(), qint64(buffer.size())) > 0) { }
    }
}

QuietConsole::QuietConsole()
{
    std::fflush(stdout);
#ifdef Q_OS_UNIX
    saved = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
#endif
}

QuietConsole::~QuietConsole()
{
    std::fflush(stdout);
#ifdef Q_OS_UNIX
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
#endif
}

void silenceLog()
{
    previousHandler = qInstallMessageHandler(silentHandler);
}

void restoreLog()
{
    qInstallMessageHandler(previousHandler);
    previousHandler = nullptr;
}

void removeCopy(const QString &folder)
{
    silenceLog();
    FileUtils::deleteDir(folder);
    restoreLog();
#ifdef Q_OS_LINUX
    ::sync();
#endif
}

double mbPerSecond(qint64 bytes, qint64 nanoseconds)
{
    if (nanoseconds <= 0)
        return 0.0;
    return (double(bytes) / (1024.0 * 1024.0)) / (double(nanoseconds) / 1e9);
}

void print(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

BlockMeter::BlockMeter()
{
    QObject::connect(&timer, &QTimer::timeout, [this] {
        const qint64 now = clock.nsecsElapsed();
        maxGapNs = qMax(maxGapNs, now - lastNs);
        lastNs = now;
    });
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(10);
}

void BlockMeter::start()
{
    maxGapNs = 0;
    clock.start();
    lastNs = 0;
    timer.start();
}

double BlockMeter::stopMs()
{
    timer.stop();
    maxGapNs = qMax(maxGapNs, clock.nsecsElapsed() - lastNs);
    return qMax(0.0, double(maxGapNs) / 1e6 - 10.0);
}

QString verdict(bool met, const char *otherwise)
{
    return met ? QStringLiteral("ok") : QString::fromLatin1(otherwise);
}

} // namespace Bench
