#ifndef DEMOCLIENTS_H
#define DEMOCLIENTS_H

#include <QString>

// Writes the two demo student clients below <out>/appdata (the demo's APPDATA): heron 1.2 and
// atrium 0.9.8, each with config.ini and a start file that records its start in
// <out>/client-started.log. False with *error set when a file cannot be written.
bool writeDemoClients(const QString &out, QString *error);

#endif // DEMOCLIENTS_H
