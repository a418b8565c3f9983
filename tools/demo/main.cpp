// Writes demo data for the stand-in service: a download folder with the files of three
// courseware and the scenario that announces them (two complete, one with a wrong digest).
//
//     corvin-demo-setup <out>   ->  <out>/download/...  and  <out>/scenario.json
//                                   <out>/appdata/{heron,atrium} (the demo's student clients)

#include "DemoClients.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>

#include <cstdio>

namespace {

const char *const demoDevice = "DEMO-DEVICE-0001";

struct DemoFile
{
    QString localPath;
    QString fileType; // "" for flow files
    QByteArray content;
};

QByteArray pngImage(const QColor &color)
{
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(color);
    QPainter(&image).drawText(image.rect(), Qt::AlignCenter, QStringLiteral("Corvin"));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Media files only need distinct, stable bytes: nothing here plays them.
QByteArray mediaBytes(const QByteArray &tag, int size)
{
    QByteArray bytes = tag;
    while (bytes.size() < size)
        bytes += QCryptographicHash::hash(bytes.right(16), QCryptographicHash::Md5);
    return bytes.left(size);
}

QList<DemoFile> coursewareFiles(const QString &id, const QColor &color)
{
    const QByteArray tag = id.toUtf8();
    return {{QStringLiteral("flow.xml"), QString(),
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<flow courseware=\"" + tag
                     + "\">\n  <page src=\"page1.xml\"/>\n</flow>\n"},
            {QStringLiteral("page1.xml"), QString(),
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<page>\n  <image src=\"cover.png\"/>\n"
             "  <audio src=\"intro.mp3\"/>\n  <video src=\"clip.mp4\"/>\n</page>\n"},
            {QStringLiteral("cover.png"), QStringLiteral("image"), pngImage(color)},
            {QStringLiteral("intro.mp3"), QStringLiteral("audio"),
             mediaBytes("ID3" + tag, 24 * 1024)},
            {QStringLiteral("clip.mp4"), QStringLiteral("video"),
             mediaBytes("mp4" + tag, 96 * 1024)}};
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath())
            && file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(content) == content.size();
}

} // namespace

int main(int argc, char *argv[])
{
    // Offscreen: the images are drawn without a display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: corvin-demo-setup <output folder>\n");
        return 2;
    }
    const QString out = QDir(app.arguments().at(1)).absolutePath();
    const QString download = out + QStringLiteral("/download");

    struct Courseware
    {
        QString id;
        int release;
        QString name;
        QColor color;
        bool damaged; // announces a wrong digest for one file
    };
    const QList<Courseware> coursewares {
            {QStringLiteral("CW-FRACTIONS"), 3, QStringLiteral("分数的认识"), Qt::darkCyan, false},
            {QStringLiteral("CW-TRIANGLES"), 1, QStringLiteral("三角形"), Qt::darkYellow, false},
            {QStringLiteral("CW-DECIMALS"), 2, QStringLiteral("小数加法"), Qt::darkMagenta, true}};

    QJsonArray list;
    QJsonObject resources;
    for (const Courseware &c : coursewares) {
        const QString folder = QStringLiteral("%1/%2/%3/").arg(download, c.id).arg(c.release);
        QJsonArray flow;
        QJsonArray elements;
        for (const DemoFile &f : coursewareFiles(c.id, c.color)) {
            if (!writeFile(folder + f.localPath, f.content)) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(folder + f.localPath));
                return 1;
            }
            QByteArray digest = QCryptographicHash::hash(f.content, QCryptographicHash::Md5);
            if (c.damaged && f.fileType == QLatin1String("video"))
                digest = QCryptographicHash::hash("not the distributed file",
                                                  QCryptographicHash::Md5);
            const QJsonObject element {
                    {QStringLiteral("fileName"), f.localPath},
                    {QStringLiteral("localPath"), f.localPath},
                    {QStringLiteral("filePath"),
                     QLatin1Char('/') + c.id + QLatin1Char('/') + f.localPath},
                    {QStringLiteral("fileMd5"), QString::fromLatin1(digest.toHex())},
                    {QStringLiteral("fileType"),
                     f.fileType.isEmpty() ? QStringLiteral("xml") : f.fileType}};
            (f.fileType.isEmpty() ? flow : elements).append(element);
        }
        resources.insert(QStringLiteral("%1/%2").arg(c.id).arg(c.release),
                         QJsonObject {{QStringLiteral("name"), c.name},
                                      {QStringLiteral("des"), c.name + QStringLiteral(" (demo)")},
                                      {QStringLiteral("flowConfList"), flow},
                                      {QStringLiteral("resourceElements"), elements}});
        list.append(QJsonObject {{QStringLiteral("coursewareId"), c.id},
                                 {QStringLiteral("releaseVersion"), c.release},
                                 {QStringLiteral("coursewareName"), c.name},
                                 {QStringLiteral("absolutePath"), download},
                                 {QStringLiteral("teacherId"), QStringLiteral("T2001")}});
    }

    const QJsonObject account {{QStringLiteral("username"), QStringLiteral("teacher")},
                               {QStringLiteral("password"), QStringLiteral("corvin123")},
                               {QStringLiteral("managerID"), QStringLiteral("T1001")},
                               {QStringLiteral("token"), QStringLiteral("demo-token-1")}};
    QJsonArray lessons;
    for (int channel : {0, 1})
        lessons.append(QJsonObject {{QStringLiteral("channelId"), channel},
                                    {QStringLiteral("teacherID"), QStringLiteral("T1001")}});
    const QJsonObject scenario {
            {QStringLiteral("accounts"), QJsonArray {account}},
            {QStringLiteral("lessons"), lessons},
            {QStringLiteral("devices"), QJsonObject {{QLatin1String(demoDevice), list}}},
            {QStringLiteral("resources"), resources}};
    if (!writeFile(out + QStringLiteral("/scenario.json"), QJsonDocument(scenario).toJson())) {
        std::fprintf(stderr, "cannot write %s/scenario.json\n", qPrintable(out));
        return 1;
    }
    QString clientError;
    // The fake client lies beside this program in the build.
    const QString fakeClient = QCoreApplication::applicationDirPath()
            + QStringLiteral("/corvin-fake-client")
#ifdef Q_OS_WIN
            + QStringLiteral(".exe")
#endif
            ;
    if (!writeDemoClients(out, fakeClient, &clientError)) {
        std::fprintf(stderr, "%s\n", qPrintable(clientError));
        return 1;
    }
    std::printf("demo data in %s (device id %s)\n", qPrintable(out), demoDevice);
    return 0;
}
