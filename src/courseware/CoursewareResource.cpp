#include "CoursewareResource.h"

#include "config/AppContext.h"
#include "config/PathUtils.h"
#include "net/ServiceRequest.h"
#include "util/DigestCache.h"
#include "util/FileIdentity.h"
#include "util/FileUtils.h"
#include "util/SafePath.h"

#include <QDebug>
#include <QDirIterator>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMutex>
#include <QSet>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>

CoursewareResource::CoursewareResource(QString displayName, QString teacherId, QString absolutePath,
                                       QString coursewareId, int releaseVersion, QObject *parent)
    : QObject(parent)
    , displayName(displayName)
    , absolutePath(absolutePath)
    , coursewareId(coursewareId)
    , teacherId(teacherId)
    , releaseVersion(releaseVersion)
{
    QJsonObject body;
    body.insert(QStringLiteral("coursewareId"), coursewareId);
    body.insert(QStringLiteral("releaseVersion"), releaseVersion);
    ServiceRequest::post(QStringLiteral("/platform/room/getCoursewareResource"), body, this,
                         &CoursewareResource::on_CoursewareResource_2);
}

CoursewareResource::~CoursewareResource()
{
    begin.waitForFinished();
    check.waitForFinished();
}

void CoursewareResource::parseResourceElements(const QJsonValue &value,
                                               QVector<ResourceElement> &elements)
{
    const QJsonArray array = value.toArray();
    for (const QJsonValue &item : array) {
        const QJsonObject object = item.toObject();
        ResourceElement element;
        element.fileName = object.value(QLatin1String("fileName")).toString();
        element.localPath = object.value(QLatin1String("localPath")).toString();
        element.filePath = object.value(QLatin1String("filePath")).toString();
        element.fileMd5 = object.value(QLatin1String("fileMd5")).toString();
        element.fileType = object.value(QLatin1String("fileType")).toString();
        elements.append(element);
    }
}

void CoursewareResource::on_CoursewareResource_2(QString body)
{
    if (checkStarted) {
        // One request per object; a second answer must not start a second check or report.
        qDebug() << "[CoursewareResource][on_CoursewareResource_2]"
                 << "ignored second reply";
        return;
    }

    QJsonObject root;
    if (ServiceRequest::parseReply(body, &root)) {
        if (root.contains(QLatin1String("coursewareResource"))) {
            const QJsonObject resource = root.value(QLatin1String("coursewareResource")).toObject();
            if (resource.value(QLatin1String("success")).toBool(false)) {
                resourceName = resource.value(QLatin1String("name")).toString();
                resourceDes = resource.value(QLatin1String("des")).toString();
                parseResourceElements(resource.value(QLatin1String("flowConfList")), flowConfList);
                parseResourceElements(resource.value(QLatin1String("resourceElements")),
                                      resourceElements);
                ready = true;
            }
        }
    }

    if (ready)
        qDebug() << "课件资源解析成功";
    else
        qDebug() << "课件资源解析失败";

    startCheck();
}

namespace {
// A courseware's check writes its lines as one block, whatever the other checks log meanwhile.
QMutex checkLogMutex;
} // namespace

void CoursewareResource::startCheck()
{
    checkStarted = true;
    auto *watcher = new QFutureWatcher<void>();
    // Connected before setFuture, so a check that is already over is still reported.
    connect(watcher, &QFutureWatcher<void>::finished, this,
            &CoursewareResource::on_CheckMD5Finished);
    connect(watcher, &QFutureWatcher<void>::finished, watcher, &QObject::deleteLater);
    checkDone.reportStarted();
    check = checkDone.future();
    watcher->setFuture(check);
    begin = QtConcurrent::run(this, &CoursewareResource::checkDisk);
}

QString CoursewareResource::downloadFolder() const
{
    return PathUtils(absolutePath)
            .append(coursewareId)
            .append(QString::number(releaseVersion))
            .path();
}

