#include "config/AppContext.h"
#include "courseware/CoursewareResource.h"
#include "courseware/ResourceCopy.h"

#include "CoursewareFixture.h"
#include "StandInServer.h"
#include "TestSupport.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace CoursewareFixture;
using TestSupport::MessageCapture;

namespace {

struct FileSpec
{
    QString localPath;
    QString fileType;
};

QByteArray contentOf(const QString &localPath)
{
    return "content of " + localPath.toUtf8();
}

template<typename T>
QString debugText(const T &value)
{
    QString text;
    QDebug(&text) << value;
    return text.trimmed();
}

} // namespace

using TestSupport::filesBelow;

// The resource copy on real files: a temporary application-data folder with both student
// clients and a download folder that the stand-in service's resource list names.
class tst_ResourceCopy : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void layout_data();
    void layout();
    void audioIsCaseSensitive();
    void emptyLists();
    void oneMissingAmongTen();
    void unitResults();
    void oldContentGone();
    void escapingElements_data();
    void escapingElements();
    void destinationLongerThanMaxPath();
    void linksInOldContentKeepTheirTargets();
    void oneFileFromTwoElements_data();
    void oneFileFromTwoElements();
    void missingClientFolderDeletesNothing_data();
    void missingClientFolderDeletesNothing();
    void rerunRestartsCounters();

private:
    void installClient(const QString &client, const QString &version);
    // Writes the files into the download folder (unless listed in `missing`) and returns the
    // parsed resource for them.
    CoursewareResource *load(const QList<FileSpec> &flow, const QList<FileSpec> &elements,
                             const QStringList &missing = QStringList());

    StandInServer server;
    QTemporaryDir temp;
    QString appData;
    QString download; // absolutePath of the courseware
    QString source; // download/C1/3/
    QList<CoursewareResource *> created;
};

void tst_ResourceCopy::initTestCase()
{
    QVERIFY(server.start());
    QVERIFY(temp.isValid());
}

void tst_ResourceCopy::init()
{
    const QString base = temp.path() + QLatin1Char('/')
            + QString::fromLatin1(QTest::currentTestFunction()) + QLatin1Char('-')
            + TestSupport::folderName(QString::fromLatin1(QTest::currentDataTag()));
    appData = base + QStringLiteral("/appdata");
    download = base + QStringLiteral("/download");
    source = download + QStringLiteral("/C1/3/");
    QVERIFY(QDir().mkpath(appData));
    QVERIFY(QDir().mkpath(source));
    qputenv("APPDATA", QFile::encodeName(appData));
    // The check is the verification's business; here the lists only have to arrive.
    TestSupport::writeConfig({{QStringLiteral("Server/CorvinHost"), server.baseUrl()},
                              {QStringLiteral("Server/MD5"), QStringLiteral("0")}});
    AppContext::instance().channelId = 0;
}

void tst_ResourceCopy::cleanup()
{
    qDeleteAll(created);
    created.clear();
    server.setScenario(QJsonObject());
    AppContext::instance().channelId = -1;
    AppContext::instance().totalFiles = 0;
    AppContext::instance().copiedFiles = 0;
    AppContext::instance().resourcesReady = false;
}

void tst_ResourceCopy::installClient(const QString &client, const QString &version)
{
    const QString folder = appData + QLatin1Char('/') + client;
    QVERIFY(QDir().mkpath(folder));
    if (client == QLatin1String("atrium"))
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/bin")));
    QByteArray ini = "[Server]\n";
    if (!version.isNull())
        ini += "version=" + version.toUtf8() + '\n';
    QVERIFY(writeFile(folder + QStringLiteral("/config.ini"), ini));
}

