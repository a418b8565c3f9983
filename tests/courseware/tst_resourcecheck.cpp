#include "app/LogBatch.h"
#include "app/LogMessageHandler.h"
#include "courseware/ResourceCheck.h"
#include "util/DigestCache.h"
#include "util/FileReader.h"
#include "util/FileUtils.h"
#include "util/Md5.h"

#include "CoursewareFixture.h"

#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
// Counts down the allocations of a reader's size made off the test's thread; the one that
// reaches 0 fails as out of memory would.
std::atomic<int> failReaderAllocation {0};
std::thread::id testThread;
} // namespace

void *operator new(std::size_t size)
{
    if (size == sizeof(FileReader) && std::this_thread::get_id() != testThread) {
        int left = failReaderAllocation;
        while (left > 0 && !failReaderAllocation.compare_exchange_weak(left, left - 1)) { }
        if (left == 1)
            throw std::bad_alloc();
    }
    if (void *memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}

void operator delete(void *memory) noexcept
{
    std::free(memory);
}

void operator delete(void *memory, std::size_t) noexcept
{
    std::free(memory);
}

using namespace CoursewareFixture;

// The verification on its own: files on disk and element lists in, a result per file out.
class tst_ResourceCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testThread = std::this_thread::get_id(); }
    void outcomes_data();
    void outcomes();
    void listOrderAndProgress_data();
    void listOrderAndProgress();
    void manyFiles();
    void exceptionsFailOnlyTheirFiles_data();
    void exceptionsFailOnlyTheirFiles();
    void shortReads_data();
    void shortReads();
    void waitingFilesDoneBeforeBlockingOpen_data();
    void waitingFilesDoneBeforeBlockingOpen();
    void linesWrittenBeforeLargeFile_data();
    void linesWrittenBeforeLargeFile();
    void readAhead_data();
    void readAhead();
    void checksEndInAnyOrder();
    void stopped();
    void digestText_data();
    void digestText();
};

namespace {

ResourceElement elementFor(const QString &localPath, const QString &announced)
{
    ResourceElement element;
    element.localPath = localPath;
    element.fileMd5 = announced;
    return element;
}

const char Missing[] = "<missing>";
const char Folder[] = "<folder>";

} // namespace

void tst_ResourceCheck::outcomes_data()
{
    QTest::addColumn<QString>("localPath");
    QTest::addColumn<QByteArray>("content"); // or Missing, Folder
    QTest::addColumn<QString>("announced");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("digest");
    using O = ResourceCheck::Outcome;
    const QString abc = md5Hex("abc");
    const QString empty = md5Hex(QByteArray());
    QTest::newRow("passes") << "img/a.png" << QByteArray("abc") << abc << int(O::Passed) << abc;
    QTest::newRow("announced in upper case")
            << "a.png" << QByteArray("abc") << abc.toUpper() << int(O::Passed) << abc;
    QTest::newRow("differs") << "a.png" << QByteArray("abd") << abc << int(O::Differs)
                             << md5Hex("abd");
    QTest::newRow("trailing blank")
            << "a.png" << QByteArray("abc") << abc + QLatin1Char(' ') << int(O::Differs) << abc;
    QTest::newRow("missing") << "a.png" << QByteArray(Missing) << abc << int(O::Missing) << empty;
    // A missing file counts as empty content, which is what the service announced.
    QTest::newRow("missing, empty announced")
            << "a.png" << QByteArray(Missing) << empty << int(O::Passed) << empty;
    QTest::newRow("a folder") << "sub" << QByteArray(Folder) << abc << int(O::Unreadable) << empty;
    QTest::newRow("leaves the folder")
            << "../a.png" << QByteArray("abc") << abc << int(O::RefusedPath) << QString();
    // Only 32 hex digits are a digest: an empty or malformed announcement matches nothing.
    QTest::newRow("empty file, nothing announced")
            << "a.png" << QByteArray() << QString() << int(O::Differs) << empty;
    QTest::newRow("not hex") << "a.png" << QByteArray("abc") << QString(32, QLatin1Char('z'))
                             << int(O::Differs) << abc;
}

