#include "DeviceIdentity.h"

#include "config/AppContext.h"

#ifdef Q_OS_WIN
#include <QSettings>
#include <QVariant>
#endif

QString DeviceIdentity::registryValue()
{
#ifdef Q_OS_WIN
    QSettings registry(QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Nimbra\\Cryptography"),
                       QSettings::NativeFormat);
    return registry.value(QStringLiteral("uuid"), QVariant()).toString();
#else
    // A native-format QSettings on this path would mean an INI file named after the registry
    // key in the working directory here; there is nothing to read, so none is made.
    return QString();
#endif
}

QString DeviceIdentity::applyOverride(const QString &registryValue)
{
    const QString override = AppContext::instance().settingText(QStringLiteral("Server/devID"));
    if (override.length() != 0)
        return override;
    return registryValue;
}