CoursewareResource *tst_ResourceCopy::load(const QList<FileSpec> &flow,
                                           const QList<FileSpec> &elements,
                                           const QStringList &missing)
{
    QJsonArray flowArray;
    QJsonArray elementArray;
    for (const FileSpec &f : flow) {
        if (!missing.contains(f.localPath))
            writeFile(source + f.localPath, contentOf(f.localPath));
        flowArray.append(element(f.localPath, md5Hex(contentOf(f.localPath)), f.fileType));
    }
    for (const FileSpec &f : elements) {
        if (!missing.contains(f.localPath))
            writeFile(source + f.localPath, contentOf(f.localPath));
        elementArray.append(element(f.localPath, md5Hex(contentOf(f.localPath)), f.fileType));
    }
    server.setScenario(QJsonObject {
            {QStringLiteral("resources"),
             QJsonObject {{QStringLiteral("C1/3"), resourceList(flowArray, elementArray)}}}});

    auto *resource = new CoursewareResource(QStringLiteral("Demo_3"), QStringLiteral("T2001"),
                                            download, QStringLiteral("C1"), 3);
    created.append(resource);
    QSignalSpy spy(resource, &CoursewareResource::CoursewareResourceStatChanged);
    if (!spy.wait(15000))
        return nullptr;
    if (resource->flowConfList.size() != flow.size()
        || resource->resourceElements.size() != elements.size())
        return nullptr;
    return resource;
}

void tst_ResourceCopy::layout_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("newLayout");

    QTest::newRow("heron 1.0") << 0 << "heron"
                               << "1.0" << true;
    QTest::newRow("heron 0.10") << 0 << "heron"
                                << "0.10" << true;
    QTest::newRow("heron 0.9.8") << 0 << "heron"
                                 << "0.9.8" << false;
    QTest::newRow("heron 0.9") << 0 << "heron"
                               << "0.9" << false;
    QTest::newRow("heron empty") << 0 << "heron"
                                 << "" << false;
    QTest::newRow("heron letters") << 0 << "heron"
                                   << "ab.cd" << false;
    QTest::newRow("atrium 0.9.8") << 1 << "atrium"
                                  << "0.9.8" << false;
    QTest::newRow("atrium 1.2 goes to heron") << 1 << "heron"
                                              << "1.2" << true;
}

