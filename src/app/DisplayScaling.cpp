#include "DisplayScaling.h"

#include <QGuiApplication>

void DisplayScaling::enable()
{
    // Windows only: there the factor is the scale the user chose. Elsewhere Qt 5 derives it from
    // DPIs nobody chose (X11's from the screen's millimetres, the offscreen platform's fixed
    // 100 dpi), which scale every window by odd factors such as 1.04.
#ifdef Q_OS_WIN
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    // The default rounding scales 125 % by 1 and 150 % by 2. Older Qt always rounds so.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
            Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
#endif
#endif
}
