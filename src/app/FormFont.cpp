#include "FormFont.h"

#include <QApplication>
#include <QFont>

void FormFont::apply(QApplication &app)
{
    QFont font = app.font();
    font.setPixelSize(pixelSize);
    app.setFont(font);
}
