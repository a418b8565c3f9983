#include "StopWorkOnQuit.h"

#include "util/FileUtils.h"

#include <QCoreApplication>

void StopWorkOnQuit::install(QCoreApplication &app)
{
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &app, &FileUtils::requestStop);
}
