#ifndef COURSEWAREFIXTURE_H
#define COURSEWAREFIXTURE_H

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// Small helpers for courseware tests: real files on disk and the resource lists naming them.
namespace CoursewareFixture {

inline QString md5Hex(const QByteArray &content)
{
    return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
}

inline bool writeFile(const QString &path, const QByteArray &content)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(content) == content.size();
}

inline QJsonObject element(const QString &localPath, const QString &fileMd5,
                           const QString &fileType = QString())
{
    return QJsonObject {{QStringLiteral("fileName"), QFileInfo(localPath).fileName()},
                        {QStringLiteral("localPath"), localPath},
                        {QStringLiteral("filePath"), QStringLiteral("/remote") + localPath},
                        {QStringLiteral("fileMd5"), fileMd5},
                        {QStringLiteral("fileType"), fileType}};
}

// The resource list entry of the stand-in scenario ("resources" -> "<id>/<release>").
inline QJsonObject resourceList(const QJsonArray &flow, const QJsonArray &elements)
{
    return QJsonObject {{QStringLiteral("name"), QStringLiteral("demo")},
                        {QStringLiteral("des"), QStringLiteral("demo courseware")},
                        {QStringLiteral("flowConfList"), flow},
                        {QStringLiteral("resourceElements"), elements}};
}

inline QJsonObject coursewareEntry(const QString &id, int release, const QString &name,
                                   const QString &absolutePath,
                                   const QString &teacherId = QStringLiteral("T2001"))
{
    return QJsonObject {{QStringLiteral("coursewareId"), id},
                        {QStringLiteral("releaseVersion"), release},
                        {QStringLiteral("coursewareName"), name},
                        {QStringLiteral("absolutePath"), absolutePath},
                        {QStringLiteral("teacherId"), teacherId}};
}

} // namespace CoursewareFixture

#endif // COURSEWAREFIXTURE_H
