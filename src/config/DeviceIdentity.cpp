#include "DeviceIdentity.h"

#include "config/AppContext.h"

#ifdef Q_OS_WIN
#include <QSettings>
#include <QVariant>
#endif

QString DeviceIdentity::registryValue()
{
#ifdef Q_OS_WIN
    // The native view first (the 64-bit one of a 64-bit build). A 32-bit program that wrote the
    // value put it into the 32-bit view, which a 64-bit build does not see by default.
    for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::Registry32Format}) {
        QSettings registry(QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Nimbra\\Cryptography"),
                           format);
        const QVariant value = registry.value(QStringLiteral("uuid"), QVariant());
        if (value.isValid())
            return value.toString();
    }
    return QString();
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
