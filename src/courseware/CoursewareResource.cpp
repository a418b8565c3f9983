#include "CoursewareResource.h"

#include "app/DebugLine.h"
#include "app/LogBatch.h"
#include "config/AppContext.h"
#include "config/PathUtils.h"
#include "courseware/ResourceCheck.h"
#include "courseware/ResourceCopy.h"
#include "net/ServiceRequest.h"
#include "util/DigestCache.h"
#include "util/FileUtils.h"

#include <QDebug>
#include <QDirIterator>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QMutex>
#include <QSet>
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

    parsed = ready;
    if (!ready) {
        const RequestOutcome outcome = ServiceRequest::outcomeOf(sender(), body);
        if (outcome.tellsFailure(body))
            requestFailure = outcome.message();
    }
    if (ready)
        qDebug() << "课件资源解析成功";
    else
        qDebug() << "课件资源解析失败";

    startCheck();
}

namespace {

// A file's two lines stay together, whatever the other checks log meanwhile.
QMutex checkLogMutex;

void logChecked(const ResourceCheck::File &file)
{
    QMutexLocker locker(&checkLogMutex);
    if (file.outcome == ResourceCheck::Outcome::Stopped)
        return;
    if (file.outcome == ResourceCheck::Outcome::RefusedPath) {
        qDebug() << "[CoursewareResource][checkDisk]"
                 << "路径越出课件目录, 未读取:" << file.path;
        return;
    }
    if (file.outcome == ResourceCheck::Outcome::OutOfMemory) {
        qDebug() << "[CoursewareResource][checkDisk]"
                 << "内存不足, 未能校验:" << file.path;
        return;
    }
    corvinDebugLine() << file.path << file.digest;
    corvinDebugLine() << file.path << " 本地计算md5 :" << file.digest
                      << "服务端md5: " << file.announced;
}

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
    fileCheck.reset(new ResourceCheck(downloadFolder(), flowConfList, resourceElements,
                                      useCache ? &DigestCache::shared() : nullptr));
    runningCheck = fileCheck.get();
    // Each file's lines are written as soon as it and those before it are done, in list order,
    // while the others are still hashed.
    fileCheck->setResultHandler([this](int from, int to) {
        const LogBatch batch;
        for (int i = from; i < to; ++i)
            logChecked(fileCheck->files().at(i));
    });
    // The files of every courseware share the global pool's threads, so a single large
    // courseware uses every core. The last file ends the check.
    fileCheck->start(QThreadPool::globalInstance(), [this] { finishCheck(); });
}

qint64 CoursewareResource::checkBytes() const
{
    const ResourceCheck *check = runningCheck;
    return check ? check->totalBytes() : 0;
}

qint64 CoursewareResource::checkedBytes() const
{
    const ResourceCheck *check = runningCheck;
    return check ? check->doneBytes() : 0;
}

// Every file is hashed and logged, also after a mismatch; the lines come in the order of the
// lists, whichever thread hashed each file.
void CoursewareResource::finishCheck()
{
    // Its lines must not fall between the two lines of a file of another check.
    QMutexLocker locker(&checkLogMutex);
    if (FileUtils::stopRequested()) {
        // The program is ending: what was not hashed says nothing about the files.
        ready = false;
        qDebug() << "校验课件中止";
        qDebug() << "校验课件结束";
        locker.unlock();
        checkDone.reportFinished();
        return;
    }
    QSet<QString> failedPaths;
    for (const ResourceCheck::File &file : fileCheck->files()) {
        if (file.outcome != ResourceCheck::Outcome::Passed)
            failedPaths.insert(file.path);
    }
    if (useCache)
        qDebug() << "校验课件缓存:" << fileCheck->fromCache() << "/" << fileCheck->files().size()
                 << "个文件未重新计算";
    if (!failedPaths.isEmpty()) {
        qDebug() << failedPaths;
        ready = false;
        qDebug() << "校验课件失败";
    } else {
        qDebug() << "校验课件成功";
        ready = true;
    }
    qDebug() << "校验课件结束";
    locker.unlock();
    const bool save = useCache;
    // The window need not wait for the cache file, but the process's end does.
    if (save)
        DigestCache::shared().expectSave();
    checkDone.reportFinished();
    // This object is not touched any more, and its destruction waits for the check to end,
    // this saving included.
    if (save)
        DigestCache::shared().save();
}

namespace {

// The reason a teacher reads for a courseware that is not offered: every kind of fault its
// files show, each kind once.
QString failureSummary(bool parsed, const QString &requestFailure, const ResourceCheck *check)
{
    if (!parsed)
        return requestFailure.isEmpty()
                ? QStringLiteral("资源列表获取失败")
                : QStringLiteral("资源列表获取失败（%1）").arg(requestFailure);
    using Outcome = ResourceCheck::Outcome;
    QMap<Outcome, int> count;
    if (check) {
        for (const ResourceCheck::File &file : check->files())
            ++count[file.outcome];
    }
    QStringList parts;
    if (count.value(Outcome::RefusedPath) > 0)
        parts.append(QStringLiteral("文件路径不安全"));
    if (const int missing = count.value(Outcome::Missing))
        parts.append(QStringLiteral("%1 个文件缺失").arg(missing));
    if (const int unreadable = count.value(Outcome::Unreadable))
        parts.append(QStringLiteral("%1 个文件无法读取").arg(unreadable));
    if (const int differs = count.value(Outcome::Differs))
        parts.append(QStringLiteral("%1 个文件校验不一致").arg(differs));
    if (count.value(Outcome::Stopped) > 0 || count.value(Outcome::OutOfMemory) > 0
        || parts.isEmpty())
        parts.append(QStringLiteral("检测未完成"));
    return parts.join(QStringLiteral("，"));
}

} // namespace

