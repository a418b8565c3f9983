#ifndef RESOURCECOPY_H
#define RESOURCECOPY_H

#include "courseware/ResourceElement.h"
#include "util/FileError.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// The copy of one courseware's files from its download folder into a student client's resource
// folder: the flow files into "xml/", the others straight into the resource folder (new layout)
// or into a folder per type ("audio" into "voice"). The whole copy is planned before anything is
// written: a name that leaves either folder is refused, and so is an element that would write a
// file another element writes from another source (one would silently replace the other).
// Knows nothing of the service, the settings or a window.
class ResourceCopy
{
public:
    enum class Outcome {
        Pending,
        Copied,
        Failed, // error says why
        RefusedPath,
        SameTarget, // another element writes this file from another source
        Stopped, // the program is ending: not copied
    };

    struct File
    {
        QString source; // download folder + localPath
        QString destination;
        bool flow = false; // from the flow list
        bool repeat = false; // the same file as an earlier element: copied once, by that one
        Outcome outcome = Outcome::Pending;
        FileError error;
    };

    ResourceCopy(const QString &sourceFolder, const QString &resourceFolder, bool newLayout,
                 const QVector<ResourceElement> &flow, const QVector<ResourceElement> &resources);

    // Resource folder + "xml/", where the flow files go.
    QString xmlFolder() const { return xml; }

    // Around each file, on the thread that copies it: `starting` before a copy is tried,
    // `finished` once its outcome is known (for every file, refused and stopped ones too).
    void setFileHandlers(std::function<void(const File &)> starting,
                         std::function<void(const File &)> finished);

    // Makes the folders, then copies with as many threads as there are cores (at most four),
    // the calling one among them. A failure stops no other file. True when every file was
    // copied.
    bool run();

    const QVector<File> &files() const { return planned; }
    // The sources of the files that were not copied.
    QStringList failedSources() const;

private:
    void add(const QString &targetFolder, bool targetSafe, const QString &sourceFolder,
             const ResourceElement &element, bool flow);
    void copy(File &file);

    QString xml;
    QVector<File> planned;
    QHash<QString, QString> sourceOf; // destination -> source, while planning
    std::function<void(const File &)> starting;
    std::function<void(const File &)> finished;
};

#endif // RESOURCECOPY_H
