#include "TestSupport.h"

#include "config/AppContext.h"

#include "DemoClients.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#ifdef Q_OS_LINUX
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace TestSupport {

bool enforceFilePermissions()
{
#ifdef Q_OS_LINUX
    if (geteuid() == 0) {
        // Only the effective set changes; these capabilities are what lets root ignore modes.
        __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
        if (syscall(SYS_capget, &header, data) != 0)
            return false;
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            data[CAP_TO_INDEX(cap)].effective &= ~CAP_TO_MASK(cap);
        if (syscall(SYS_capset, &header, data) != 0)
            return false;
    }
#endif
    QTemporaryDir probe;
    const QString path = probe.path() + QStringLiteral("/probe");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.close();
    file.setPermissions(QFileDevice::Permissions());
    const bool refused = !file.open(QIODevice::ReadOnly);
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return refused;
}

bool underWine()
{
#ifdef Q_OS_WIN
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
    return false;
#endif
}

bool setSystemProxy(const QString &hostPort)
{
    const QString bypass = QStringLiteral("127.0.0.1;localhost;<local>");
#ifdef Q_OS_WIN
    const QString internet = QStringLiteral(
            "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings");
    const auto reg = [](const QStringList &args) {
        return QProcess::execute(QStringLiteral("reg"), args) == 0;
    };
    if (hostPort.isEmpty())
        return reg({QStringLiteral("delete"), internet + QStringLiteral("\\Connections"),
                    QStringLiteral("/v"), QStringLiteral("DefaultConnectionSettings"),
                    QStringLiteral("/f")})
                && reg({QStringLiteral("add"), internet, QStringLiteral("/v"),
                        QStringLiteral("ProxyEnable"), QStringLiteral("/t"),
                        QStringLiteral("REG_DWORD"), QStringLiteral("/d"), QStringLiteral("0"),
                        QStringLiteral("/f")});
    // The Connections blob: version, counter, flags (direct | proxy), then the proxy, the bypass
    // list and the PAC address, each as a length and its bytes.
    QByteArray blob;
    const auto dword = [&blob](quint32 value) {
        for (int i = 0; i < 4; ++i)
            blob.append(char((value >> (8 * i)) & 0xff));
    };
    dword(0x46);
    dword(1);
    dword(0x3);
    for (const QString &text : {hostPort, bypass, QString()}) {
        dword(quint32(text.toLatin1().size()));
        blob.append(text.toLatin1());
    }
    blob.append(QByteArray(32, '\0'));
    return reg({QStringLiteral("add"), internet + QStringLiteral("\\Connections"),
                QStringLiteral("/v"), QStringLiteral("DefaultConnectionSettings"),
                QStringLiteral("/t"), QStringLiteral("REG_BINARY"), QStringLiteral("/d"),
                QString::fromLatin1(blob.toHex()), QStringLiteral("/f")})
            && reg({QStringLiteral("add"), internet, QStringLiteral("/v"),
                    QStringLiteral("ProxyEnable"), QStringLiteral("/t"),
                    QStringLiteral("REG_DWORD"), QStringLiteral("/d"), QStringLiteral("1"),
                    QStringLiteral("/f")})
            && reg({QStringLiteral("add"), internet, QStringLiteral("/v"),
                    QStringLiteral("ProxyServer"), QStringLiteral("/t"), QStringLiteral("REG_SZ"),
                    QStringLiteral("/d"), hostPort, QStringLiteral("/f")})
            && reg({QStringLiteral("add"), internet, QStringLiteral("/v"),
                    QStringLiteral("ProxyOverride"), QStringLiteral("/t"), QStringLiteral("REG_SZ"),
                    QStringLiteral("/d"), bypass, QStringLiteral("/f")});
#else
    const QByteArray url = hostPort.isEmpty() ? QByteArray() : "http://" + hostPort.toLatin1();
    for (const char *name : {"http_proxy", "https_proxy"}) {
        if (url.isEmpty())
            qunsetenv(name);
        else
            qputenv(name, url);
    }
    if (url.isEmpty())
        qunsetenv("no_proxy");
    else
        qputenv("no_proxy", "127.0.0.1,localhost");
    Q_UNUSED(bypass)
    return true;
#endif
}

qreal chosenDisplayScale()
{
#ifdef Q_OS_WIN
    const QSettings desktop(QStringLiteral("HKEY_CURRENT_USER\\Control Panel\\Desktop"),
                            QSettings::NativeFormat);
    return desktop.value(QStringLiteral("LogPixels"), 96).toInt() / 96.0;
#else
    return 1.0;
#endif
}

QSize atChosenScale(const QSize &designed)
{
    const qreal scale = chosenDisplayScale();
    return QSize(qRound(designed.width() * scale), qRound(designed.height() * scale));
}

#ifdef Q_OS_WIN
namespace {
// The Linux path of a Windows one, through Wine's own conversion.
QString hostPath(const QString &path)
{
    using Convert = char *(CDECL *)(LPCWSTR);
    const auto convert = reinterpret_cast<Convert>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
    if (!convert)
        return QString();
    char *converted = convert(QDir::toNativeSeparators(path).toStdWString().c_str());
    const QString result = converted ? QString::fromUtf8(converted) : QString();
    HeapFree(GetProcessHeap(), 0, converted);
    return result;
}
} // namespace
#endif

bool makeLink(const QString &target, const QString &link)
{
#ifdef Q_OS_WIN
    if (!underWine()) {
        const DWORD flags = QFileInfo(target).isDir() ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
        return CreateSymbolicLinkW(QDir::toNativeSeparators(link).toStdWString().c_str(),
                                   QDir::toNativeSeparators(target).toStdWString().c_str(), flags);
    }
    const QString from = hostPath(target);
    const QString to = hostPath(link);
    return !from.isEmpty() && !to.isEmpty()
            && QProcess::execute(QStringLiteral("start.exe"),
                                 {QStringLiteral("/wait"), QStringLiteral("/unix"),
                                  QStringLiteral("/bin/ln"), QStringLiteral("-s"), from, to})
            == 0
            && QFileInfo::exists(link);
#else
    return QFile::link(target, link);
#endif
}

bool writeClientStartFile(const QString &appData, const QString &client)
{
    QString error;
    return ::writeClientStartFile(appData, client, QStringLiteral(CORVIN_FAKE_CLIENT), &error);
}

bool makeTlsFiles(const QString &folder)
{
    const auto openssl = [&folder](const QStringList &args) {
        QProcess process;
        process.setWorkingDirectory(folder);
        process.start(QStringLiteral("openssl"), args);
        return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
                && process.exitCode() == 0;
    };
    const auto write = [&folder](const QString &name, const QByteArray &text) {
        QFile file(folder + QLatin1Char('/') + name);
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
    };
    const auto sign = [&openssl](const QString &csr, const QString &out, const QString &days,
                                 const QString &ext) {
        return openssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), csr,
                        QStringLiteral("-CA"), QStringLiteral("ca.pem"), QStringLiteral("-CAkey"),
                        QStringLiteral("ca.key"), QStringLiteral("-CAcreateserial"),
                        QStringLiteral("-out"), out, QStringLiteral("-days"), days,
                        QStringLiteral("-extfile"), ext});
    };
    return QDir().mkpath(folder)
            && write(QStringLiteral("here.cnf"), "subjectAltName=IP:127.0.0.1,DNS:localhost\n")
            && write(QStringLiteral("elsewhere.cnf"), "subjectAltName=DNS:other.example\n")
            && openssl({QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                        QStringLiteral("rsa:2048"), QStringLiteral("-nodes"),
                        QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
                        QStringLiteral("ca.pem"), QStringLiteral("-days"), QStringLiteral("2"),
                        QStringLiteral("-subj"), QStringLiteral("/CN=Corvin Test CA")})
            && openssl({QStringLiteral("req"), QStringLiteral("-newkey"),
                        QStringLiteral("rsa:2048"), QStringLiteral("-nodes"),
                        QStringLiteral("-keyout"), QStringLiteral("key.pem"),
                        QStringLiteral("-out"), QStringLiteral("server.csr"),
                        QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")})
            // Another host in its name as well as in its alternative names.
            && openssl({QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-key"),
                        QStringLiteral("key.pem"), QStringLiteral("-out"),
                        QStringLiteral("elsewhere.csr"), QStringLiteral("-subj"),
                        QStringLiteral("/CN=other.example")})
            && sign(QStringLiteral("server.csr"), QStringLiteral("trusted.pem"),
                    QStringLiteral("2"), QStringLiteral("here.cnf"))
            && sign(QStringLiteral("elsewhere.csr"), QStringLiteral("wronghost.pem"),
                    QStringLiteral("2"), QStringLiteral("elsewhere.cnf"))
            // Valid until a day before it was made.
            && sign(QStringLiteral("server.csr"), QStringLiteral("expired.pem"),
                    QStringLiteral("-1"), QStringLiteral("here.cnf"))
            && openssl({QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-key"),
                        QStringLiteral("key.pem"), QStringLiteral("-out"),
                        QStringLiteral("selfsigned.pem"), QStringLiteral("-days"),
                        QStringLiteral("2"), QStringLiteral("-subj"),
                        QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
                        QStringLiteral("subjectAltName=IP:127.0.0.1")});
}

bool trustCertificates(const QString &pemFile)
{
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(pemFile);
    if (certificates.isEmpty())
        return false;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(configuration.caCertificates() + certificates);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}

bool makeSleeper(const QString &path)
{
    return QDir().mkpath(QFileInfo(path).path())
            && QFile::copy(QStringLiteral(CORVIN_FAKE_CLIENT), path);
}

QMap<QString, QByteArray> filesBelow(const QString &folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        files.insert(QDir(folder).relativeFilePath(path), file.readAll());
    }
    return files;
}