void tst_ResourceCheck::outcomes()
{
    QFETCH(QString, localPath);
    QFETCH(QByteArray, content);
    QFETCH(QString, announced);
    QFETCH(int, outcome);
    QFETCH(QString, digest);
    QTemporaryDir temp;
    const QString folder = temp.path() + QStringLiteral("/download/C1/3/");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(writeFile(temp.path() + QStringLiteral("/download/C1/a.png"), "abc"));
    if (content == Folder)
        QVERIFY(QDir().mkpath(folder + localPath));
    else if (content != Missing)
        QVERIFY(writeFile(folder + localPath, content));

    ResourceCheck check(folder, {elementFor(localPath, announced)}, {});
    check.run();
    QCOMPARE(check.files().size(), 1);
    const ResourceCheck::File &file = check.files().first();
    QCOMPARE(file.path, folder + localPath);
    QCOMPARE(int(file.outcome), outcome);
    QCOMPARE(file.digest, digest);
    QCOMPARE(check.passed(), outcome == int(ResourceCheck::Outcome::Passed));
}

void tst_ResourceCheck::listOrderAndProgress_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("step");
    QTest::newRow("small and middling") << 40 << 1000 << 5000;
    // Hashed side by side, ending at different blocks and lengths within a block.
    QTest::newRow("large") << 11 << (1 << 20) + 3 << 150001;
    // Two rounds of the lanes, and some left over.
    QTest::newRow("large, many") << 19 << (1 << 20) + 65 << 33333;
}

// Every file is read, also after a mismatch, and its result stands where the lists name it.
void tst_ResourceCheck::listOrderAndProgress()
{
    QFETCH(int, count);
    QFETCH(int, first);
    QFETCH(int, step);
    QTemporaryDir temp;
    const QString folder = temp.path() + QLatin1Char('/');
    QVector<ResourceElement> flow;
    QVector<ResourceElement> resources;
    qint64 bytes = 0;
    for (int i = 0; i < count; ++i) {
        QByteArray content(first + i * step, char('a' + i % 26));
        content[i] = '!';
        const QString name = QStringLiteral("f%1.bin").arg(i);
        QVERIFY(writeFile(folder + name, content));
        bytes += content.size();
        (i < 3 ? flow : resources) << elementFor(name, md5Hex(i == 1 ? "other" : content));
    }
    ResourceCheck check(folder, flow, resources);
    check.run();
    QCOMPARE(check.files().size(), count);
    for (int i = 0; i < count; ++i) {
        QCOMPARE(check.files().at(i).path, folder + QStringLiteral("f%1.bin").arg(i));
        QCOMPARE(check.files().at(i).outcome,
                 i == 1 ? ResourceCheck::Outcome::Differs : ResourceCheck::Outcome::Passed);
    }
    QVERIFY(!check.passed());
    QCOMPARE(check.totalBytes(), bytes);
    QCOMPARE(check.doneBytes(), bytes);
}

// Past a thousand files the workers join each path as they take the file.
void tst_ResourceCheck::manyFiles()
{
    QTemporaryDir temp;
    const QString folder = temp.path() + QLatin1Char('/');
    QVector<ResourceElement> resources;
    for (int i = 0; i < 1200; ++i) {
        const QByteArray content = QByteArray::number(i);
        const QString name = QStringLiteral("d%1/%2.txt").arg(i % 7).arg(i);
        if (i != 700)
            QVERIFY(writeFile(folder + name, content));
        resources << elementFor(i == 900 ? QStringLiteral("../x.txt") : name,
                                md5Hex(i == 1100 ? "other" : content));
    }
    ResourceCheck check(folder, {elementFor("d0/0.txt", md5Hex("0"))}, resources);
    check.run();
    QCOMPARE(check.files().size(), 1201);
    using O = ResourceCheck::Outcome;
    for (int i = 0; i < 1200; ++i) {
        const ResourceCheck::File &file = check.files().at(i + 1);
        QCOMPARE(file.path, folder + resources.at(i).localPath);
        QCOMPARE(file.outcome,
                 i == 700            ? O::Missing
                         : i == 900  ? O::RefusedPath
                         : i == 1100 ? O::Differs
                                     : O::Passed);
    }
    QCOMPARE(check.files().first().outcome, O::Passed);
}