void tst_ResourceCopy::layout()
{
    QFETCH(int, channel);
    QFETCH(QString, client);
    QFETCH(QString, version);
    QFETCH(bool, newLayout);

    installClient(QStringLiteral("heron"), channel == 0 ? version : QString());
    installClient(QStringLiteral("atrium"), channel == 1 ? version : QString());
    AppContext::instance().channelId = channel;

    const QList<FileSpec> flow {{QStringLiteral("flow.xml"), QString()},
                                {QStringLiteral("pages/page1.xml"), QString()}};
    const QList<FileSpec> elements {{QStringLiteral("cover.png"), QStringLiteral("image")},
                                    {QStringLiteral("intro.mp3"), QStringLiteral("audio")},
                                    {QStringLiteral("media/clip.mp4"), QStringLiteral("video")},
                                    {QStringLiteral("notes.txt"), QString()}};
    CoursewareResource *resource = load(flow, elements);
    QVERIFY(resource);

    MessageCapture capture;
    QVERIFY(resource->copyToLocalResourcePath());
    AppContext &context = AppContext::instance();
    QCOMPARE(context.totalFiles.load(), 6);
    QCOMPARE(context.copiedFiles.load(), 6);
    QCOMPARE(context.resourcesReady.load(), true);

    const QString resourceFolder
            = appData + QLatin1Char('/') + client + QStringLiteral("/resource/");
    QMap<QString, QByteArray> expected;
    expected.insert(QStringLiteral("xml/flow.xml"), contentOf(QStringLiteral("flow.xml")));
    expected.insert(QStringLiteral("xml/pages/page1.xml"),
                    contentOf(QStringLiteral("pages/page1.xml")));
    const QString image = newLayout ? QString() : QStringLiteral("image/");
    const QString voice = newLayout ? QString() : QStringLiteral("voice/");
    const QString video = newLayout ? QString() : QStringLiteral("video/");
    expected.insert(image + QStringLiteral("cover.png"), contentOf(QStringLiteral("cover.png")));
    expected.insert(voice + QStringLiteral("intro.mp3"), contentOf(QStringLiteral("intro.mp3")));
    expected.insert(video + QStringLiteral("media/clip.mp4"),
                    contentOf(QStringLiteral("media/clip.mp4")));
    expected.insert(QStringLiteral("notes.txt"), contentOf(QStringLiteral("notes.txt")));
    QCOMPARE(filesBelow(resourceFolder), expected);

    // The other client's folder is left alone.
    const QString other
            = client == QLatin1String("heron") ? QStringLiteral("atrium") : QStringLiteral("heron");
    QVERIFY(!QFileInfo::exists(appData + QLatin1Char('/') + other + QStringLiteral("/resource")));

    // The log lines of the run, in order.
    const QStringList lines = capture.texts();
    int at = lines.indexOf(
            QStringLiteral("[CoursewareResource][copyToLocalResourcePath]: 开始复制文件 "));
    QVERIFY(at >= 0);
    at = lines.indexOf(QStringLiteral("[CoursewareResource][copyToLocalResourcePath]:  deleteDir ")
                               + debugText(resourceFolder),
                       at);
    QVERIFY(at >= 0);
    const QString xmlFolder = resourceFolder + QStringLiteral("xml/");
    at = lines.indexOf(QStringLiteral("目标目录: ") + debugText(xmlFolder), at);
    QVERIFY(at >= 0);
    // Files are copied side by side: each one's lines in order, all of them between the folder
    // line and the end line.
    const int folderLine = at;
    int lastLine = at;
    const QString mp3Target = resourceFolder + voice + QStringLiteral("intro.mp3");
    const QList<QPair<QString, QString>> copies {
            {QStringLiteral("copy File --"), xmlFolder + QStringLiteral("flow.xml")},
            {QStringLiteral("copy File -- "), mp3Target}};
    for (const auto &copy : copies) {
        const QString fileSource = source + QFileInfo(copy.second).fileName();
        const QString paths = debugText(fileSource) + QLatin1Char(' ') + debugText(copy.second);
        const int before = lines.indexOf(QStringLiteral("copy File ++  ") + paths, folderLine);
        QVERIFY(before >= 0);
        const int after = lines.indexOf(copy.first + QLatin1Char(' ') + paths, before);
        QVERIFY(after >= 0);
        lastLine = qMax(lastLine, after);
    }
    at = lines.indexOf(
            QStringLiteral("[CoursewareResource][copyToLocalResourcePath] 结束复制文件 "),
            lastLine);
    QVERIFY(at >= 0);
    QVERIFY(!lines.join(QLatin1Char('\n')).contains(QStringLiteral("复制失败")));
}

void tst_ResourceCopy::audioIsCaseSensitive()
{
    installClient(QStringLiteral("heron"), QStringLiteral("0.9"));
    CoursewareResource *resource = load({},
                                        {{QStringLiteral("a.mp3"), QStringLiteral("audio")},
                                         {QStringLiteral("b.mp3"), QStringLiteral("Audio")},
                                         {QStringLiteral("c.mp3"), QStringLiteral("voice")}});
    QVERIFY(resource);
    QVERIFY(resource->copyToLocalResourcePath());
    const QStringList files = filesBelow(appData + QStringLiteral("/heron/resource")).keys();
    QCOMPARE(files,
             QStringList({QStringLiteral("Audio/b.mp3"), QStringLiteral("voice/a.mp3"),
                          QStringLiteral("voice/c.mp3")}));
}

