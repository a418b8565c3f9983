#include "AboutInfo.h"

#include "app/BuildInfo.h"
#include "config/AppContext.h"
#include "config/DeviceIdentity.h"
#include "config/SettingSources.h"

#include <QDir>
#include <QStringList>
#include <QSysInfo>

namespace AboutInfo {

QString logFolder()
{
    return QDir::toNativeSeparators(QDir::currentPath() + QStringLiteral("/log"));
}

QString dumpFolder()
{
    return QDir::toNativeSeparators(QDir::currentPath() + QStringLiteral("/dump"));
}

QString text()
{
    AppContext &context = AppContext::instance();
    const QString address = context.settingText(QStringLiteral("Server/CorvinHost"));
    QStringList lines {
            QStringLiteral("Corvin %1").arg(BuildInfo::version()),
            QStringLiteral("构建编号: %1").arg(BuildInfo::buildId()),
            QStringLiteral("提交: %1").arg(BuildInfo::commit()),
            QStringLiteral("构建日期: %1").arg(BuildInfo::buildDate()),
            QStringLiteral("Qt: %1").arg(QString::fromLatin1(qVersion())),
            QStringLiteral("操作系统: %1 (%2 %3, %4)")
                    .arg(QSysInfo::prettyProductName(), QSysInfo::kernelType(),
                         QSysInfo::kernelVersion(), QSysInfo::currentCpuArchitecture()),
            QStringLiteral("设备编号: %1")
                    .arg(DeviceIdentity::applyOverride(DeviceIdentity::registryValue())),
            QStringLiteral("服务地址: %1")
                    .arg(SettingSources::shown(QStringLiteral("Server/CorvinHost"), address)),
            QStringLiteral("设置及来源:")};
    for (const QString &line : context.settingsReport())
        lines.append(QStringLiteral("  ") + line);
    lines.append(QStringLiteral("日志目录: %1").arg(logFolder()));
    lines.append(QStringLiteral("转储目录: %1%2")
                         .arg(dumpFolder(),
                              QDir(dumpFolder()).exists()
                                      ? QString()
                                      : QStringLiteral(" (不存在: 崩溃时不会留下转储)")));
    return lines.join(QLatin1Char('\n'));
}

} // namespace AboutInfo