void tst_ResourceCheck::exceptionsFailOnlyTheirFiles_data()
{
    QTest::addColumn<int>("thrown"); // 0: bad_alloc by the progress, 1: another, 2: a reader
    QTest::addColumn<int>("outcome"); // of the files that fail, the others pass
    QTest::addColumn<int>("failing"); // how many fail at most
    using O = ResourceCheck::Outcome;
    QTest::newRow("out of memory in a file's step") << 0 << int(O::OutOfMemory) << 1;
    QTest::newRow("a progress handler's exception") << 1 << int(O::Unreadable) << 1;
    // Outside a file's guarded steps: the worker gives up the files it held (the one taken and
    // those read into its lanes) and goes on.
    QTest::newRow("no memory for the first reader") << 2 << int(O::OutOfMemory) << 1;
    QTest::newRow("no memory for a later reader") << 5 << int(O::OutOfMemory) << 3;
}

// Out of memory, or anything else thrown inside a worker, fails the files it concerns; the check
// still ends, so the window waiting on it never waits forever.
void tst_ResourceCheck::exceptionsFailOnlyTheirFiles()
{
    QFETCH(int, thrown);
    QFETCH(int, outcome);
    QFETCH(int, failing);
    QTemporaryDir temp;
    const QString folder = temp.path() + QLatin1Char('/');
    QVector<ResourceElement> elements;
    for (int i = 0; i < 6; ++i) {
        const QByteArray content(i == 3 ? 7777 : 100, 'x');
        QVERIFY(writeFile(folder + QStringLiteral("%1.bin").arg(i), content));
        elements << elementFor(QStringLiteral("%1.bin").arg(i), md5Hex(content));
    }
    ResourceCheck check(folder, {}, elements);
    check.setProgressHandler([thrown](qint64 chunk) {
        if (chunk == 7777 && thrown == 0)
            throw std::bad_alloc();
        if (chunk == 7777 && thrown == 1)
            throw 1;
    });
    QVector<int> heard;
    check.setResultHandler([&heard](int from, int to) {
        for (int i = from; i < to; ++i)
            heard << i;
    });
    failReaderAllocation = thrown >= 2 ? thrown - 1 : 0;
    check.run();
    QCOMPARE(failReaderAllocation.load(), 0);
    QCOMPARE(heard, (QVector<int> {0, 1, 2, 3, 4, 5}));
    int failed = 0;
    for (const ResourceCheck::File &file : check.files()) {
        if (file.outcome != ResourceCheck::Outcome::Passed) {
            QCOMPARE(int(file.outcome), outcome);
            ++failed;
        }
    }
    QVERIFY2(failed >= 1 && failed <= failing, qPrintable(QString::number(failed)));
    if (thrown < 2)
        QVERIFY(check.files().at(3).outcome != ResourceCheck::Outcome::Passed);
}

namespace {
// Each read gives what the row's file system gives: `shortBy` 1, all but a byte; 2, half; a cut
// ends every file after `cutAt` bytes.
int shortBy = 0;
qint64 cutAt = -1;
std::atomic<qint64> readSoFar {0};

qint64 shortRead(FileReader &reader, char *data, qint64 size)
{
    if (cutAt >= 0 && readSoFar >= cutAt)
        return 0;
    const qint64 asked = qMax<qint64>(1, shortBy == 1 ? size - 1 : size / 2);
    const qint64 got = reader.systemRead(data, asked);
    readSoFar += qMax<qint64>(0, got);
    return got;
}
} // namespace