void tst_ResourceCopy::emptyLists()
{
    installClient(QStringLiteral("heron"), QStringLiteral("0.9"));
    const QString resourceFolder = appData + QStringLiteral("/heron/resource/");
    QVERIFY(writeFile(resourceFolder + QStringLiteral("image/old.png"), "old"));
    CoursewareResource *resource = load({}, {});
    QVERIFY(resource);

    AppContext::instance().copiedFiles = 7;
    AppContext::instance().totalFiles = 9;
    QVERIFY(resource->copyToLocalResourcePath());
    QCOMPARE(AppContext::instance().totalFiles.load(), 0);
    QCOMPARE(AppContext::instance().copiedFiles.load(), 0);
    QCOMPARE(AppContext::instance().resourcesReady.load(), true);
    // The folder itself went with the deletion; makeDir cannot create xml/ below it.
    QVERIFY(!QFileInfo::exists(resourceFolder));
    // The client's own files stay.
    QVERIFY(QFileInfo::exists(appData + QStringLiteral("/heron/config.ini")));
}

void tst_ResourceCopy::oneMissingAmongTen()
{
    installClient(QStringLiteral("heron"), QStringLiteral("0.9"));
    QList<FileSpec> flow;
    for (int i = 0; i < 3; ++i)
        flow.append({QStringLiteral("flow%1.xml").arg(i), QString()});
    QList<FileSpec> elements;
    for (int i = 0; i < 7; ++i)
        elements.append({QStringLiteral("img%1.png").arg(i), QStringLiteral("image")});
    const QString missing = QStringLiteral("img4.png");
    CoursewareResource *resource = load(flow, elements, {missing});
    QVERIFY(resource);

    MessageCapture capture;
    QCOMPARE(resource->copyToLocalResourcePath(), false);
    AppContext &context = AppContext::instance();
    QCOMPARE(context.totalFiles.load(), 10);
    QCOMPARE(context.copiedFiles.load(), 10);
    QCOMPARE(context.resourcesReady.load(), false);
    const QMap<QString, QByteArray> files = filesBelow(appData + QStringLiteral("/heron/resource"));
    QCOMPARE(files.size(), 9);
    QVERIFY(!files.contains(QStringLiteral("image/") + missing));
    QVERIFY(files.contains(QStringLiteral("image/img5.png")));
    QVERIFY(capture.contains(QStringLiteral("复制失败: QSet(") + debugText(source + missing)
                             + QLatin1Char(')')));
    // Then why, in the system's words, on a line of its own.
    QVERIFY(capture.texts().last().startsWith(QStringLiteral("复制失败原因: ")
                                              + debugText(source + missing)));
    QVERIFY(capture.texts().last().size() > debugText(source + missing).size() + 12);
}

// The copy on its own: the lists in, a result per file out, without service or settings.
void tst_ResourceCopy::unitResults()
{
    const QString resourceFolder = appData + QStringLiteral("/heron/resource/");
    QVERIFY(writeFile(source + QStringLiteral("a.xml"), "flow"));
    QVERIFY(writeFile(source + QStringLiteral("img/b.png"), "image"));
    QVERIFY(writeFile(source + QStringLiteral("xml/a.xml"), "another flow"));
    const auto element = [](const QString &localPath, const QString &type) {
        ResourceElement e;
        e.localPath = localPath;
        e.fileType = type;
        return e;
    };
    ResourceCopy copy(source, resourceFolder, true, {element(QStringLiteral("a.xml"), QString())},
                      {element(QStringLiteral("img/b.png"), QStringLiteral("image")),
                       element(QStringLiteral("../x.png"), QStringLiteral("image")),
                       element(QStringLiteral("c.png"), QStringLiteral("image")),
                       // Lands on the flow file's place, from another source.
                       element(QStringLiteral("xml/a.xml"), QStringLiteral("image"))});
    std::atomic<int> started {0};
    std::atomic<int> finished {0};
    copy.setFileHandlers([&started](const ResourceCopy::File &) { ++started; },
                         [&finished](const ResourceCopy::File &) { ++finished; });
    QVERIFY(!copy.run());
    using O = ResourceCopy::Outcome;
    QList<O> outcomes;
    for (const ResourceCopy::File &file : copy.files())
        outcomes << file.outcome;
    QCOMPARE(outcomes, (QList<O> {O::Copied, O::Copied, O::RefusedPath, O::Failed, O::SameTarget}));
    QCOMPARE(copy.files().at(3).error.kind, FileError::SourceMissing);
    QCOMPARE(started.load(), 3);
    QCOMPARE(finished.load(), 5);
    QCOMPARE(copy.failedSources(),
             (QStringList {source + QStringLiteral("../x.png"), source + QStringLiteral("c.png"),
                           source + QStringLiteral("xml/a.xml")}));
    QMap<QString, QByteArray> expected;
    expected.insert(QStringLiteral("xml/a.xml"), "flow");
    expected.insert(QStringLiteral("img/b.png"), "image");
    QCOMPARE(filesBelow(resourceFolder), expected);
}

