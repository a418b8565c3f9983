#ifndef FORMFONT_H
#define FORMFONT_H

class QApplication;

// The forms are laid out in pixels for the Windows system font: 9 pt at 96 dpi, 12 px.
// Elsewhere the default is often 10 to 12 pt, and the same 9 pt come out at 13 px on a 100 dpi
// screen; either cuts the fixed-width labels' texts off, so the size is given in pixels.
class FormFont
{
public:
    static const int pixelSize = 12;
    static void apply(QApplication &app);
};

#endif // FORMFONT_H