QString folderName(const QString &tag)
{
    QString name = tag;
    for (QChar &c : name) {
        if (!c.isLetterOrNumber() && c != QLatin1Char('-'))
            c = QLatin1Char('_');
    }
    return name;
}

bool setHidden(const QString &path)
{
#ifdef Q_OS_WIN
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    const DWORD attributes = GetFileAttributesW(native.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES
            && SetFileAttributesW(native.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN);
#else
    return QFileInfo(path).fileName().startsWith(QLatin1Char('.')) && QFileInfo::exists(path);
#endif
}

QString configPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/config.ini");
}

QByteArray iniText(const QMap<QString, QString> &values)
{
    QMap<QString, QMap<QString, QString>> sections;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const int slash = it.key().indexOf(QLatin1Char('/'));
        sections[it.key().left(slash)].insert(it.key().mid(slash + 1), it.value());
    }
    QByteArray text;
    for (auto s = sections.cbegin(); s != sections.cend(); ++s) {
        text += '[' + s.key().toUtf8() + "]\n";
        for (auto k = s.value().cbegin(); k != s.value().cend(); ++k)
            text += k.key().toUtf8() + '=' + k.value().toUtf8() + '\n';
    }
    return text;
}

void writeRawConfig(const QByteArray &content)
{
    // QSettings keeps its parsed copy while size and time stamp look unchanged; a new file
    // (new inode) is read again even when it is rewritten within the same millisecond.
    QFile::remove(configPath());
    QFile file(configPath());
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
    file.close();
    AppContext::instance().reloadSettings();
}