void tst_ResourceCopy::oldContentGone()
{
    installClient(QStringLiteral("heron"), QStringLiteral("1.2"));
    const QString resourceFolder = appData + QStringLiteral("/heron/resource/");
    QVERIFY(writeFile(resourceFolder + QStringLiteral("old/other-courseware.png"), "other"));
    QVERIFY(writeFile(resourceFolder + QStringLiteral("xml/old-flow.xml"), "old"));
    QVERIFY(writeFile(resourceFolder + QStringLiteral("cover.png"), "older cover"));
    CoursewareResource *resource = load({{QStringLiteral("flow.xml"), QString()}},
                                        {{QStringLiteral("cover.png"), QStringLiteral("image")}});
    QVERIFY(resource);
    QVERIFY(resource->copyToLocalResourcePath());
    QMap<QString, QByteArray> expected;
    expected.insert(QStringLiteral("xml/flow.xml"), contentOf(QStringLiteral("flow.xml")));
    expected.insert(QStringLiteral("cover.png"), contentOf(QStringLiteral("cover.png")));
    QCOMPARE(filesBelow(resourceFolder), expected);
}

void tst_ResourceCopy::escapingElements_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("inFlow");
    QTest::addColumn<QString>("localPath");
    QTest::addColumn<QString>("fileType");
    // Where the element lands below the resource folder; empty when it must be refused.
    QTest::addColumn<QString>("landsAt");

    QTest::newRow("flow ..") << "0.9" << true << "../../../outside.xml"
                             << ""
                             << "";
    QTest::newRow("flow absolute drive") << "0.9" << true << "C:/outside.xml"
                                         << ""
                                         << "";
    QTest::newRow("type ..") << "0.9" << false << "f.png"
                             << "../../x"
                             << "";
    QTest::newRow("type drive") << "0.9" << false << "f.png"
                                << "C:"
                                << "";
    QTest::newRow("type UNC") << "0.9" << false << "f.png"
                              << "//server/share"
                              << "";
    QTest::newRow("type backslash ..") << "0.9" << false << "f.png"
                                       << "..\\..\\x"
                                       << "";
    QTest::newRow("local .. old layout") << "0.9" << false << "../f.png"
                                         << "image"
                                         << "";
    QTest::newRow("local .. new layout") << "1.2" << false << "../f.png"
                                         << "image"
                                         << "";
    QTest::newRow("local backslash ..") << "1.2" << false << "..\\f.png"
                                        << "image"
                                        << "";
    QTest::newRow("source outside the download folder") << "1.2" << false << "../../../secret.txt"
                                                        << "image"
                                                        << "";
    // What Windows makes another file or a device of; the device's name stays unopened.
    QTest::newRow("local device name") << "1.2" << false << "nul.txt"
                                       << "image"
                                       << "";
    QTest::newRow("local device in a folder") << "0.9" << false << "img/COM1.png"
                                              << "image"
                                              << "";
    QTest::newRow("type device") << "0.9" << false << "f.png"
                                 << "aux"
                                 << "";
    QTest::newRow("local stream") << "1.2" << false << "f.png:hidden"
                                  << "image"
                                  << "";
    QTest::newRow("flow trailing dot") << "0.9" << true << "page.xml."
                                       << ""
                                       << "";
    QTest::newRow("type trailing blank") << "0.9" << false << "f.png"
                                         << "image "
                                         << "";
    // One leading separator is dropped by the path joining: these stay inside.
    QTest::newRow("type with one leading slash") << "0.9" << false << "f.png"
                                                 << "/abs"
                                                 << "abs/f.png";
    QTest::newRow("local with one leading slash") << "0.9" << false << "/f.png"
                                                  << "image"
                                                  << "image/f.png";
}