void tst_ResourceCheck::shortReads_data()
{
    QTest::addColumn<QVector<int>>("sizes");
    QTest::addColumn<int>("by");
    QTest::addColumn<int>("cut"); // -1: none
    const QVector<int> small {1, 100, 5000, 65536, 65537};
    const QVector<int> large {(3 << 20) + 5, 300};
    const QVector<int> sideBySide {100, (3 << 19) + 7, (1 << 21) + 64, (1 << 20) + 3};
    QTest::newRow("small, a byte short") << small << 1 << -1;
    QTest::newRow("small, half") << small << 2 << -1;
    QTest::newRow("large alone, a byte short") << large << 1 << -1;
    QTest::newRow("large alone, half") << large << 2 << -1;
    QTest::newRow("large side by side, a byte short") << sideBySide << 1 << -1;
    QTest::newRow("large side by side, half") << sideBySide << 2 << -1;
    QTest::newRow("small, cut") << QVector<int> {60000} << 2 << 30000;
    QTest::newRow("large, cut") << QVector<int> {3 << 20} << 1 << (1 << 20);
}

// Reads that come back short mid-file are read on; only a read of 0 bytes ends a file, and the
// digest of a file read in part is never kept.
void tst_ResourceCheck::shortReads()
{
    QFETCH(QVector<int>, sizes);
    QFETCH(int, by);
    QFETCH(int, cut);
    QTemporaryDir temp;
    const QString folder = temp.path() + QLatin1Char('/');
    QVector<ResourceElement> elements;
    for (int i = 0; i < sizes.size(); ++i) {
        QByteArray content(sizes[i], 'x');
        for (int at = 0; at < content.size(); at += 997)
            content[at] = char('a' + (at + i) % 26);
        QVERIFY(writeFile(folder + QString::number(i), content));
        elements << elementFor(QString::number(i), md5Hex(content));
    }
    DigestCache cache(temp.path() + QStringLiteral("/cache.json"));
    cache.setSettleWindowMs(0);
    shortBy = by;
    cutAt = cut;
    readSoFar = 0;
    FileReader::setReadFunction(shortRead);
    auto restore = qScopeGuard([] { FileReader::setReadFunction(nullptr); });
    QThreadPool pool;
    pool.setMaxThreadCount(2);
    ResourceCheck check(folder, {}, elements, &cache);
    check.start(&pool).waitForFinished();
    restore.dismiss();
    FileReader::setReadFunction(nullptr);
    for (const ResourceCheck::File &file : check.files())
        QCOMPARE(file.outcome,
                 cut < 0 ? ResourceCheck::Outcome::Passed : ResourceCheck::Outcome::Differs);
    QCOMPARE(check.doneBytes(), check.totalBytes());

    // What was kept is served again only where it is the whole file's digest.
    ResourceCheck again(folder, {}, elements, &cache);
    again.run();
    QVERIFY(again.passed());
    QCOMPARE(again.fromCache(), cut < 0 ? sizes.size() : 0);
}

void tst_ResourceCheck::waitingFilesDoneBeforeBlockingOpen_data()
{
    QTest::addColumn<QVector<int>>("sizes"); // before the pipe
    QTest::newRow("small files") << QVector<int> {100, 2000, 30000};
    QTest::newRow("small and large") << QVector<int> {100, 3 << 20, 50, (1 << 21) + 1, 7};
}

