#ifndef DEVICEIDENTITY_H
#define DEVICEIDENTITY_H

#include <QString>

// The device id that the courseware list request sends. Split in two so that the log line
// between the steps is written by the courseware selection window's constructor:
//
//     const QString reg = DeviceIdentity::registryValue();
//     qDebug() << "[CoursewareSelect][CoursewareSelect]" << "devID:" << reg;
//     const QString devId = DeviceIdentity::applyOverride(reg);
//
// The id is opaque text: never trimmed, parsed or changed in case; empty is valid.
class DeviceIdentity
{
public:
    // Windows: value "uuid" of the machine's Cryptography key, from the native registry view or
    // else the 32-bit one; "" when absent. Elsewhere there is no registry and no other source of
    // the id: always "".
    static QString registryValue();
    // A non-empty "Server/devID" of config.ini replaces the registry value entirely.
    static QString applyOverride(const QString &registryValue);

    DeviceIdentity() = delete;
};

#endif // DEVICEIDENTITY_H
