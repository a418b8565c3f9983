#ifndef RESOURCEELEMENT_H
#define RESOURCEELEMENT_H

#include <QString>

// One file of a courseware as the resource list names it.
struct ResourceElement
{
    QString fileName;
    QString localPath; // relative to the courseware's download folder
    QString filePath;
    QString fileMd5; // the service's digest, hexadecimal
    QString fileType;
};

#endif // RESOURCEELEMENT_H
