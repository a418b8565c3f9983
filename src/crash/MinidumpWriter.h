#ifndef MINIDUMPWRITER_H
#define MINIDUMPWRITER_H

#include "crash/MinidumpFormat.h"

#include <signal.h>
#include <sys/types.h>
#include <ucontext.h>

// What the crashed thread hands to the writer: copied out of the signal frame, because the
// frame (and the floating-point state it points to) lives on the crashed thread's stack.
struct CrashContext
{
    int signalNumber = 0;
    int signalCode = 0;
    quint64 faultAddress = 0;
    pid_t threadId = 0;
    ucontext_t context;
#if defined(__x86_64__)
    bool hasFloatState = false;
    struct _libc_fpstate floatState;
#endif
};

// Writes a minidump of this process for one crashed thread: system info, the thread (and the
// main thread, when another one crashed) with its CPU context and stack, the exception, the loaded
// ELF modules with build-ids, /proc/self/maps and /proc/self/status. Everything it needs is
// allocated by the constructor; write() allocates nothing, takes no lock and only calls system
// calls, so it may run while another thread of the process is stopped inside malloc or holds any
// lock. Only x86-64 gets a CPU context; other architectures write the dump without one.
class MinidumpWriter
{
public:
    MinidumpWriter();
    ~MinidumpWriter();

    // Writes the dump into `fd` (from offset 0): the crashed thread and, where given, one other
    // thread stopped in a signal handler (the main thread). False when any write failed.
    bool write(int fd, const CrashContext &crash, const CrashContext *other = nullptr);

    static const int maxRegions = 8192;
    static const int maxModules = 1024;
    static const int mapsCapacity = 1 << 20;
    static const int copyCapacity = 64 * 1024;
    static const int maxStackBytes = 1 << 20;

private:
    Q_DISABLE_COPY(MinidumpWriter)

    struct Region
    {
        quint64 start;
        quint64 end;
        quint64 offset;
        bool readable;
        bool executable;
        int pathStart; // into mapsText; -1 without a path
        int pathLength;
    };
    struct Module
    {
        quint64 base;
        quint64 end;
        int pathStart;
        int pathLength;
        bool executable;
        // Filled while the dump is written.
        quint32 nameRva;
        quint32 cvRva;
        quint32 buildIdLength;
    };

    class Output;

    // One function per stream; each returns where its data went.
    Minidump::MdLocation writeSystemInfo(Output &out);
    Minidump::MdLocation writeMiscInfo(Output &out);
    Minidump::MdLocation writeContext(Output &out, const CrashContext &crash,
                                      quint64 *stackPointer);
    Minidump::MdMemoryDescriptor writeStack(Output &out, quint64 stackPointer);
    Minidump::MdLocation writeThreadList(Output &out, const Minidump::MdThread *threads, int count);
    Minidump::MdLocation writeException(Output &out, const CrashContext &crash,
                                        const Minidump::MdLocation &context);
    Minidump::MdLocation writeModuleList(Output &out);
    Minidump::MdLocation writeMemoryList(Output &out, const Minidump::MdThread *threads, int count);
    Minidump::MdLocation writeProcStatus(Output &out);
    void writeHeader(Output &out, quint32 directoryRva, quint32 entries);

    int readFile(const char *path, char *buffer, int capacity) const;
    void parseMaps();
    void collectModules();
    int readMemory(quint64 address, void *buffer, int size) const;
    int readBuildId(quint64 base, unsigned char *id, int capacity) const;
    const Region *regionAt(quint64 address) const;

    char *mapsText = nullptr;
    int mapsLength = 0;
    Region *regions = nullptr;
    int regionCount = 0;
    Module *modules = nullptr;
    int moduleCount = 0;
    unsigned char *copyBuffer = nullptr;
    int memFd = -1;
    pid_t pid = 0;

    // System facts gathered once at construction.
    quint32 processorCount = 0;
    quint16 processorLevel = 0;
    quint16 processorRevision = 0;
    quint32 cpuVendor[3] = {0, 0, 0};
    quint32 cpuVersion = 0;
    quint32 cpuFeatures = 0;
    quint32 osMajor = 0;
    quint32 osMinor = 0;
    quint32 osBuild = 0;
    char osDescription[512] = {0};
};

#endif // MINIDUMPWRITER_H
