#ifndef STUDENTCLIENT_H
#define STUDENTCLIENT_H

#include <QString>

// The student client a run prepares and starts, as the channel and what is installed under the
// application-data folder decide: heron (started through run.bat) or atrium (bin/Lectern.exe),
// its version, where its files lie and how its resource folder is laid out.
struct StudentClient
{
    enum Kind { None, Heron, Atrium };

    Kind kind = None; // None for a channel other than 0 and 1
    // "Server"/"version" of the client's config.ini: for channel 1 atrium's, or heron's where
    // atrium has none; for every other channel heron's. "" when none is recorded.
    QString version;
    // The client's folder, "" when it is missing: the paths below then fall back to the
    // application-data folder.
    QString folder;
    QString executable;
    QString resourceFolder; // always ends in "/"
    // Resource files straight into the resource folder rather than a folder per type.
    bool newLayout = false;

    bool installed() const { return !folder.isEmpty(); }

    static StudentClient forChannel(int channel, const QString &appData);

    // The process whose running refuses a start: the student client must be closed first.
    static QString blockingProcessName();
    // The layout of the resource folder: the flow files in their folder, the resource files of
    // the old layout in one folder per type, "audio" in "voice".
    static QString flowFolder();
    static QString typeFolder(const QString &fileType);

    // The one client-version rule: major > 0 or minor > 9. Parts that are not numbers count
    // as 0; a version without "." has minor 0, so "1" is new and "0" is not.
    static bool isNewVersion(const QString &version);
};

#endif // STUDENTCLIENT_H
