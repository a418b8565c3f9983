#ifndef DEMOCLIENTS_H
#define DEMOCLIENTS_H

#include <QString>

// Stand-ins for the student clients. A start file records each start in
// <appData>/../client-started.log: a line "<date> <time> <client> started", then every entry
// below the client's resource folder, sorted. Linux: shell scripts. Windows: atrium's
// Lectern.exe is a copy of corvin-fake-client (`fakeClient`), heron's run.bat a batch file that
// starts a copy of it beside itself.

// The start file of `client` ("heron" or "atrium") below appData, where the launch looks for
// it. False with *error set when a file cannot be written.
bool writeClientStartFile(const QString &appData, const QString &client, const QString &fakeClient,
                          QString *error);

// The two demo student clients below <out>/appdata (the demo's APPDATA): heron 1.2 and atrium
// 0.9.8, each with config.ini and its start file.
bool writeDemoClients(const QString &out, const QString &fakeClient, QString *error);

#endif // DEMOCLIENTS_H
