#ifndef FORMFONT_H
#define FORMFONT_H

class QApplication;

// The forms are laid out with fixed geometry for the Windows system font (9 pt). Elsewhere the
// platform's default is often 10 to 12 pt, which cuts the labels' texts off.
class FormFont
{
public:
    static const int pointSize = 9;
    static void apply(QApplication &app);
};

#endif // FORMFONT_H