void writeConfig(const QMap<QString, QString> &values)
{
    if (values.isEmpty()) {
        QFile::remove(configPath());
        AppContext::instance().reloadSettings();
        return;
    }
    writeRawConfig(iniText(values));
}

namespace {
QMutex captureMutex;
QList<CapturedMessage> *captured = nullptr;
} // namespace

MessageCapture::MessageCapture()
{
    QMutexLocker locker(&captureMutex);
    captured = new QList<CapturedMessage>;
    previous = qInstallMessageHandler(&MessageCapture::handler);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(previous);
    QMutexLocker locker(&captureMutex);
    delete captured;
    captured = nullptr;
}

void MessageCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    QMutexLocker locker(&captureMutex);
    if (!captured)
        return;
    CapturedMessage m;
    m.type = type;
    m.text = msg;
    m.file = QString::fromUtf8(context.file);
    m.function = QString::fromUtf8(context.function);
    m.line = context.line;
    captured->append(m);
}

QList<CapturedMessage> MessageCapture::messages() const
{
    QMutexLocker locker(&captureMutex);
    return *captured;
}

QStringList MessageCapture::texts() const
{
    QStringList result;
    for (const CapturedMessage &m : messages())
        result.append(m.text);
    return result;
}

bool MessageCapture::contains(const QString &text) const
{
    return texts().contains(text);
}

