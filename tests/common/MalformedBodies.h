#ifndef MALFORMEDBODIES_H
#define MALFORMEDBODIES_H

#include <QByteArray>
#include <QList>
#include <QPair>

namespace MalformedBodies {

// Reply bodies no service should send: each slot that reads a reply must survive every one.
// `typed` holds bodies that are valid JSON objects with the reply's members of the wrong kind.
QList<QPair<const char *, QByteArray>> corpus();

// Adds a `QByteArray body` column and one row per corpus entry to the current _data() function.
void addRows();

} // namespace MalformedBodies

#endif // MALFORMEDBODIES_H
