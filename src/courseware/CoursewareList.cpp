#include "CoursewareList.h"

#include "config/AppContext.h"
#include "courseware/CoursewareResource.h"
#include "net/ServiceRequest.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>

#include <cmath>
#include <limits>

CoursewareList::CoursewareList(QObject *parent) : QObject(parent)
{
    connect(this, &CoursewareList::GetCoursewareResource, this,
            &CoursewareList::on_GetCoursewareResource);
}

CoursewareList::~CoursewareList()
{
    qDeleteAll(resources);
}

void CoursewareList::on_get_coursewarelist(QString &body)
{
    // A failed request; the selection window tells the teacher itself.
    if (ServiceRequest::outcomeOf(sender(), body).tellsFailure(body))
        return;

    QJsonObject reply;
    if (ServiceRequest::parseReply(body, &reply)
        && reply.contains(QLatin1String("coursewareList"))) {
        const QJsonArray list = reply.value(QLatin1String("coursewareList")).toArray();
        for (const QJsonValue &item : list) {
            const QJsonObject object = item.toObject();
            CoursewareInfo info;
            info.coursewareId = object.value(QLatin1String("coursewareId")).toString();
            // Only an integral JSON number counts; a string or a fraction gives 0.
            const QJsonValue release = object.value(QLatin1String("releaseVersion"));
            const double number = release.toDouble();
            if (release.isDouble() && std::floor(number) == number
                && number >= std::numeric_limits<int>::min()
                && number <= std::numeric_limits<int>::max())
                info.releaseVersion = int(number);
            info.displayName = object.value(QLatin1String("coursewareName")).toString()
                    + QLatin1Char('_') + QString::number(info.releaseVersion);
            info.absolutePath = object.value(QLatin1String("absolutePath")).toString();
            info.teacherId = object.value(QLatin1String("teacherId")).toString();
            coursewareInfos.append(info);
        }
    }
    emit GetCoursewareResource();
}

void CoursewareList::on_GetCoursewareResource()
{
    if (coursewareInfos.isEmpty()) {
        emit CoursewareResourceListReady();
        return;
    }
    // Only records without a resource yet: a second list reply must not check the first again.
    const QList<CoursewareInfo> infos = coursewareInfos.mid(resources.size());
    for (const CoursewareInfo &info : infos) {
        qDebug() << info.displayName;
        auto *resource = new CoursewareResource(info.displayName, info.teacherId, info.absolutePath,
                                                info.coursewareId, info.releaseVersion, nullptr);
        resources.append(resource);
        connect(resource, &CoursewareResource::CoursewareResourceStatChanged, this,
                &CoursewareList::on_CoursewareResourceStatChanged);
    }
}

void CoursewareList::on_CoursewareResourceStatChanged(bool bFinished)
{
    Q_UNUSED(bFinished)
    ++reportedCount;
    if (reportedCount == coursewareInfos.size()) {
        for (const CoursewareResource *resource : qAsConst(resources)) {
            if (!resource->isReady())
                qDebug() << "课件未通过检测:" << resource->displayName << resource->failureReason();
        }
        emit CoursewareResourceListReady();
    }
}

QStringList CoursewareList::failures() const
{
    QSet<QString> offered;
    for (const CoursewareResource *resource : resources) {
        if (resource->isReady())
            offered.insert(resource->displayName);
    }
    QStringList lines;
    for (const CoursewareResource *resource : resources) {
        // A name that another entry of the same name got offered under is not missing.
        if (!resource->isReady() && !offered.contains(resource->displayName))
            lines.append(resource->displayName + QStringLiteral("：") + resource->failureReason());
    }
    return lines;
}

bool CoursewareList::startOver()
{
    if (!copyMutex.tryLock())
        return false;
    // Whatever an old check would still report must not count in the new round.
    for (CoursewareResource *resource : qAsConst(resources))
        disconnect(resource, nullptr, this, nullptr);
    qDeleteAll(resources);
    resources.clear();
    coursewareInfos.clear();
    reportedCount = 0;
    copyMutex.unlock();
    return true;
}

// Two entries may share a display name, and the window offers it once: for the one that passed.
// A courseware that failed its check is never copied or seated.
bool CoursewareList::isChosen(const CoursewareResource *resource, const QString &name)
{
    return resource->displayName == name && resource->isReady();
}

bool CoursewareList::copyToLocal(QString name, CopyFailure *why)
{
    const QMutexLocker locker(&copyMutex);
    qDebug() << "CoursewareList::copyToLocal" << name;
    qDebug() << "课件数量" << resources.size();
    for (int i = 0; i < resources.size(); ++i) {
        qDebug() << i;
        if (isChosen(resources.at(i), name)) {
            qDebug() << "will copy index is: " << i;
            CoursewareResource *resource = resources.at(i);
            const bool copied = resource->copyToLocalResourcePath();
            if (why)
                *why = resource->copyFailure();
            return copied;
        }
    }
    qDebug() << "没有找到课件";
    if (why) {
        *why = CopyFailure();
        why->cause = CopyFailure::NotOffered;
    }
    // Nothing is copied, and the preparation window must still see the run end.
    AppContext &context = AppContext::instance();
    context.resourcesReady = false;
    context.copiedFiles = context.totalFiles.load();
    return false;
}

QString CoursewareList::getTeacherId(QString name)
{
    for (const CoursewareResource *resource : qAsConst(resources)) {
        if (isChosen(resource, name))
            return resource->teacherId;
    }
    return QString();
}

int CoursewareList::checkPercent() const
{
    qint64 total = 0;
    qint64 done = 0;
    for (const CoursewareResource *resource : resources) {
        total += resource->checkBytes();
        done += resource->checkedBytes();
    }
    if (total <= 0)
        return -1;
    return int(qBound<qint64>(0, done * 100 / total, 100));
}

QStringList CoursewareList::getReadyCoursewareNames()
{
    QStringList names;
    for (CoursewareResource *resource : qAsConst(resources)) {
        if (resource->isReady())
            names.append(resource->displayName);
    }
    return names;
}
