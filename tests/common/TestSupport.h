#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QList>
#include <QMap>
#include <QMessageBox>
#include <QMutex>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class QAccessibleInterface;
class QWidget;

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

// Writes the start file of a student-client stand-in ("heron" or "atrium") below appData, where
// the launch looks for it; each start is recorded in <appData>/../client-started.log as a line
// "<date> <time> <client> started" and the entries below the client's resource folder.
bool writeClientStartFile(const QString &appData, const QString &client);

// True when this Windows program runs under Wine.
bool underWine();

// Sets this user's proxy the way the system keeps it, for http and https, with loopback
// addresses bypassing it: the environment on Linux, Internet Options (the registry WinHTTP reads)
// on Windows, where Qt reads it once per process: set it before the first request. An empty
// hostPort removes it.
bool setSystemProxy(const QString &hostPort);

// The display scale the user chose: Windows' DPI setting over the 96 of 100 %, read from the
// setting itself rather than from Qt; 1 elsewhere. And a size of device-independent pixels in
// device pixels at that scale.
qreal chosenDisplayScale();
QSize atChosenScale(const QSize &designed);

// A symbolic link at `link` to `target`. Under Wine it is a link of the Linux file system, made
// by the host's ln; Wine shows such a link to a folder as a reparse point and one to a file as
// the file itself.
bool makeLink(const QString &target, const QString &link);

// Throw-away certificates for a TLS stand-in on 127.0.0.1, made by the openssl command in
// `folder`: a CA, and with one key (key.pem) a certificate the CA signed for 127.0.0.1
// (trusted.pem), one for another host (wronghost.pem), one that has expired (expired.pem), and a
// self-signed one (selfsigned.pem). False when they cannot be made.
bool makeTlsFiles(const QString &folder);
// Adds the certificates of a PEM file to the process's default TLS configuration.
bool trustCertificates(const QString &pemFile);

// Puts a program that sleeps for as many seconds as its first argument says at `path`, under
// whatever name the path gives it: a stand-in for a running student client.
bool makeSleeper(const QString &path);

// Every file below folder (hidden ones too), by its path relative to folder, with its content.
QMap<QString, QByteArray> filesBelow(const QString &folder);

// A folder name made from a data tag: anything but letters, digits, "-" and "_" becomes "_", so
// tags such as "local backslash .." name a folder of their own on every platform.
QString folderName(const QString &tag);

// Hides a file the way the platform does: a name that starts with "." is hidden by itself
// outside Windows; on Windows the hidden attribute is set too.
bool setHidden(const QString &path);

// What a screen reader speaks as the name of a control: the text of the label related to it (its
// buddy), else its own name. Qt on Linux names a combo box by its current text and relates the
// label instead.
QString spokenName(QAccessibleInterface *control);

// The controls of a window, hidden ones included, that a screen reader reaches but cannot name,
// each as "class objectName": those that take the focus, and lists and progress bars, which it
// reads without focusing them.
QStringList unnamedControls(QWidget *window);

// The object names the keyboard focus visits as Tab is pressed in the active window, from the
// focus widget on until the focus comes back to it (at most 20 presses).
QStringList tabPath(QWidget *window);

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
