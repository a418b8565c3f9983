#ifndef MD5LANES_H
#define MD5LANES_H

#include <QtGlobal>

// The MD5 of several whole messages at once, one per lane of the processor's vector registers:
// a small file's digest is bound by the latency of MD5's chain of additions, which a lane each
// hides. For the many small files of a web-style courseware; large files go through Md5.
class Md5Lanes
{
public:
    static constexpr int width = 4;

    struct Message
    {
        const char *data = nullptr;
        qint64 size = 0;
    };

    // Whether the lanes run side by side here; elsewhere they run one after the other, with the
    // same results.
    static bool vectorized();

    // digests[i] gets the 16 bytes of the MD5 of messages[i], for 1 to `width` messages.
    static void hash(const Message *messages, int count, unsigned char (*digests)[16]);
};

#endif // MD5LANES_H