void tst_ResourceCopy::escapingElements()
{
    QFETCH(QString, version);
    QFETCH(bool, inFlow);
    QFETCH(QString, localPath);
    QFETCH(QString, fileType);
    QFETCH(QString, landsAt);

    installClient(QStringLiteral("heron"), version);
    const QString base = QFileInfo(appData).path();
    // A file an escaping source could read, and files an escaping write could replace.
    QVERIFY(writeFile(base + QStringLiteral("/secret.txt"), "secret"));
    QVERIFY(writeFile(appData + QStringLiteral("/heron/f.png"), "client file"));
    const QMap<QString, QByteArray> before = filesBelow(temp.path());

    const FileSpec bad {localPath, fileType};
    const FileSpec good {QStringLiteral("good.png"), QStringLiteral("image")};
    // The escaping element's source exists below the download folder where that is possible
    // (a device or stream name makes no file on Windows).
    if (!localPath.contains(QLatin1String("..")) && !localPath.startsWith(QLatin1String("C:")))
        writeFile(source + localPath, contentOf(localPath));
    // load() must not write an escaping source itself.
    const QStringList notWritten {localPath};
    CoursewareResource *resource
            = inFlow ? load({bad}, {good}, notWritten) : load({}, {bad, good}, notWritten);
    QVERIFY(resource);

    MessageCapture capture;
    const bool result = resource->copyToLocalResourcePath();
    AppContext &context = AppContext::instance();
    QCOMPARE(context.totalFiles.load(), 2);
    QCOMPARE(context.copiedFiles.load(), 2);

    const QString resourceFolder = appData + QStringLiteral("/heron/resource/");
    const QMap<QString, QByteArray> after = filesBelow(temp.path());
    // Outside the resource folder nothing changed.
    QMap<QString, QByteArray> outside = after;
    for (const QString &key : after.keys()) {
        if (QDir::cleanPath(temp.path() + QLatin1Char('/') + key)
                    .startsWith(QDir::cleanPath(resourceFolder) + QLatin1Char('/')))
            outside.remove(key);
    }
    for (const QString &key : outside.keys()) {
        if (!before.contains(key)) {
            // Only files written into the download folder by load() may be new.
            QVERIFY2(QDir::cleanPath(temp.path() + QLatin1Char('/') + key)
                             .startsWith(QDir::cleanPath(source)),
                     qPrintable(key));
        } else {
            QCOMPARE(outside.value(key), before.value(key));
        }
    }

    const QString goodPath = version == QLatin1String("0.9") ? QStringLiteral("image/good.png")
                                                             : QStringLiteral("good.png");
    QMap<QString, QByteArray> expected;
    expected.insert(goodPath, contentOf(QStringLiteral("good.png")));
    if (landsAt.isEmpty()) {
        QCOMPARE(result, false);
        QCOMPARE(context.resourcesReady.load(), false);
        QVERIFY(capture.contains(QStringLiteral("复制失败: QSet(") + debugText(source + localPath)
                                 + QLatin1Char(')')));
        bool refusalLogged = false;
        for (const QString &line : capture.texts())
            refusalLogged = refusalLogged || line.contains(QStringLiteral("路径越出目录, 未复制:"));
        QVERIFY(refusalLogged);
    } else {
        QCOMPARE(result, true);
        expected.insert(landsAt, contentOf(localPath));
    }
    QCOMPARE(filesBelow(resourceFolder), expected);
}

