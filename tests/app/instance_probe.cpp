// Runs main's single-instance steps with the product's key: claim, application object, and on
// refusal the product's information box, closed here so that the refused start can end.
// Usage: corvin_instance_probe <probe|hold|sleep>
//   probe: prints "first" and ends at once (0) when no instance runs
//   hold:  prints "first" and keeps the claim until standard input closes
//   sleep: claims nothing and sleeps for 30 s (a program started while the guard is held)
// A refused start prints "refused", the box's title, text and buttons, and returns -1.
#include "app/SingleInstanceGuard.h"

#include "TestSupport.h"

#include <QApplication>
#include <QThread>
#include <QWidget>

#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#endif

namespace {
void printLine(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
} // namespace

int main(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    // The test reads these lines byte for byte: no "\r\n".
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (argc > 1 && std::strcmp(argv[1], "sleep") == 0) {
        QThread::sleep(30);
        return 0;
    }
    const QString instanceKey = QStringLiteral("2E5488E6-539E-46BC-8C92-634119162D59");
    SingleInstanceGuard guard(instanceKey);
    QApplication app(argc, argv);
    const bool hold = argc > 1 && std::strcmp(argv[1], "hold") == 0;

    if (guard.isFirstInstance()) {
        printLine(QStringLiteral("first"));
        if (hold) {
            while (std::fgetc(stdin) != EOF) { }
        }
        return 0;
    }

    QWidget window;
    TestSupport::ModalSeen seen;
    TestSupport::closeNextModal(&seen, QMessageBox::Ok);
    SingleInstanceGuard::showRefusal(&window);
    printLine(QStringLiteral("refused"));
    printLine(seen.title);
    printLine(seen.text);
    printLine(seen.buttons.join(QLatin1Char('|')));
    return -1;
}
