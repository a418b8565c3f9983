#ifndef COPYFAILURE_H
#define COPYFAILURE_H

#include "util/FileError.h"

#include <QString>

// Why the copy of the chosen courseware did not succeed: its first cause, in the order the copy
// meets them (before copying, then the files in list order), and what a teacher can do about it.
struct CopyFailure
{
    enum Cause {
        None,
        NotOffered, // no courseware of that name passed its check
        NoClient, // the student client is not installed
        FolderNotEmptied, // an earlier courseware's file stayed in the resource folder; error says
                          // why
        FileFailed, // error says why
        RefusedPath,
        SameTarget,
    };

    Cause cause = None;
    FileError error;
    QString path;

    // One line in a teacher's words: what went wrong and what to do; "" for None.
    QString advice() const;
};

#endif // COPYFAILURE_H
