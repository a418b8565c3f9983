#ifndef MD5LANES_H
#define MD5LANES_H

#include <QtGlobal>

// The MD5 of several whole messages at once, one per lane of the processor's vector registers:
// a small file's digest is bound by the latency of MD5's chain of additions, which a lane each
// hides. For the many small files of a web-style courseware, and for large files read one after
// another, in chunks (Stream).
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

    // Messages fed as their data comes, block by block, every lane the same number of blocks
    // at a time; a lane is started again as its message ends. For large files read in chunks.
    class Stream
    {
    public:
        // Large files are hashed eight at a time: two vectors of lanes keep the processor busier
        // than one.
        static constexpr int width = 2 * Md5Lanes::width;

        Stream();
        // A new message starts in `lane`.
        void restart(int lane);
        // `blocks` 64-byte blocks of each lane's data into its message. A lane not in use still
        // needs readable data: any other lane's will do.
        void add(const char *const (&data)[width], qint64 blocks);
        // The digest of the message in `lane`: what was added, then its last `size` bytes, for
        // `total` bytes in all.
        void finish(int lane, const char *rest, qint64 size, qint64 total,
                    unsigned char digest[16]) const;

    private:
        quint32 words[4][width]; // word w of lane l's state
    };
};

#endif // MD5LANES_H
