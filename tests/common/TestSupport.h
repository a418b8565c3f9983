#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QList>
#include <QMap>
#include <QMessageBox>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace TestSupport {

// Writes config.ini beside the test executable ("Section/key" -> value) and makes AppContext
// read it again. An empty map removes the file.
void writeConfig(const QMap<QString, QString> &values);
void writeRawConfig(const QByteArray &content);
QString configPath();

// The text of a minimal INI file (sections in key order).
QByteArray iniText(const QMap<QString, QString> &values);

struct CapturedMessage
{
    QtMsgType type = QtDebugMsg;
    QString text;
    QString file;
    QString function;
    int line = 0;
};

// Records every Qt message while it lives; the previous handler is restored afterwards.
class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();
    QList<CapturedMessage> messages() const;
    QStringList texts() const;
    bool contains(const QString &text) const;
    int indexOf(const QString &text, int from = 0) const;
    // The program logs with qDebug only: everything else was written by Qt itself.
    QStringList warnings() const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &msg);
    QtMessageHandler previous;
};

// Makes file permissions bind this thread and the threads it starts later, also when the tests
// run as root (which would otherwise read, write and delete anything). Call it before any
// thread of interest exists. Returns whether a file without permissions is now refused.
bool enforceFilePermissions();

// What a modal box showed when closeNextModal() closed it.
struct ModalSeen
{
    bool seen = false;
    QString title;
    QString text;
    QStringList buttons;
    Qt::WindowFlags flags;
};

// Closes the next modal message box, pressing `button` (or the first button when NoButton).
// The record is filled in when the box has been closed; use it after the call that opened it.
void closeNextModal(ModalSeen *seen, QMessageBox::StandardButton button = QMessageBox::NoButton);

} // namespace TestSupport

#endif // TESTSUPPORT_H