// A file whose open waits (a pipe; a hung network file) holds back neither the results nor the
// progress of the files taken before it.
void tst_ResourceCheck::waitingFilesDoneBeforeBlockingOpen()
{
#ifndef Q_OS_LINUX
    QSKIP("needs a named pipe in the folder, which Linux has");
#else
    QFETCH(QVector<int>, sizes);
    QTemporaryDir temp;
    const QString folder = temp.path() + QLatin1Char('/');
    QVector<ResourceElement> elements;
    qint64 before = 0;
    for (int i = 0; i < sizes.size(); ++i) {
        const QByteArray content(sizes[i], char('a' + i));
        QVERIFY(writeFile(folder + QString::number(i), content));
        elements << elementFor(QString::number(i), md5Hex(content));
        before += content.size();
    }
    const QByteArray late = "written late";
    const QByteArray pipe = QFile::encodeName(folder + QStringLiteral("pipe"));
    QCOMPARE(::mkfifo(pipe.constData(), 0600), 0);
    elements << elementFor(QStringLiteral("pipe"), md5Hex(late));
    QThreadPool pool;
    pool.setMaxThreadCount(1);
    ResourceCheck check(folder, {}, elements);
    std::atomic<int> reported {0};
    check.setResultHandler([&reported](int, int to) { reported = to; });
    QFuture<void> done = check.start(&pool);
    // Should a check below fail, the pipe's reader is let go, so the test ends.
    auto release = qScopeGuard([&] {
        const int fd = ::open(pipe.constData(), O_WRONLY);
        if (fd >= 0 && ::write(fd, late.constData(), size_t(late.size())) >= 0)
            ::close(fd);
    });
    QTRY_COMPARE_WITH_TIMEOUT(reported.load(), sizes.size(), 10000);
    QCOMPARE(check.doneBytes(), before);
    release.dismiss();
    QFile writer(QFile::decodeName(pipe));
    QVERIFY(writer.open(QIODevice::WriteOnly));
    QCOMPARE(writer.write(late), qint64(late.size()));
    writer.close();
    done.waitForFinished();
    QVERIFY(check.passed());
#endif
}

#ifdef Q_OS_LINUX
namespace {
// The share of a file's pages in the page cache; -1 when it cannot be told.
double residentShare(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    struct stat info;
    double share = -1;
    if (fd >= 0 && ::fstat(fd, &info) == 0 && info.st_size > 0) {
        const size_t size = size_t(info.st_size);
        void *map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
        const size_t page = size_t(::sysconf(_SC_PAGESIZE));
        std::vector<unsigned char> pages((size + page - 1) / page);
        if (map != MAP_FAILED && ::mincore(map, size, pages.data()) == 0)
            share = double(std::count_if(pages.begin(), pages.end(),
                                         [](unsigned char p) { return p & 1; }))
                    / double(pages.size());
        if (map != MAP_FAILED)
            ::munmap(map, size);
    }
    if (fd >= 0)
        ::close(fd);
    return share;
}

// Out of the page cache, as after a restart; false where the system keeps files in memory.
bool evict(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
    return residentShare(path) == 0;
}

QStringList notTakenYet;
std::atomic<bool> firstRead {true};
std::atomic<bool> aheadInMemory {false};

// The first read waits until the files no worker has taken yet are in memory.
qint64 readOnceAheadIsIn(FileReader &reader, char *data, qint64 size)
{
    if (firstRead.exchange(false)) {
        QElapsedTimer waited;
        waited.start();
        const auto allIn = [] {
            return std::all_of(notTakenYet.begin(), notTakenYet.end(),
                               [](const QString &path) { return residentShare(path) == 1; });
        };
        while (!allIn() && waited.elapsed() < 10000)
            QThread::msleep(5);
        aheadInMemory = allIn();
    }
    return reader.systemRead(data, size);
}
} // namespace
#endif

enum ReadAheadCase { LaterFiles, CachedDigests };

void tst_ResourceCheck::readAhead_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("files not taken yet") << int(LaterFiles);
    QTest::newRow("digests in the cache") << int(CachedDigests);
}

