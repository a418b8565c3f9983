#include "DiagnosticsExport.h"

#include "app/AboutInfo.h"
#include "config/AppContext.h"
#include "config/ProxyChoice.h"
#include "net/ConnectionReport.h"
#include "net/LogMask.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QtGui/private/qzipwriter_p.h>

#include <cstdio>

namespace {

QString masked(const QByteArray &bytes)
{
    return LogMask::maskText(QString::fromUtf8(bytes));
}

// The newest files of a folder matching the filter, newest first.
QFileInfoList newest(const QString &folder, const QString &filter, int count)
{
    QFileInfoList files = QDir(folder).entryInfoList({filter}, QDir::Files, QDir::Time);
    return files.mid(0, count);
}

} // namespace

bool DiagnosticsExport::allowed()
{
    return AppContext::instance().settingInt(QStringLiteral("Diagnostics/Disable")) == 0;
}

QString DiagnosticsExport::defaultPath()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (folder.isEmpty())
        folder = QDir::homePath();
    return QDir::toNativeSeparators(folder
                                    + QStringLiteral("/corvin-diagnostics-%1.zip")
                                              .arg(QDateTime::currentDateTime().toString(
                                                      QStringLiteral("yyyyMMdd-HHmmss"))));
}

DiagnosticsExport::Result DiagnosticsExport::write(const QString &zipPath, bool withDumps)
{
    Result result;
    if (!allowed()) {
        result.errorString = QStringLiteral("诊断信息导出已被管理员通过组策略关闭");
        return result;
    }
    AppContext &context = AppContext::instance();
    QList<QPair<QString, QByteArray>> entries;
    const auto addText = [&entries](const QString &name, const QString &text) {
        entries.append({name, LogMask::maskText(text).toUtf8()});
    };
    addText(QStringLiteral("about.txt"), AboutInfo::text());
    addText(QStringLiteral("settings.txt"), context.settingsReport().join(QLatin1Char('\n')));
    QNetworkProxy proxy;
    ProxyChoice::parse(context.settingText(QStringLiteral("Network/Proxy")), &proxy);
    addText(QStringLiteral("connection.txt"),
            ConnectionReport::make(context.settingText(QStringLiteral("Server/CorvinHost")),
                                   proxy));
    QFile config(QCoreApplication::applicationDirPath() + QStringLiteral("/config.ini"));
    if (config.open(QIODevice::ReadOnly))
        entries.append({QStringLiteral("config.ini"), masked(config.readAll()).toUtf8()});
    for (const QFileInfo &log : newest(QDir::currentPath() + QStringLiteral("/log"),
                                       QStringLiteral("log*.log"), maxLogs)) {
        QFile file(log.filePath());
        if (file.open(QIODevice::ReadOnly))
            entries.append(
                    {QStringLiteral("log/") + log.fileName(), masked(file.readAll()).toUtf8()});
    }
    if (withDumps) {
        for (const QFileInfo &dump : newest(QDir::currentPath() + QStringLiteral("/dump"),
                                            QStringLiteral("*.dmp"), maxDumps)) {
            QFile file(dump.filePath());
            if (file.open(QIODevice::ReadOnly))
                entries.append({QStringLiteral("dump/") + dump.fileName(), file.readAll()});
        }
    }

    // The zip is made in memory (QZipWriter closes its device) and written whole or not at
    // all: a zip cut off by a full disk is not left behind.
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        QZipWriter zip(&buffer);
        zip.setCompressionPolicy(QZipWriter::AutoCompress);
        for (const auto &entry : entries) {
            zip.addFile(entry.first, entry.second);
            result.entries.append(entry.first);
        }
        zip.close();
    }
    QSaveFile out(zipPath);
    if (!out.open(QIODevice::WriteOnly) || out.write(buffer.data()) != buffer.data().size()
        || !out.commit()) {
        result.errorString = out.errorString();
        result.entries.clear();
        return result;
    }
    result.ok = true;
    return result;
}

int DiagnosticsExport::runFromCommandLine(const QStringList &arguments)
{
    const int at = arguments.indexOf(QStringLiteral("--diagnostics"));
    const QString path = arguments.value(at + 1);
    if (at < 0 || path.isEmpty() || path.startsWith(QLatin1String("--"))) {
        std::fprintf(stderr, "usage: corvin --diagnostics <file.zip> [--with-dumps]\n");
        return 2;
    }
    const Result result = write(path, arguments.contains(QStringLiteral("--with-dumps")));
    if (!result.ok) {
        std::fprintf(stderr, "corvin: %s\n", result.errorString.toLocal8Bit().constData());
        return 1;
    }
    std::printf("%s\n", QDir::toNativeSeparators(path).toLocal8Bit().constData());
    return 0;
}
