#include "config/AppContext.h"
#include "courseware/CoursewareResource.h"

#include "CoursewareFixture.h"
#include "StandInServer.h"
#include "TestSupport.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using namespace CoursewareFixture;
using TestSupport::MessageCapture;

namespace {

const QFileDevice::Permissions folderMode
        = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
const QFileDevice::Permissions lockedFolderMode = QFileDevice::ReadOwner | QFileDevice::ExeOwner;

// Every file below folder (hidden ones too) with its content; folders end in '/'.
QMap<QString, QByteArray> treeOf(const QString &folder)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(folder).relativeFilePath(path);
        if (it.fileInfo().isDir()) {
            tree.insert(relative + QLatin1Char('/'), QByteArray());
            continue;
        }
        QFile file(path);
        tree.insert(relative, file.open(QIODevice::ReadOnly) ? file.readAll() : "<unreadable>");
    }
    return tree;
}

QMap<QString, QByteArray> without(QMap<QString, QByteArray> tree,
                                  const std::function<bool(const QString &)> &drop)
{
    for (auto it = tree.begin(); it != tree.end();)
        it = drop(it.key()) ? tree.erase(it) : std::next(it);
    return tree;
}

bool anyLineContains(const MessageCapture &capture, const QString &text)
{
    for (const QString &line : capture.texts()) {
        if (line.contains(text))
            return true;
    }
    return false;
}

} // namespace

// Local files that are not what the program expects: it must end in its reported failure and
// leave everything outside the resource folder as it was.
class tst_BadLocalInput : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void unreadableDownloadFolder_data();
    void unreadableDownloadFolder();
    void resourceFolderNotDeletable_data();
    void resourceFolderNotDeletable();
    void clientConfigIsAFolder_data();
    void clientConfigIsAFolder();

private:
    void installClient(const QString &client, const QByteArray &configIni);
    CoursewareResource *load(const QStringList &localPaths, bool check);

    StandInServer server;
    QTemporaryDir temp;
    QString base;
    QString appData;
    QString download;
    QString source;
    QList<CoursewareResource *> created;
    QStringList lockedFolders; // given their permissions back in cleanup
    bool permissionsBind = false;
};

void tst_BadLocalInput::initTestCase()
{
    // Before the stand-in's and the thread pool's threads exist, so that they inherit it.
    permissionsBind = TestSupport::enforceFilePermissions();
#ifndef Q_OS_WIN
    if (!permissionsBind)
        QFAIL("file permissions cannot be made to bind this process");
#endif
    QVERIFY(server.start());
    QVERIFY(temp.isValid());
}

void tst_BadLocalInput::init()
{
    base = temp.path() + QLatin1Char('/') + QString::fromLatin1(QTest::currentTestFunction())
            + QLatin1Char('-')
            + TestSupport::folderName(QString::fromLatin1(QTest::currentDataTag()));
    appData = base + QStringLiteral("/appdata");
    download = base + QStringLiteral("/download");
    source = download + QStringLiteral("/C1/3/");
    QVERIFY(QDir().mkpath(appData));
    QVERIFY(QDir().mkpath(source));
    qputenv("APPDATA", QFile::encodeName(appData));
    AppContext::instance().channelId = 0;
}

void tst_BadLocalInput::cleanup()
{
    for (const QString &folder : qAsConst(lockedFolders))
        QFile::setPermissions(folder, folderMode);
    lockedFolders.clear();
    qDeleteAll(created);
    created.clear();
    server.setScenario(QJsonObject());
    AppContext::instance().channelId = -1;
    AppContext::instance().totalFiles = 0;
    AppContext::instance().copiedFiles = 0;
    AppContext::instance().resourcesReady = false;
}

void tst_BadLocalInput::installClient(const QString &client, const QByteArray &configIni)
{
    const QString folder = appData + QLatin1Char('/') + client;
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/bin")));
    if (!configIni.isNull())
        QVERIFY(writeFile(folder + QStringLiteral("/config.ini"), configIni));
}