void CoursewareResource::checkDisk()
{
    AppContext &context = AppContext::instance();
    if (context.settingInt(QStringLiteral("Server/MD5")) == 0) {
        checkDone.reportFinished();
        return;
    }
    {
        QMutexLocker locker(&checkLogMutex);
        qDebug() << "校验课件开始:"
                 << " ";
        if (!ready) {
            qDebug() << "校验课件结束";
            checkDone.reportFinished();
            return;
        }
    }
    useCache = context.settingInt(QStringLiteral("Server/MD5Cache")) != 0;

    const QString folder = downloadFolder();
    qint64 bytes = 0;
    for (const QVector<ResourceElement> *list : {&flowConfList, &resourceElements}) {
        for (const ResourceElement &element : *list) {
            CheckedFile file;
            // Never read a file outside the download folder; the element counts as failed.
            file.safe = SafePath::join(folder, element.localPath, &file.path);
            file.announced = element.fileMd5;
            file.size = file.safe ? QFileInfo(file.path).size() : 0;
            bytes += file.size;
            checkedFiles.append(file);
        }
    }
    checkBytes = bytes;
    const int count = checkedFiles.size();
    if (count == 0) {
        finishCheck();
        return;
    }
    // One task a file on the global pool: the files of every courseware share its threads, so
    // a single large courseware uses every core. The last one to finish ends the check.
    filesLeft = count;
    for (int i = 0; i < count; ++i)
        QtConcurrent::run([this, i] { checkFile(i); });
}

void CoursewareResource::checkFile(int index)
{
    CheckedFile &checked = checkedFiles[index];
    qint64 counted = 0;
    if (checked.safe && !FileUtils::stopRequested()) {
        QFile file(checked.path);
        if (file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            const FileIdentity before = FileIdentity::of(file);
            if (useCache) {
                checked.digest = DigestCache::shared().lookup(checked.path, before);
                if (!checked.digest.isEmpty())
                    ++filesFromCache;
            }
            if (checked.digest.isEmpty()) {
                checked.digest = FileUtils::md5Hex(&file, [this, &counted](qint64 chunk) {
                    counted += chunk;
                    checkedBytes += chunk;
                });
                // Kept only when nothing changed the file while it was read.
                if (useCache && !checked.digest.isEmpty() && FileIdentity::of(file) == before)
                    DigestCache::shared().store(checked.path, before, checked.digest);
            }
        }
        if (checked.digest.isEmpty())
            checked.digest = FileUtils::unreadableMd5();
    }
    checkedBytes += checked.size - counted;
    if (--filesLeft == 0)
        finishCheck();
}

// Every file is hashed and logged, also after a mismatch; the lines come in the order of the
// lists, whichever thread hashed each file.
void CoursewareResource::finishCheck()
{
    QMutexLocker locker(&checkLogMutex);
    if (FileUtils::stopRequested()) {
        // The program is ending: what was not hashed says nothing about the files.
        ready = false;
        qDebug() << "校验课件中止";
        qDebug() << "校验课件结束";
        checkDone.reportFinished();
        return;
    }
    QSet<QString> failedPaths;
    for (const CheckedFile &file : qAsConst(checkedFiles)) {
        if (!file.safe) {
            qDebug() << "[CoursewareResource][checkDisk]"
                     << "路径越出课件目录, 未读取:" << file.path;
            failedPaths.insert(file.path);
            continue;
        }
        qDebug() << file.path << file.digest;
        const bool matches = file.announced.compare(file.digest, Qt::CaseInsensitive) == 0;
        qDebug() << file.path << " 本地计算md5 :" << file.digest << "服务端md5: " << file.announced;
        if (!matches)
            failedPaths.insert(file.path);
    }
    if (useCache) {
        qDebug() << "校验课件缓存:" << filesFromCache.load() << "/" << checkedFiles.size()
                 << "个文件未重新计算";
        DigestCache::shared().save();
    }
    if (!failedPaths.isEmpty()) {
        qDebug() << failedPaths;
        ready = false;
        qDebug() << "校验课件失败";
    } else {
        qDebug() << "校验课件成功";
        ready = true;
    }
    qDebug() << "校验课件结束";
    checkDone.reportFinished();
}

