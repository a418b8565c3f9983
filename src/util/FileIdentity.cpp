#include "FileIdentity.h"

#include <QFile>

// The rest is the platform's own: FileIdentity_unix.cpp, FileIdentity_win.cpp.

FileIdentity FileIdentity::of(const QFile &file)
{
    return ofDescriptor(const_cast<QFile &>(file).handle());
}
