#include "app/LogMessageHandler.h"
#include "login/LoginWidget.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>

int main(int argc, char *argv[])
{
    const QString instanceKey = QStringLiteral("2E5488E6-539E-46BC-8C92-634119162D59");

    QApplication app(argc, argv);
    runTimestamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss"));
    qInstallMessageHandler(logMessageHandler);
    qDebug() << "current currentPath: " << QDir::currentPath();

    QString dumpFolder = QDir::currentPath() + QStringLiteral("/") + QStringLiteral("dump/");

    LoginWidget loginWidget(nullptr);
    loginWidget.show();
    return app.exec();
}