// Files named by the resource list, as images; `check` turns the MD5 check on.
CoursewareResource *tst_BadLocalInput::load(const QStringList &localPaths, bool check)
{
    TestSupport::writeConfig({});
    TestSupport::writeConfig(
            {{QStringLiteral("Server/CorvinHost"), server.baseUrl()},
             {QStringLiteral("Server/MD5"), check ? QStringLiteral("1") : QStringLiteral("0")}});
    QJsonArray elements;
    for (const QString &localPath : localPaths) {
        const QByteArray content = "content of " + localPath.toUtf8();
        if (!writeFile(source + localPath, content))
            return nullptr;
        elements.append(element(localPath, md5Hex(content), QStringLiteral("image")));
    }
    server.setScenario(QJsonObject {
            {QStringLiteral("resources"),
             QJsonObject {{QStringLiteral("C1/3"), resourceList(QJsonArray(), elements)}}}});
    auto *resource = new CoursewareResource(QStringLiteral("Demo_3"), QStringLiteral("T2001"),
                                            download, QStringLiteral("C1"), 3);
    created.append(resource);
    return resource;
}

void tst_BadLocalInput::unreadableDownloadFolder_data()
{
    QTest::addColumn<bool>("check");
    QTest::newRow("with the MD5 check") << true;
    QTest::newRow("without the MD5 check") << false;
}

void tst_BadLocalInput::unreadableDownloadFolder()
{
    if (!permissionsBind)
        QSKIP("a folder's mode does not keep its files from being read on Windows");
    QFETCH(bool, check);
    installClient(QStringLiteral("heron"), "[Server]\nversion=0.9\n");
    QVERIFY(writeFile(appData + QStringLiteral("/heron/resource/image/old.png"), "old"));
    const QStringList files {QStringLiteral("a.png"), QStringLiteral("b.png")};
    // The folder of this release can be listed by nobody: its files cannot be opened.
    QFile::setPermissions(source, folderMode);
    CoursewareResource *resource = load(files, check);
    QVERIFY(resource);
    const QMap<QString, QByteArray> downloadBefore = treeOf(download);
    QVERIFY(QFile::setPermissions(source, QFileDevice::Permissions()));
    lockedFolders.append(source);

    QSignalSpy reported(resource, &CoursewareResource::CoursewareResourceStatChanged);
    QVERIFY(reported.wait(15000));
    // With the check, an unreadable file is a damaged one; without it the copy finds out.
    QCOMPARE(reported.first().first().toBool(), !check);
    QCOMPARE(resource->isReady(), !check);

    MessageCapture capture;
    QCOMPARE(resource->copyToLocalResourcePath(), false);
    AppContext &context = AppContext::instance();
    QCOMPARE(context.resourcesReady.load(), false);
    QCOMPARE(context.copiedFiles.load(), 2);
    QVERIFY(anyLineContains(capture, QStringLiteral("复制失败:")));
    // The old content went as it always does; nothing else was written into the resource folder.
    QCOMPARE(treeOf(appData + QStringLiteral("/heron/resource")),
             (QMap<QString, QByteArray> {{QStringLiteral("image/"), QByteArray()}}));

    QVERIFY(QFile::setPermissions(source, folderMode));
    QCOMPARE(treeOf(download), downloadBefore);
}

void tst_BadLocalInput::resourceFolderNotDeletable_data()
{
    QTest::addColumn<QString>("leftOver");
    QTest::addColumn<bool>("copied");
    QTest::newRow("file in a read-only folder") << QStringLiteral("image/locked/old.png") << false;
    // deleteDir leaves hidden entries on purpose; they do not stop the copy.
    QTest::newRow("hidden file") << QStringLiteral(".thumbs") << true;
}