int MessageCapture::indexOf(const QString &text, int from) const
{
    return texts().indexOf(text, from);
}

QStringList MessageCapture::warnings() const
{
    QStringList result;
    for (const CapturedMessage &m : messages()) {
        if (m.type != QtDebugMsg)
            result.append(m.text);
    }
    return result;
}

void MessageCapture::clear()
{
    QMutexLocker locker(&captureMutex);
    captured->clear();
}

QString spokenName(QAccessibleInterface *control)
{
    const auto labels = control->relations(QAccessible::Label);
    for (const auto &label : labels) {
        const QString text = label.first->text(QAccessible::Name);
        if (!text.trimmed().isEmpty())
            return text;
    }
    return control->text(QAccessible::Name);
}

static void collectUnnamed(QAccessibleInterface *node, QStringList *unnamed, int depth)
{
    // The depth only guards against a tree that loops back on itself.
    if (!node || depth > 40)
        return;
    const QAccessible::Role role = node->role();
    const bool control = node->state().focusable || role == QAccessible::List
            || role == QAccessible::ProgressBar;
    if (control && spokenName(node).trimmed().isEmpty()) {
        const QObject *object = node->object();
        unnamed->append(
                object ? QStringLiteral("%1 %2").arg(
                        QLatin1String(object->metaObject()->className()), object->objectName())
                       : QStringLiteral("item of role %1").arg(int(role)));
    }
    for (int i = 0; i < node->childCount(); ++i)
        collectUnnamed(node->child(i), unnamed, depth + 1);
}

QStringList unnamedControls(QWidget *window)
{
    QStringList unnamed;
    collectUnnamed(QAccessible::queryAccessibleInterface(window), &unnamed, 0);
    return unnamed;
}

QStringList tabPath(QWidget *window)
{
    QStringList path;
    QWidget *start = QApplication::focusWidget();
    QWidget *now = start;
    while (now && path.size() < 20) {
        path.append(now->objectName());
        QTest::keyClick(now, Qt::Key_Tab);
        now = QApplication::focusWidget();
        if (now == start || (now != window && !window->isAncestorOf(now)))
            break;
    }
    return path;
}

void closeNextModal(ModalSeen *seen, QMessageBox::StandardButton button)
{
    *seen = ModalSeen();
    auto *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, seen, button] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        timer->stop();
        timer->deleteLater();
        seen->seen = true;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->flags = box->windowFlags();
        for (QAbstractButton *b : box->buttons())
            seen->buttons.append(b->text());
        QAbstractButton *target = button == QMessageBox::NoButton ? nullptr : box->button(button);
        if (!target && !box->buttons().isEmpty())
            target = box->buttons().first();
        if (target)
            target->click();
        else
            box->close();
    });
    timer->start();
}

} // namespace TestSupport