// Windows' classic limit is 260 characters a path; every file call goes past it.
void tst_ResourceCopy::destinationLongerThanMaxPath()
{
    installClient(QStringLiteral("heron"), QStringLiteral("1.2"));
    QString localPath;
    while (localPath.size() < 280)
        localPath += QStringLiteral("a-folder-with-a-long-name/");
    localPath += QStringLiteral("clip.mp4");
    const FileSpec longOne {localPath, QStringLiteral("video")};
    const FileSpec shortOne {QStringLiteral("cover.png"), QStringLiteral("image")};
    CoursewareResource *resource = load({}, {longOne, shortOne});
    QVERIFY(resource);
    const QString destination = appData + QStringLiteral("/heron/resource/") + localPath;
    QVERIFY(destination.size() > 300);

    QVERIFY(resource->copyToLocalResourcePath());
    QVERIFY(AppContext::instance().resourcesReady.load());
    QCOMPARE(AppContext::instance().copiedFiles.load(), 2);
    QFile file(destination);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), contentOf(localPath));
    file.close();
    // And the next copy deletes it again.
    QVERIFY(resource->copyToLocalResourcePath());
}

// The old resource folder holds links to a folder and a file of another program: the deletion
// takes the links at most, never what they point to. Under Wine no Windows call removes such a
// link without touching its target, so there the links stay and the copy fails.
void tst_ResourceCopy::linksInOldContentKeepTheirTargets()
{
    installClient(QStringLiteral("heron"), QStringLiteral("1.2"));
    const QString other = QFileInfo(appData).path() + QStringLiteral("/other-program");
    QVERIFY(writeFile(other + QStringLiteral("/data/keep.bin"), "kept"));
    QVERIFY(writeFile(other + QStringLiteral("/settings.ini"), "kept too"));
    const QString resourceFolder = appData + QStringLiteral("/heron/resource/");
    QVERIFY(QDir().mkpath(resourceFolder));
    if (!TestSupport::makeLink(other + QStringLiteral("/data"),
                               resourceFolder + QStringLiteral("data"))
        || !TestSupport::makeLink(other + QStringLiteral("/settings.ini"),
                                  resourceFolder + QStringLiteral("settings.ini")))
        QSKIP("this account may not make symbolic links");
    const QMap<QString, QByteArray> before = filesBelow(other);
    CoursewareResource *resource
            = load({}, {{QStringLiteral("cover.png"), QStringLiteral("image")}});
    QVERIFY(resource);

    MessageCapture capture;
    const bool linksRemovable = !TestSupport::underWine();
    QCOMPARE(resource->copyToLocalResourcePath(), linksRemovable);
    QCOMPARE(filesBelow(other), before);
    const QStringList lines = capture.texts();
    QCOMPARE(lines.filter(QStringLiteral("资源目录删除失败")).isEmpty(), linksRemovable);
}

void tst_ResourceCopy::oneFileFromTwoElements_data()
{
    QTest::addColumn<QString>("flowPath"); // copied to xml/<flowPath>
    QTest::addColumn<QString>("resourcePath"); // new layout: copied to <resourcePath>
    QTest::addColumn<bool>("oneFile");
    QTest::newRow("same name") << "a.xml"
                               << "xml/a.xml" << true;
#if defined(Q_OS_WIN) || defined(Q_OS_DARWIN)
    const bool caseIgnored = true;
#else
    const bool caseIgnored = false;
#endif
    QTest::newRow("names differ in case") << "Page.xml"
                                          << "XML/page.xml" << caseIgnored;
    QTest::newRow("different files") << "a.xml"
                                     << "xml/b.xml" << false;
}