void CoursewareResource::on_CheckMD5Finished()
{
    emit CoursewareResourceStatChanged(ready);
}

namespace {

// Ends a run that copies nothing. Every file counts as handled, so the preparation window sees
// the end of the run and shows the failure.
bool abandonCopy(const char *reason, const QString &path)
{
    AppContext &context = AppContext::instance();
    qDebug() << "[CoursewareResource][copyToLocalResourcePath]:" << reason << path;
    context.copiedFiles = context.totalFiles.load();
    qDebug() << "[CoursewareResource][copyToLocalResourcePath]"
             << "结束复制文件 ";
    return false;
}

// deleteDir leaves hidden entries by design; any other file still there belongs to an earlier
// courseware and would be mixed into the chosen one.
QString firstVisibleFileBelow(const QString &folder)
{
    QDirIterator it(folder, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    return it.hasNext() ? it.next() : QString();
}

// One file of the copy, decided before anything is copied.
struct CopyStep
{
    QString source;
    QString destination;
    const char *doneTag = nullptr;
    const char *refusal = nullptr; // why nothing is read or written for it; null when copied
    bool repeat = false; // the same file as an earlier step: copied once, by that step
};

// The copy's files in the order of the lists. A name from the service that leaves the download
// or the resource folder (or a type folder that does) is refused, and so is an element that would
// write a file another element of the run has written from another source: one would silently
// replace the other (on Windows also when the two names differ only in letter case).
class CopyPlan
{
public:
    explicit CopyPlan(const QString &sourceFolder) : sourceFolder(sourceFolder) { }

    void add(const QString &targetFolder, bool targetSafe, const ResourceElement &element,
             const char *doneTag)
    {
        CopyStep step;
        step.doneTag = doneTag;
        const bool sourceSafe = SafePath::join(sourceFolder, element.localPath, &step.source);
        const bool destinationSafe
                = SafePath::join(targetFolder, element.localPath, &step.destination);
        if (!targetSafe || !sourceSafe || !destinationSafe) {
            step.refusal = "路径越出目录, 未复制:";
        } else {
            const QString destination = fileKey(step.destination);
            const QString source = fileKey(step.source);
            const auto claimed = sourceOf.constFind(destination);
            if (claimed == sourceOf.constEnd())
                sourceOf.insert(destination, source);
            else if (claimed.value() != source)
                step.refusal = "目标文件重名, 未复制:";
            else
                step.repeat = true;
        }
        planned.append(step);
    }

    const QVector<CopyStep> &steps() const { return planned; }

    // The folders the copied files go into, each once.
    QStringList targetFolders() const
    {
        QSet<QString> folders;
        for (const CopyStep &step : planned) {
            if (!step.refusal)
                folders.insert(QFileInfo(step.destination).path());
        }
        return folders.values();
    }

private:
    // Paths that name one file compare equal.
    static QString fileKey(const QString &path)
    {
        const QString clean = QDir::cleanPath(path);
#if defined(Q_OS_WIN) || defined(Q_OS_DARWIN)
        return clean.toCaseFolded();
#else
        return clean;
#endif
    }

    QString sourceFolder;
    QVector<CopyStep> planned;
    QHash<QString, QString> sourceOf; // destination -> source
};

// The files that failed the copy, written by every copying thread.
class FailedPaths
{
public:
    void insert(const QString &path)
    {
        QMutexLocker locker(&mutex);
        paths.insert(path);
    }
    QSet<QString> all() const { return paths; } // once the copying threads are done

private:
    QMutex mutex;
    QSet<QString> paths;
};

// Carries out one step and counts it, whatever the outcome; a file that fails or is refused
// fails the copy like a missing one. Its folder exists already.
void runStep(const CopyStep &step, FailedPaths *failedPaths)
{
    if (FileUtils::stopRequested()) {
        // The program is ending: the file is left out, and the copy fails.
        failedPaths->insert(step.source);
    } else if (!step.refusal) {
        qDebug() << "copy File ++ " << step.source << step.destination;
        if (!step.repeat && !FileUtils::copyNewFile(step.source, step.destination))
            failedPaths->insert(step.source);
        qDebug() << step.doneTag << step.source << step.destination;
    } else {
        qDebug() << "[CoursewareResource][copyToLocalResourcePath]:" << step.refusal << step.source
                 << step.destination;
        failedPaths->insert(step.source);
    }
    ++AppContext::instance().copiedFiles;
}

// Copying is bound by the system's copy, not by one core: several files at a time, but not so
// many that the disk only seeks.
const int maxCopyThreads = 4;

// The steps by as many threads as there are cores, at most maxCopyThreads, this one among
// them. A failure stops no other file.
QSet<QString> runSteps(const QVector<CopyStep> &steps)
{
    FailedPaths failedPaths;
    std::atomic<int> next {0};
    const auto work = [&steps, &failedPaths, &next] {
        for (int i = next++; i < steps.size(); i = next++)
            runStep(steps.at(i), &failedPaths);
    };
    const int threads = qBound(1, QThread::idealThreadCount(), maxCopyThreads);
    QThreadPool helpers;
    helpers.setMaxThreadCount(threads - 1);
    for (int i = 1; i < threads && i < steps.size(); ++i)
        QtConcurrent::run(&helpers, work);
    work();
    helpers.waitForDone();
    return failedPaths.all();
}

} // namespace

bool CoursewareResource::copyToLocalResourcePath()
{
    AppContext &context = AppContext::instance();
    qDebug() << "[CoursewareResource][copyToLocalResourcePath]:"
             << "开始复制文件 ";
    context.copiedFiles = 0;
    context.totalFiles = flowConfList.size() + resourceElements.size();
    context.resourcesReady = false;

    const QString resourceFolder = context.clientResourcePath();
    if (!context.clientInstalled()) {
        // Without the client's folder the path has fallen back to the application-data folder:
        // deleting there would take other programs' data.
        return abandonCopy("未找到学生端目录, 不删除也不复制:", resourceFolder);
    }

    qDebug() << "[CoursewareResource][copyToLocalResourcePath]:"
             << " deleteDir" << resourceFolder;
    FileUtils::deleteDir(resourceFolder);
    const QString leftOver = firstVisibleFileBelow(resourceFolder);
    if (!leftOver.isEmpty())
        return abandonCopy("资源目录删除失败, 不复制:", leftOver);

    const QString xmlFolder = PathUtils(resourceFolder).append(QStringLiteral("xml")).path();
    FileUtils::makeDir(xmlFolder);
    qDebug() << "目标目录:" << xmlFolder;

    CopyPlan plan(downloadFolder());
    for (const ResourceElement &element : qAsConst(flowConfList))
        plan.add(xmlFolder, true, element, "copy File --");

    const bool newLayout = AppContext::isNewClientVersion(context.clientVersion());

    for (const ResourceElement &element : qAsConst(resourceElements)) {
        QString typeFolder = element.fileType;
        if (typeFolder == QLatin1String("audio"))
            typeFolder = QStringLiteral("voice");
        QString targetFolder = resourceFolder;
        // The type names a folder below the resource folder and must stay there too.
        bool typeSafe = true;
        if (!newLayout) {
            typeSafe = SafePath::join(resourceFolder, typeFolder, nullptr);
            targetFolder = PathUtils(resourceFolder).append(typeFolder).path();
        }
        plan.add(targetFolder, typeSafe, element, "copy File -- ");
    }

    for (const QString &folder : plan.targetFolders())
        FileUtils::makePath(folder);
    const QSet<QString> failedPaths = runSteps(plan.steps());
    if (FileUtils::stopRequested())
        qDebug() << "[CoursewareResource][copyToLocalResourcePath]:"
                 << "复制中止";

    qDebug() << "[CoursewareResource][copyToLocalResourcePath]"
             << "结束复制文件 ";
    if (!failedPaths.isEmpty()) {
        qDebug() << "复制失败:" << failedPaths;
        return false;
    }
    context.resourcesReady = true;
    return true;
}
