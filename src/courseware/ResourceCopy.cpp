#include "ResourceCopy.h"

#include "app/LogBatch.h"
#include "config/PathUtils.h"
#include "config/StudentClient.h"
#include "util/FilePath.h"
#include "util/FileUtils.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>

#include <atomic>

namespace {

// Copying is bound by the system's copy, not by one core: several files at a time, but not so
// many that the disk only seeks.
const int maxCopyThreads = 4;

} // namespace

ResourceCopy::ResourceCopy(const QString &sourceFolder, const QString &resourceFolder,
                           bool newLayout, const QVector<ResourceElement> &flow,
                           const QVector<ResourceElement> &resources)
    : xml(PathUtils(resourceFolder).append(StudentClient::flowFolder()).path())
{
    planned.reserve(flow.size() + resources.size());
    for (const ResourceElement &element : flow)
        add(xml, true, sourceFolder, element, true);
    // Each type's folder, worked out once: a courseware has a few types and many files.
    QHash<QString, QPair<QString, bool>> typeFolders;
    for (const ResourceElement &element : resources) {
        auto known = typeFolders.constFind(element.fileType);
        if (known == typeFolders.constEnd()) {
            const QString typeFolder = StudentClient::typeFolder(element.fileType);
            QString targetFolder = resourceFolder;
            // The type names a folder below the resource folder and must stay there too.
            bool typeSafe = true;
            if (!newLayout) {
                typeSafe = FilePath::join(resourceFolder, typeFolder, nullptr);
                targetFolder = PathUtils(resourceFolder).append(typeFolder).path();
            }
            known = typeFolders.insert(element.fileType, qMakePair(targetFolder, typeSafe));
        }
        add(known->first, known->second, sourceFolder, element, false);
    }
    sourceOf.clear();
}

void ResourceCopy::add(const QString &targetFolder, bool targetSafe, const QString &sourceFolder,
                       const ResourceElement &element, bool flow)
{
    File file;
    file.flow = flow;
    const bool sourceSafe = FilePath::join(sourceFolder, element.localPath, &file.source);
    const bool destinationSafe = FilePath::join(targetFolder, element.localPath, &file.destination);
    if (!targetSafe || !sourceSafe || !destinationSafe) {
        file.outcome = Outcome::RefusedPath;
    } else {
        const QString destination = FilePath::fileKey(file.destination);
        const QString source = FilePath::fileKey(file.source);
        const auto claimed = sourceOf.constFind(destination);
        if (claimed == sourceOf.constEnd())
            sourceOf.insert(destination, source);
        else if (claimed.value() != source)
            file.outcome = Outcome::SameTarget;
        else
            file.repeat = true;
    }
    planned.append(file);
}

void ResourceCopy::setFileHandlers(std::function<void(const File &)> starting,
                                   std::function<void(const File &)> finished)
{
    this->starting = std::move(starting);
    this->finished = std::move(finished);
}

void ResourceCopy::copy(File &file)
{
    if (file.outcome == Outcome::Pending) {
        if (FileUtils::stopRequested()) {
            file.outcome = Outcome::Stopped;
        } else {
            if (starting)
                starting(file);
            try {
                file.outcome = file.repeat
                                || FileUtils::copyNewFile(file.source, file.destination,
                                                          &file.error)
                        ? Outcome::Copied
                        : Outcome::Failed;
            } catch (...) {
                // Out of memory for the copy's buffer: this file failed, the others go on.
                file.outcome = Outcome::Failed;
                file.error = FileError::other(QStringLiteral("out of memory"));
            }
        }
    }
    if (finished)
        finished(file);
}

bool ResourceCopy::run()
{
    QSet<QString> folders;
    for (const File &file : qAsConst(planned)) {
        if (file.outcome == Outcome::Pending)
            folders.insert(QFileInfo(file.destination).path());
    }
    for (const QString &folder : qAsConst(folders))
        FileUtils::makePath(folder);

    std::atomic<int> next {0};
    const auto work = [this, &next] {
        // What the handlers log for a run of files goes out together.
        const LogBatch batch;
        for (int i = next++; i < planned.size(); i = next++)
            copy(planned[i]);
    };
    const int threads = qBound(1, QThread::idealThreadCount(), maxCopyThreads);
    QThreadPool helpers;
    helpers.setMaxThreadCount(threads - 1);
    for (int i = 1; i < threads && i < planned.size(); ++i)
        QtConcurrent::run(&helpers, work);
    work();
    helpers.waitForDone();

    for (const File &file : qAsConst(planned)) {
        if (file.outcome != Outcome::Copied)
            return false;
    }
    return true;
}

QStringList ResourceCopy::failedSources() const
{
    QStringList sources;
    for (const File &file : planned) {
        if (file.outcome != Outcome::Copied)
            sources.append(file.source);
    }
    return sources;
}