// Two elements from two sources, written to what the file system takes for one file: the second
// would replace the first, so it is refused and the copy fails.
void tst_ResourceCopy::oneFileFromTwoElements()
{
    QFETCH(QString, flowPath);
    QFETCH(QString, resourcePath);
    QFETCH(bool, oneFile);
    installClient(QStringLiteral("heron"), QStringLiteral("1.2"));
    CoursewareResource *resource
            = load({{flowPath, QString()}}, {{resourcePath, QStringLiteral("image")}});
    QVERIFY(resource);
    MessageCapture capture;
    QCOMPARE(resource->copyToLocalResourcePath(), !oneFile);
    QCOMPARE(AppContext::instance().copiedFiles.load(), 2);
    const QMap<QString, QByteArray> files = filesBelow(appData + QStringLiteral("/heron/resource"));
    QCOMPARE(files.value(QStringLiteral("xml/") + flowPath), contentOf(flowPath));
    QCOMPARE(files.size(), oneFile ? 1 : 2);
    if (oneFile)
        QVERIFY(capture.contains(QStringLiteral("复制失败: QSet(")
                                 + debugText(source + resourcePath) + QLatin1Char(')')));
    else
        QCOMPARE(files.value(resourcePath), contentOf(resourcePath));
}

void tst_ResourceCopy::missingClientFolderDeletesNothing_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("installed");

    QTest::newRow("channel 0 without heron") << 0 << "atrium";
    QTest::newRow("channel 1 without atrium") << 1 << "heron";
    QTest::newRow("channel 1 with no client") << 1 << "";
    QTest::newRow("no channel") << -1 << "heron";
}

void tst_ResourceCopy::missingClientFolderDeletesNothing()
{
    QFETCH(int, channel);
    QFETCH(QString, installed);

    // The installed client has no version, so channel 1 wants atrium.
    if (!installed.isEmpty())
        installClient(installed, QString());
    AppContext::instance().channelId = channel;
    QVERIFY(writeFile(appData + QStringLiteral("/resource/keep.png"), "keep"));
    QVERIFY(writeFile(appData + QStringLiteral("/resource/xml/keep.xml"), "keep"));
    QVERIFY(writeFile(appData + QStringLiteral("/other-program/data.bin"), "keep"));
    CoursewareResource *resource = load({{QStringLiteral("flow.xml"), QString()}},
                                        {{QStringLiteral("cover.png"), QStringLiteral("image")}});
    QVERIFY(resource);
    const QMap<QString, QByteArray> before = filesBelow(appData);

    MessageCapture capture;
    QCOMPARE(resource->copyToLocalResourcePath(), false);
    AppContext &context = AppContext::instance();
    QCOMPARE(context.resourcesReady.load(), false);
    QCOMPARE(context.totalFiles.load(), 2);
    // The counts meet, so the preparation window sees the end and shows the failure.
    QCOMPARE(context.copiedFiles.load(), 2);
    QCOMPARE(filesBelow(appData), before);
    bool reasonLogged = false;
    for (const QString &line : capture.texts()) {
        QVERIFY(!line.contains(QStringLiteral("FileUtils::deleteDir")));
        QVERIFY(!line.startsWith(QStringLiteral("copy File")));
        reasonLogged = reasonLogged || line.contains(QStringLiteral("未找到学生端目录"));
    }
    QVERIFY(reasonLogged);
}

void tst_ResourceCopy::rerunRestartsCounters()
{
    installClient(QStringLiteral("heron"), QStringLiteral("0.9"));
    CoursewareResource *resource
            = load({{QStringLiteral("flow.xml"), QString()}},
                   {{QStringLiteral("a.png"), QStringLiteral("image")}}, {QStringLiteral("a.png")});
    QVERIFY(resource);
    QCOMPARE(resource->copyToLocalResourcePath(), false);
    // The missing file arrives; a second run succeeds from fresh counters.
    QVERIFY(writeFile(source + QStringLiteral("a.png"), contentOf(QStringLiteral("a.png"))));
    QVERIFY(resource->copyToLocalResourcePath());
    QCOMPARE(AppContext::instance().copiedFiles.load(), 2);
    QCOMPARE(AppContext::instance().resourcesReady.load(), true);
    QCOMPARE(filesBelow(appData + QStringLiteral("/heron/resource")).size(), 2);
}

QTEST_MAIN(tst_ResourceCopy)
#include "tst_resourcecopy.moc"