void CoursewareResource::on_CheckMD5Finished()
{
    // The check has ended: its results are final and read here on the GUI thread only.
    failure = ready ? QString() : failureSummary(parsed, requestFailure, fileCheck.get());
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

// The first file in list order that was not copied, and why.
CopyFailure firstCopyFailure(const QVector<ResourceCopy::File> &files)
{
    CopyFailure failure;
    for (const ResourceCopy::File &file : files) {
        switch (file.outcome) {
        case ResourceCopy::Outcome::Copied:
            continue;
        case ResourceCopy::Outcome::RefusedPath:
            failure.cause = CopyFailure::RefusedPath;
            break;
        case ResourceCopy::Outcome::SameTarget:
            failure.cause = CopyFailure::SameTarget;
            break;
        case ResourceCopy::Outcome::Failed:
            failure.cause = CopyFailure::FileFailed;
            failure.error = file.error;
            break;
        default:
            failure.cause = CopyFailure::FileFailed;
            failure.error = FileError::stopped();
            break;
        }
        failure.path = file.source;
        return failure;
    }
    return failure;
}

void logStart(const ResourceCopy::File &file)
{
    corvinDebugLine() << "copy File ++ " << file.source << file.destination;
}

// Every file counts as handled, whatever its outcome.
void logEnd(const ResourceCopy::File &file)
{
    switch (file.outcome) {
    case ResourceCopy::Outcome::Copied:
    case ResourceCopy::Outcome::Failed:
        corvinDebugLine() << (file.flow ? "copy File --" : "copy File -- ") << file.source
                          << file.destination;
        break;
    case ResourceCopy::Outcome::RefusedPath:
        qDebug() << "[CoursewareResource][copyToLocalResourcePath]:"
                 << "路径越出目录, 未复制:" << file.source << file.destination;
        break;
    case ResourceCopy::Outcome::SameTarget:
        qDebug() << "[CoursewareResource][copyToLocalResourcePath]:"
                 << "目标文件重名, 未复制:" << file.source << file.destination;
        break;
    default:
        break;
    }
    ++AppContext::instance().copiedFiles;
}

} // namespace

bool CoursewareResource::copyToLocalResourcePath()
{
    CopyFailure &why = lastCopyFailure;
    why = CopyFailure();
    AppContext &context = AppContext::instance();
    qDebug() << "[CoursewareResource][copyToLocalResourcePath]:"
             << "开始复制文件 ";
    context.copiedFiles = 0;
    context.totalFiles = flowConfList.size() + resourceElements.size();
    context.resourcesReady = false;

    const StudentClient client = context.studentClient();
    const QString resourceFolder = client.resourceFolder;
    if (!client.installed()) {
        why.cause = CopyFailure::NoClient;
        why.path = resourceFolder;
        // Without the client's folder the path has fallen back to the application-data folder:
        // deleting there would take other programs' data.
        return abandonCopy("未找到学生端目录, 不删除也不复制:", resourceFolder);
    }

    qDebug() << "[CoursewareResource][copyToLocalResourcePath]:"
             << " deleteDir" << resourceFolder;
    FileUtils::deleteDir(resourceFolder);
    const QString leftOver = firstVisibleFileBelow(resourceFolder);
    if (!leftOver.isEmpty()) {
        why.cause = CopyFailure::FolderNotEmptied;
        why.path = leftOver;
        why.error = FileUtils::removalBlocker(leftOver);
        qDebug() << "[CoursewareResource][copyToLocalResourcePath]:"
                 << "删除失败原因:" << leftOver << why.error.text;
        return abandonCopy("资源目录删除失败, 不复制:", leftOver);
    }

    ResourceCopy copy(downloadFolder(), resourceFolder, client.newLayout, flowConfList,
                      resourceElements);
    FileUtils::makeDir(copy.xmlFolder());
    qDebug() << "目标目录:" << copy.xmlFolder();

    copy.setFileHandlers(logStart, logEnd);
    const bool copied = copy.run();
    if (FileUtils::stopRequested())
        qDebug() << "[CoursewareResource][copyToLocalResourcePath]:"
                 << "复制中止";

    qDebug() << "[CoursewareResource][copyToLocalResourcePath]"
             << "结束复制文件 ";
    if (!copied) {
        QSet<QString> failed;
        for (const QString &source : copy.failedSources())
            failed.insert(source);
        qDebug() << "复制失败:" << failed;
        for (const ResourceCopy::File &file : copy.files()) {
            if (file.outcome == ResourceCopy::Outcome::Failed)
                qDebug() << "复制失败原因:" << file.source << file.error.text;
        }
        why = firstCopyFailure(copy.files());
        return false;
    }
    context.resourcesReady = true;
    return true;
}