void tst_BadLocalInput::resourceFolderNotDeletable()
{
    QFETCH(QString, leftOver);
    QFETCH(bool, copied);
    installClient(QStringLiteral("heron"), "[Server]\nversion=0.9\n");
    const QString resourceFolder = appData + QStringLiteral("/heron/resource/");
    QVERIFY(writeFile(resourceFolder + QStringLiteral("xml/old-flow.xml"), "old flow"));
    QVERIFY(writeFile(resourceFolder + leftOver, "left over"));
    if (copied)
        QVERIFY(TestSupport::setHidden(resourceFolder + leftOver));
    QVERIFY(writeFile(appData + QStringLiteral("/other-program/data.bin"), "keep"));
    const QString lockedFolder = QFileInfo(resourceFolder + leftOver).absolutePath();
    if (!copied) {
        if (!permissionsBind)
            QSKIP("a folder's mode does not keep its files from being removed on Windows");
        QVERIFY(QFile::setPermissions(lockedFolder, lockedFolderMode));
        lockedFolders.append(lockedFolder);
    }
    CoursewareResource *resource = load({QStringLiteral("a.png")}, false);
    QVERIFY(resource);
    QSignalSpy reported(resource, &CoursewareResource::CoursewareResourceStatChanged);
    QVERIFY(reported.wait(15000));
    const QMap<QString, QByteArray> appDataBefore = treeOf(appData);
    const QMap<QString, QByteArray> downloadBefore = treeOf(download);

    MessageCapture capture;
    QCOMPARE(resource->copyToLocalResourcePath(), copied);
    AppContext &context = AppContext::instance();
    QCOMPARE(context.resourcesReady.load(), copied);
    QCOMPARE(context.copiedFiles.load(), context.totalFiles.load());
    QCOMPARE(treeOf(download), downloadBefore);

    const auto inResourceFolder = [](const QString &path) {
        return path.startsWith(QStringLiteral("heron/resource/"));
    };
    QCOMPARE(without(treeOf(appData), inResourceFolder), without(appDataBefore, inResourceFolder));

    const QMap<QString, QByteArray> resource_ = treeOf(resourceFolder);
    // Still there; deleteDir has made it write-only on its way, as it does before each removal.
    QVERIFY(resource_.contains(leftOver));
    QVERIFY(!resource_.contains(QStringLiteral("xml/old-flow.xml")));
    QCOMPARE(resource_.contains(QStringLiteral("image/a.png")), copied);
    QCOMPARE(anyLineContains(capture, QStringLiteral("资源目录删除失败")), !copied);
    QCOMPARE(anyLineContains(capture, QStringLiteral("copy File ++")), copied);
}

void tst_BadLocalInput::clientConfigIsAFolder_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<QByteArray>("heronConfig");
    QTest::addColumn<QString>("expected");

    // The folder reads as no version: old layout, one folder per type.
    QTest::newRow("heron, channel 0")
            << 0 << QByteArray() << QStringLiteral("heron/resource/image/a.png");
    // atrium's version is missing, so heron's 1.2 decides: heron, new layout.
    QTest::newRow("atrium, channel 1, heron 1.2")
            << 1 << QByteArray("[Server]\nversion=1.2\n") << QStringLiteral("heron/resource/a.png");
    QTest::newRow("atrium, channel 1, no heron")
            << 1 << QByteArray() << QStringLiteral("atrium/resource/image/a.png");
}

void tst_BadLocalInput::clientConfigIsAFolder()
{
    QFETCH(int, channel);
    QFETCH(QByteArray, heronConfig);
    QFETCH(QString, expected);
    const QString client = channel == 0 ? QStringLiteral("heron") : QStringLiteral("atrium");
    installClient(client, QByteArray());
    if (channel == 1)
        installClient(QStringLiteral("heron"), heronConfig);
    QVERIFY(writeFile(appData + QLatin1Char('/') + client + QStringLiteral("/config.ini/inner.ini"),
                      "[Server]\nversion=5.0\n"));
    AppContext::instance().channelId = channel;

    CoursewareResource *resource = load({QStringLiteral("a.png")}, true);
    QVERIFY(resource);
    QSignalSpy reported(resource, &CoursewareResource::CoursewareResourceStatChanged);
    QVERIFY(reported.wait(15000));
    QVERIFY(resource->isReady());
    const QMap<QString, QByteArray> before = treeOf(appData);

    QVERIFY(resource->copyToLocalResourcePath());
    QMap<QString, QByteArray> after = treeOf(appData);
    QCOMPARE(after.value(expected), QByteArray("content of a.png"));
    after.remove(expected);
    const auto isFolder = [](const QString &path) {
        return path.endsWith(QLatin1Char('/'));
    };
    QCOMPARE(without(after, isFolder), without(before, isFolder));
    QVERIFY(QFileInfo(appData + QLatin1Char('/') + client + QStringLiteral("/config.ini")).isDir());
}

QTEST_MAIN(tst_BadLocalInput)
#include "tst_badlocalinput.moc"
