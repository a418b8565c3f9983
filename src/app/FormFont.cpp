#include "FormFont.h"

#include <QApplication>
#include <QFont>

void FormFont::apply(QApplication &app)
{
#ifdef Q_OS_WIN
    // The system font is the one the forms were made for.
    Q_UNUSED(app)
#else
    QFont font = app.font();
    font.setPixelSize(pixelSize);
    app.setFont(font);
#endif
}
