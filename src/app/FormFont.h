#ifndef FORMFONT_H
#define FORMFONT_H

class QApplication;

// The forms are laid out in pixels for the Windows system font: 9 pt at 96 dpi, 12 px. The
// same 9 pt come out larger on other screens (13 px at 100 dpi, 15 px at 120 dpi), and other
// platforms default to 10 to 12 pt; any of these cuts the fixed-width labels' texts off, so the
// size is given in pixels. The family stays the platform's. Under Windows' display scaling these
// are device-independent pixels (DisplayScaling): 18 device pixels at 150 %.
class FormFont
{
public:
    static const int pixelSize = 12;
    static void apply(QApplication &app);
};

#endif // FORMFONT_H