// While the lanes' first files are read, the disk reads the files after them; a file whose
// digest the cache has, or that lies outside the folder, is never read.
void tst_ResourceCheck::readAhead()
{
#ifndef Q_OS_LINUX
    QSKIP("the system is told what to read ahead on Linux only");
#else
    QFETCH(int, kind);
    QTemporaryDir temp;
    const QString folder = temp.path() + QStringLiteral("/c/");
    const QString outside = temp.path() + QStringLiteral("/outside.bin");
    QVERIFY(writeFile(outside, QByteArray(2 << 20, 'o')));
    QVector<ResourceElement> elements;
    QStringList paths;
    for (int i = 0; i < 12; ++i) {
        QByteArray content(2 << 20, char('a' + i));
        content[i] = '!';
        QVERIFY(writeFile(folder + QString::number(i), content));
        elements << elementFor(QString::number(i), md5Hex(content));
        paths << folder + QString::number(i);
    }
    elements.insert(6, elementFor(QStringLiteral("../outside.bin"), md5Hex("o")));
    DigestCache cache(temp.path() + QStringLiteral("/cache.json"));
    cache.setSettleWindowMs(0);
    if (kind == CachedDigests) {
        ResourceCheck(folder, {}, elements, &cache).run();
        // Two files written again: they are read, and the look ahead with them.
        for (int i = 0; i < 2; ++i) {
            QFile file(paths[i]);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY(writeFile(paths[i], file.readAll()));
        }
    }
    for (const QString &path : paths + QStringList {outside}) {
        if (!evict(path))
            QSKIP("the page cache cannot be emptied of a file here (tmpfs)");
    }
    // One worker: eight files in its lanes, the one after them opened, the last three not taken.
    notTakenYet = kind == LaterFiles ? paths.mid(9) : QStringList();
    firstRead = true;
    aheadInMemory = false;
    FileReader::setReadFunction(readOnceAheadIsIn);
    auto restore = qScopeGuard([] { FileReader::setReadFunction(nullptr); });
    QThreadPool pool;
    pool.setMaxThreadCount(1);
    ResourceCheck check(folder, {}, elements, &cache);
    check.start(&pool).waitForFinished();
    QCOMPARE(check.fromCache(), kind == CachedDigests ? 10 : 0);
    QCOMPARE(check.files().at(6).outcome, ResourceCheck::Outcome::RefusedPath);
    QCOMPARE(residentShare(outside), 0.0);
    if (kind == LaterFiles) {
        QVERIFY(aheadInMemory);
    } else {
        for (const QString &path : paths.mid(2))
            QCOMPARE(residentShare(path), 0.0);
    }
#endif
}

// The checks of several courseware read ahead for the one started after them; each ends, and is
// destroyed, as soon as its own files are done.
void tst_ResourceCheck::checksEndInAnyOrder()
{
    QTemporaryDir temp;
    QThreadPool pool;
    pool.setMaxThreadCount(2);
    for (int round = 0; round < 10; ++round) {
        std::vector<std::unique_ptr<ResourceCheck>> checks;
        std::vector<QFuture<void>> done;
        for (int c = 0; c < 4; ++c) {
            // A single large file has a worker of its own; the next check's two run beside it.
            const int count = c % 2 == 0 ? 1 : 6;
            const QString folder = temp.path() + QStringLiteral("/%1/%2/").arg(round).arg(c);
            QVector<ResourceElement> elements;
            for (int i = 0; i < count; ++i) {
                const QByteArray content((count == 1 ? 3 << 20 : 70000) + i, char('a' + c));
                QVERIFY(writeFile(folder + QString::number(i), content));
                elements << elementFor(QString::number(i), md5Hex(content));
            }
            checks.emplace_back(new ResourceCheck(folder, {}, elements));
            done.push_back(checks.back()->start(&pool));
        }
        for (int c : {1, 3, 0, 2}) {
            done[size_t(c)].waitForFinished();
            QVERIFY(checks[size_t(c)]->passed());
            checks[size_t(c)].reset();
        }
    }
}

