#ifndef DISPLAYSCALING_H
#define DISPLAYSCALING_H

// Windows' display scaling (125 %, 150 %, 200 %): the forms are laid out in pixels, so Qt scales
// every window, its widgets and fonts by the screen's factor, and the designed geometry holds in
// device-independent pixels. Call enable() before the QApplication exists.
class DisplayScaling
{
public:
    static void enable();
};

#endif // DISPLAYSCALING_H