void tst_ResourceCheck::linesWrittenBeforeLargeFile_data()
{
    QTest::addColumn<QVector<int>>("sizes");
    QTest::addColumn<int>("firstLarge");
    QTest::addColumn<int>("lastLarge");
    QTest::newRow("after small files") << QVector<int> {100, 200, 300, 3 << 20} << 3 << 3;
    QTest::newRow("two large apart")
            << QVector<int> {100, 3 << 20, 50, 60, (1 << 21) + 1, 7} << 1 << 4;
}

// The lines of the files done are in the log file on disk while a large one is hashed, not in
// memory for as long as it takes.
void tst_ResourceCheck::linesWrittenBeforeLargeFile()
{
    QFETCH(QVector<int>, sizes);
    QFETCH(int, firstLarge);
    QFETCH(int, lastLarge);
    QTemporaryDir temp;
    const QString folder = temp.path() + QStringLiteral("/dl/");
    QVector<ResourceElement> elements;
    for (int i = 0; i < sizes.size(); ++i) {
        const QByteArray content(sizes[i], char('a' + i));
        QVERIFY(writeFile(folder + QString::number(i), content));
        elements << elementFor(QString::number(i), md5Hex(content));
    }
    const QString previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(temp.path()));
    runTimestamp = QStringLiteral("20261209080000");
    const QtMessageHandler previous = qInstallMessageHandler(logMessageHandler);
    auto restore = qScopeGuard([&] {
        qInstallMessageHandler(previous);
        QDir::setCurrent(previousDir);
    });
    const QString log = temp.path() + QStringLiteral("/log/log20261209080000.log");
    QThreadPool pool;
    pool.setMaxThreadCount(1);
    ResourceCheck check(folder, {}, elements);
    check.setResultHandler([&check](int from, int to) {
        const LogBatch batch;
        for (int i = from; i < to; ++i)
            qDebug().noquote() << "checked" << check.files().at(i).path;
    });
    // Lines on disk whenever a large file's chunk is heard.
    QVector<int> onDisk;
    check.setProgressHandler([&](qint64 chunk) {
        if (chunk <= 64 * 1024)
            return;
        QFile file(log);
        onDisk << (file.open(QIODevice::ReadOnly) ? file.readAll().count("Content:checked") : 0);
    });
    check.start(&pool).waitForFinished();
    QVERIFY(check.passed());
    QVERIFY(!onDisk.isEmpty());
    QCOMPARE(onDisk.first(), firstLarge);
    QCOMPARE(onDisk.last(), lastLarge);
    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().count("Content:checked"), sizes.size());
}

void tst_ResourceCheck::stopped()
{
    QTemporaryDir temp;
    QVERIFY(writeFile(temp.path() + QStringLiteral("/a.bin"), "a"));
    ResourceCheck check(temp.path() + QLatin1Char('/'), {elementFor("a.bin", md5Hex("a"))}, {});
    FileUtils::requestStop();
    check.run();
    FileUtils::clearStop();
    QVERIFY(check.stopped());
    QVERIFY(!check.passed());
    QCOMPARE(check.files().first().digest, QString());
}

void tst_ResourceCheck::digestText_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("same");
    const QString abc = md5Hex("abc");
    QTest::newRow("equal") << abc << abc << true;
    QTest::newRow("case differs") << abc << abc.toUpper() << true;
    // A failed hash gives "": it must never pass for an empty announcement.
    QTest::newRow("both empty") << QString() << QString() << false;
    QTest::newRow("31 digits") << abc.left(31) << abc.left(31) << false;
    QTest::newRow("not hex") << QString(32, QLatin1Char('g')) << QString(32, QLatin1Char('g'))
                             << false;
}

void tst_ResourceCheck::digestText()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, same);
    QCOMPARE(Md5::sameDigest(a, b), same);
}

QTEST_GUILESS_MAIN(tst_ResourceCheck)
#include "tst_resourcecheck.moc"
