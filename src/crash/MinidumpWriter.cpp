#include "MinidumpWriter.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <elf.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

using namespace Minidump;

namespace {

// The streams this writer puts into every dump.
const quint32 streamCount = 8;

// The x86-64 ABI lets leaf functions use 128 bytes below the stack pointer.
const quint64 redZone = 128;
// How far below a mapping a stack pointer that overflowed it may be (one big frame).
const quint64 overflowReach = 64 * 1024;

quint64 parseHex(const char *&p, const char *end)
{
    quint64 value = 0;
    while (p < end) {
        const char c = *p;
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            break;
        value = value * 16 + quint64(digit);
        ++p;
    }
    return value;
}

void skipField(const char *&p, const char *end)
{
    while (p < end && *p != ' ' && *p != '\n')
        ++p;
    while (p < end && *p == ' ')
        ++p;
}

// UTF-8 path to the UTF-16 of a minidump string; malformed bytes become U+FFFD.
int utf8ToUtf16(const char *text, int length, quint16 *out, int capacity)
{
    int n = 0;
    for (int i = 0; i < length && n + 2 <= capacity;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        quint32 code = 0xfffd;
        int extra = 0;
        if (c < 0x80) {
            code = c;
        } else if ((c & 0xe0) == 0xc0) {
            code = c & 0x1f;
            extra = 1;
        } else if ((c & 0xf0) == 0xe0) {
            code = c & 0x0f;
            extra = 2;
        } else if ((c & 0xf8) == 0xf0) {
            code = c & 0x07;
            extra = 3;
        }
        ++i;
        bool valid = c < 0x80 || extra > 0;
        for (int k = 0; k < extra; ++k, ++i) {
            if (i >= length || (static_cast<unsigned char>(text[i]) & 0xc0) != 0x80) {
                valid = false;
                break;
            }
            code = (code << 6) | (static_cast<unsigned char>(text[i]) & 0x3f);
        }
        if (!valid || code > 0x10ffff)
            code = 0xfffd;
        if (code >= 0x10000) {
            code -= 0x10000;
            out[n++] = quint16(0xd800 + (code >> 10));
            out[n++] = quint16(0xdc00 + (code & 0x3ff));
        } else {
            out[n++] = quint16(code);
        }
    }
    return n;
}

} // namespace

// Appends records to the dump file at growing offsets; remembers the first failure.
class MinidumpWriter::Output
{
public:
    explicit Output(int fd, quint32 start) : fd(fd), position(start) { }

    bool writeAt(quint32 offset, const void *data, size_t size)
    {
        const char *bytes = static_cast<const char *>(data);
        while (size > 0 && ok) {
            const ssize_t written = ::pwrite(fd, bytes, size, off_t(offset));
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                ok = false;
                break;
            }
            bytes += written;
            offset += quint32(written);
            size -= size_t(written);
        }
        return ok;
    }

    MdLocation append(const void *data, quint32 size)
    {
        align();
        const MdLocation location = {size, position};
        writeAt(position, data, size);
        position += size;
        return location;
    }

    // Keeps records 8-byte aligned, as Breakpad's writer does.
    void align()
    {
        static const char zeros[8] = {0};
        const quint32 pad = (8 - position % 8) % 8;
        if (pad) {
            writeAt(position, zeros, pad);
            position += pad;
        }
    }

    quint32 tell() const { return position; }
    void advance(quint32 size) { position += size; }
    bool good() const { return ok; }

private:
    int fd;
    quint32 position;
    bool ok = true;
};

MinidumpWriter::MinidumpWriter()
    : mapsText(new char[mapsCapacity])
    , regions(new Region[maxRegions])
    , modules(new Module[maxModules])
    , copyBuffer(new unsigned char[copyCapacity])
    , pid(::getpid())
{
    // Reading our own memory through this file fails cleanly on unmapped or unreadable pages,
    // where a plain memcpy from a damaged process would fault again.
    memFd = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);

    const long processors = ::sysconf(_SC_NPROCESSORS_CONF);
    processorCount = processors > 0 ? quint32(processors) : 0;

#if defined(__x86_64__) || defined(__i386__)
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx)) {
        cpuVendor[0] = ebx;
        cpuVendor[1] = edx;
        cpuVendor[2] = ecx;
    }
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        cpuVersion = eax;
        cpuFeatures = edx;
        quint32 family = (eax >> 8) & 0xf;
        quint32 model = (eax >> 4) & 0xf;
        if (family == 0xf)
            family += (eax >> 20) & 0xff;
        if (family == 0x6 || family >= 0xf)
            model += ((eax >> 16) & 0xf) << 4;
        processorLevel = quint16(family);
        processorRevision = quint16((model << 8) | (eax & 0xf));
    }
#endif

    struct utsname names;
    if (::uname(&names) == 0) {
        std::snprintf(osDescription, sizeof osDescription, "%s %s %s %s", names.sysname,
                      names.release, names.version, names.machine);
        unsigned int major = 0, minor = 0, build = 0;
        std::sscanf(names.release, "%u.%u.%u", &major, &minor, &build);
        osMajor = major;
        osMinor = minor;
        osBuild = build;
    }
}

MinidumpWriter::~MinidumpWriter()
{
    if (memFd >= 0)
        ::close(memFd);
    delete[] mapsText;
    delete[] regions;
    delete[] modules;
    delete[] copyBuffer;
}

int MinidumpWriter::readFile(const char *path, char *buffer, int capacity) const
{
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return 0;
    int length = 0;
    while (length < capacity) {
        const ssize_t got = ::read(fd, buffer + length, size_t(capacity - length));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        length += int(got);
    }
    ::close(fd);
    return length;
}

int MinidumpWriter::readMemory(quint64 address, void *buffer, int size) const
{
    if (memFd >= 0) {
        ssize_t got;
        do {
            got = ::pread(memFd, buffer, size_t(size), off_t(address));
        } while (got < 0 && errno == EINTR);
        if (got >= 0)
            return int(got);
    }
    struct iovec local = {buffer, size_t(size)};
    struct iovec remote = {reinterpret_cast<void *>(address), size_t(size)};
    const ssize_t got = ::process_vm_readv(pid, &local, 1, &remote, 1, 0);
    return got > 0 ? int(got) : 0;
}

void MinidumpWriter::parseMaps()
{
    mapsLength = readFile("/proc/self/maps", mapsText, mapsCapacity);
    regionCount = 0;
    const char *p = mapsText;
    const char *end = mapsText + mapsLength;
    while (p < end && regionCount < maxRegions) {
        const char *lineEnd = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        if (!lineEnd)
            lineEnd = end; // a line cut by the buffer's end
        Region &r = regions[regionCount];
        r.start = parseHex(p, lineEnd);
        if (p < lineEnd && *p == '-')
            ++p;
        r.end = parseHex(p, lineEnd);
        while (p < lineEnd && *p == ' ')
            ++p;
        r.readable = p < lineEnd && *p == 'r';
        r.executable = p + 2 < lineEnd && p[2] == 'x';
        skipField(p, lineEnd); // permissions
        r.offset = parseHex(p, lineEnd);
        while (p < lineEnd && *p == ' ')
            ++p;
        skipField(p, lineEnd); // device
        skipField(p, lineEnd); // inode
        r.pathStart = p < lineEnd ? int(p - mapsText) : -1;
        r.pathLength = p < lineEnd ? int(lineEnd - p) : 0;
        if (r.end > r.start)
            ++regionCount;
        p = lineEnd + 1;
    }
}

const MinidumpWriter::Region *MinidumpWriter::regionAt(quint64 address) const
{
    for (int i = 0; i < regionCount; ++i) {
        if (address >= regions[i].start && address < regions[i].end)
            return &regions[i];
    }
    return nullptr;
}

void MinidumpWriter::collectModules()
{
    moduleCount = 0;
    Module *current = nullptr;
    for (int i = 0; i < regionCount; ++i) {
        const Region &r = regions[i];
        if (r.pathStart < 0 || mapsText[r.pathStart] != '/') {
            current = nullptr;
            continue;
        }
        const char *path = mapsText + r.pathStart;
        // Further segments of the file seen last belong to that module.
        if (current && r.offset != 0 && current->pathLength == r.pathLength
            && std::memcmp(mapsText + current->pathStart, path, size_t(r.pathLength)) == 0) {
            current->end = r.end;
            current->executable = current->executable || r.executable;
            continue;
        }
        current = nullptr;
        if (r.offset != 0 || moduleCount >= maxModules
            || (r.pathLength >= 5 && std::memcmp(path, "/dev/", 5) == 0))
            continue;
        char magic[SELFMAG];
        if (readMemory(r.start, magic, SELFMAG) != SELFMAG || std::memcmp(magic, ELFMAG, SELFMAG))
            continue;
        current = &modules[moduleCount++];
        current->base = r.start;
        current->end = r.end;
        current->pathStart = r.pathStart;
        current->pathLength = r.pathLength;
        current->executable = r.executable;
    }
    // Mapped ELF data files (no code) are not modules.
    int kept = 0;
    for (int i = 0; i < moduleCount; ++i) {
        if (modules[i].executable)
            modules[kept++] = modules[i];
    }
    moduleCount = kept;
}

int MinidumpWriter::readBuildId(quint64 base, unsigned char *id, int capacity) const
{
    Elf64_Ehdr header;
    if (readMemory(base, &header, int(sizeof header)) != int(sizeof header)
        || header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_phentsize != sizeof(Elf64_Phdr))
        return 0;
    Elf64_Phdr phdrs[64];
    const int count = header.e_phnum < 64 ? header.e_phnum : 64;
    const int bytes = count * int(sizeof(Elf64_Phdr));
    if (readMemory(base + header.e_phoff, phdrs, bytes) != bytes)
        return 0;

    // The mapping at file offset 0 is the first loadable segment; its address gives the bias.
    quint64 bias = base;
    for (int i = 0; i < count; ++i) {
        if (phdrs[i].p_type == PT_LOAD) {
            bias = base
                    - (phdrs[i].p_vaddr & ~quint64(phdrs[i].p_align ? phdrs[i].p_align - 1 : 0));
            break;
        }
    }
    for (int i = 0; i < count; ++i) {
        if (phdrs[i].p_type != PT_NOTE)
            continue;
        // A build-id note comes first in practice; a longer note segment is read in part.
        unsigned char notes[4096];
        const int size
                = phdrs[i].p_memsz < sizeof notes ? int(phdrs[i].p_memsz) : int(sizeof notes);
        if (size <= 0 || readMemory(bias + phdrs[i].p_vaddr, notes, size) != size)
            continue;
        int at = 0;
        while (at + int(sizeof(Elf64_Nhdr)) <= size) {
            Elf64_Nhdr note;
            std::memcpy(&note, notes + at, sizeof note);
            const int nameAt = at + int(sizeof note);
            const int descAt = nameAt + int((note.n_namesz + 3) & ~3u);
            const int next = descAt + int((note.n_descsz + 3) & ~3u);
            if (note.n_namesz > 4096 || note.n_descsz > 4096 || next > size)
                break;
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4
                && std::memcmp(notes + nameAt, "GNU", 4) == 0) {
                const int length = int(note.n_descsz) < capacity ? int(note.n_descsz) : capacity;
                std::memcpy(id, notes + descAt, size_t(length));
                return length;
            }
            at = next;
        }
    }
    return 0;
}

// The file: header, stream directory, then the streams' data in the order written here.
bool MinidumpWriter::write(int fd, const CrashContext &crash, const CrashContext *other)
{
    parseMaps();
    collectModules();

    const quint32 directoryRva = sizeof(MdHeader);
    Output out(fd, directoryRva + streamCount * sizeof(MdDirectory));
    MdDirectory directory[streamCount];
    std::memset(directory, 0, sizeof directory);
    quint32 entries = 0;

    directory[entries++] = {streamSystemInfo, writeSystemInfo(out)};
    directory[entries++] = {streamMiscInfo, writeMiscInfo(out)};
    MdThread threads[2];
    int threadCount = 0;
    for (const CrashContext *thread : {&crash, other}) {
        if (!thread)
            continue;
        MdThread &record = threads[threadCount++];
        std::memset(&record, 0, sizeof record);
        quint64 stackPointer = 0;
        record.threadId = quint32(thread->threadId);
        record.threadContext = writeContext(out, *thread, &stackPointer);
        record.stack = writeStack(out, stackPointer);
    }
    directory[entries++] = {streamThreadList, writeThreadList(out, threads, threadCount)};
    directory[entries++] = {streamException, writeException(out, crash, threads[0].threadContext)};
    directory[entries++] = {streamModuleList, writeModuleList(out)};
    directory[entries++] = {streamMemoryList, writeMemoryList(out, threads, threadCount)};
    directory[entries++] = {streamLinuxMaps, out.append(mapsText, quint32(mapsLength))};
    directory[entries++] = {streamLinuxProcStatus, writeProcStatus(out)};

    out.writeAt(directoryRva, directory, entries * sizeof(MdDirectory));
    writeHeader(out, directoryRva, entries);
    return out.good() && entries == streamCount;
}

// System info, with the kernel description as its service-pack text.
MdLocation MinidumpWriter::writeSystemInfo(Output &out)
{
    quint16 text[sizeof osDescription + 2];
    const quint32 units
            = quint32(utf8ToUtf16(osDescription, int(std::strlen(osDescription)), text + 2, 512));
    const quint32 byteLength = units * 2;
    std::memcpy(text, &byteLength, 4);
    text[2 + units] = 0;
    const MdLocation csd = out.append(text, 4 + byteLength + 2);

    MdSystemInfo info;
    std::memset(&info, 0, sizeof info);
#if defined(__x86_64__)
    info.processorArchitecture = architectureAmd64;
#else
    info.processorArchitecture = architectureUnknown;
#endif
    info.processorLevel = processorLevel;
    info.processorRevision = processorRevision;
    info.numberOfProcessors = quint8(processorCount > 255 ? 255 : processorCount);
    info.majorVersion = osMajor;
    info.minorVersion = osMinor;
    info.buildNumber = osBuild;
    info.platformId = platformLinux;
    info.csdVersionRva = csd.rva;
    std::memcpy(info.cpuVendorId, cpuVendor, sizeof cpuVendor);
    info.cpuVersionInformation = cpuVersion;
    info.cpuFeatureInformation = cpuFeatures;
    return out.append(&info, sizeof info);
}

MdLocation MinidumpWriter::writeMiscInfo(Output &out)
{
    MdMiscInfo misc;
    std::memset(&misc, 0, sizeof misc);
    misc.sizeOfInfo = sizeof misc;
    misc.flags1 = miscInfoProcessId;
    misc.processId = quint32(pid);
    return out.append(&misc, sizeof misc);
}

// The crashed thread's registers; *stackPointer gets its stack pointer (0 without a context).
MdLocation MinidumpWriter::writeContext(Output &out, const CrashContext &crash,
                                        quint64 *stackPointer)
{
#if defined(__x86_64__)
    const greg_t *g = crash.context.uc_mcontext.gregs;
    MdContextAmd64 c;
    std::memset(&c, 0, sizeof c);
    c.contextFlags = contextAmd64 | contextControl | contextInteger;
    c.cs = quint16(quint64(g[REG_CSGSFS]) & 0xffff);
    c.gs = quint16((quint64(g[REG_CSGSFS]) >> 16) & 0xffff);
    c.fs = quint16((quint64(g[REG_CSGSFS]) >> 32) & 0xffff);
    c.eflags = quint32(g[REG_EFL]);
    c.rax = quint64(g[REG_RAX]);
    c.rcx = quint64(g[REG_RCX]);
    c.rdx = quint64(g[REG_RDX]);
    c.rbx = quint64(g[REG_RBX]);
    c.rsp = quint64(g[REG_RSP]);
    c.rbp = quint64(g[REG_RBP]);
    c.rsi = quint64(g[REG_RSI]);
    c.rdi = quint64(g[REG_RDI]);
    c.r8 = quint64(g[REG_R8]);
    c.r9 = quint64(g[REG_R9]);
    c.r10 = quint64(g[REG_R10]);
    c.r11 = quint64(g[REG_R11]);
    c.r12 = quint64(g[REG_R12]);
    c.r13 = quint64(g[REG_R13]);
    c.r14 = quint64(g[REG_R14]);
    c.r15 = quint64(g[REG_R15]);
    c.rip = quint64(g[REG_RIP]);
    if (crash.hasFloatState) {
        static_assert(sizeof(crash.floatState) == sizeof(c.floatSave), "fxsave area");
        c.contextFlags |= contextFloatingPoint;
        c.mxCsr = crash.floatState.mxcsr;
        std::memcpy(c.floatSave, &crash.floatState, sizeof c.floatSave);
    }
    *stackPointer = c.rsp;
    return out.append(&c, sizeof c);
#else
    Q_UNUSED(out)
    Q_UNUSED(crash)
    *stackPointer = 0;
    return {0, 0};
#endif
}

// A thread's stack, from below the red zone up to the end of its mapping.
MdMemoryDescriptor MinidumpWriter::writeStack(Output &out, quint64 stackPointer)
{
    MdMemoryDescriptor stack = {0, {0, 0}};
    const Region *region = regionAt(stackPointer);
    // After a stack overflow the stack pointer sits in the guard gap just below the stack; the
    // frames that ran it out start at the mapping above.
    if (!region && stackPointer) {
        for (int i = 0; i < regionCount; ++i) {
            const Region &r = regions[i];
            if (r.readable && r.start > stackPointer && r.start - stackPointer <= overflowReach
                && (!region || r.start < region->start))
                region = &r;
        }
    }
    if (!region)
        return stack;

    quint64 from = stackPointer >= region->start + redZone ? stackPointer - redZone : region->start;
    from &= ~quint64(15);
    if (from < region->start)
        from = region->start;
    quint64 to = region->end;
    if (to - from > quint64(maxStackBytes))
        to = from + quint64(maxStackBytes);
    out.align();
    const quint32 rva = out.tell();
    quint64 copied = 0;
    while (from + copied < to) {
        const quint64 left = to - from - copied;
        const int chunk = left < quint64(copyCapacity) ? int(left) : copyCapacity;
        const int got = readMemory(from + copied, copyBuffer, chunk);
        if (got <= 0)
            break;
        out.writeAt(out.tell(), copyBuffer, size_t(got));
        out.advance(quint32(got));
        copied += quint64(got);
    }
    if (copied > 0)
        stack = {from, {quint32(copied), rva}};
    return stack;
}

MdLocation MinidumpWriter::writeThreadList(Output &out, const MdThread *threads, int count)
{
    out.align();
    const quint32 rva = out.tell();
    const quint32 number = quint32(count);
    out.writeAt(rva, &number, 4);
    out.writeAt(rva + 4, threads, size_t(count) * sizeof(MdThread));
    out.advance(quint32(4 + count * sizeof(MdThread)));
    return {quint32(4 + count * sizeof(MdThread)), rva};
}

MdLocation MinidumpWriter::writeException(Output &out, const CrashContext &crash,
                                          const MdLocation &context)
{
    MdExceptionStream exception;
    std::memset(&exception, 0, sizeof exception);
    exception.threadId = quint32(crash.threadId);
    exception.exceptionRecord.exceptionCode = quint32(crash.signalNumber);
    exception.exceptionRecord.exceptionFlags = quint32(crash.signalCode);
    exception.exceptionRecord.exceptionAddress = crash.faultAddress;
    exception.threadContext = context;
    return out.append(&exception, sizeof exception);
}

// Module names and CodeView records first, then the list that points at them.
MdLocation MinidumpWriter::writeModuleList(Output &out)
{
    for (int i = 0; i < moduleCount; ++i) {
        Module &m = modules[i];
        quint16 *text = reinterpret_cast<quint16 *>(copyBuffer);
        const int capacity = copyCapacity / 2 - 4;
        const quint32 units
                = quint32(utf8ToUtf16(mapsText + m.pathStart, m.pathLength, text + 2, capacity));
        const quint32 byteLength = units * 2;
        std::memcpy(text, &byteLength, 4);
        text[2 + units] = 0;
        m.nameRva = out.append(text, 4 + byteLength + 2).rva;

        unsigned char record[4 + 64];
        std::memcpy(record, &cvSignatureElf, 4);
        const int idLength = readBuildId(m.base, record + 4, 64);
        m.buildIdLength = quint32(idLength);
        m.cvRva = idLength > 0 ? out.append(record, quint32(4 + idLength)).rva : 0;
    }

    out.align();
    const quint32 listRva = out.tell();
    const quint32 count = quint32(moduleCount);
    out.writeAt(listRva, &count, 4);
    out.advance(4);
    for (int i = 0; i < moduleCount; ++i) {
        const Module &m = modules[i];
        MdModule module;
        std::memset(&module, 0, sizeof module);
        module.baseOfImage = m.base;
        module.sizeOfImage = quint32(m.end - m.base);
        module.moduleNameRva = m.nameRva;
        if (m.buildIdLength > 0)
            module.cvRecord = {4 + m.buildIdLength, m.cvRva};
        out.writeAt(out.tell(), &module, sizeof module);
        out.advance(sizeof module);
    }
    return {quint32(4 + moduleCount * sizeof(MdModule)), listRva};
}

// LLDB reads memory only from here: the threads' stacks, where there are some.
MdLocation MinidumpWriter::writeMemoryList(Output &out, const MdThread *threads, int count)
{
    MdMemoryDescriptor ranges[2];
    quint32 number = 0;
    for (int i = 0; i < count; ++i) {
        if (threads[i].stack.memory.dataSize > 0)
            ranges[number++] = threads[i].stack;
    }
    out.align();
    const quint32 rva = out.tell();
    out.writeAt(rva, &number, 4);
    out.writeAt(rva + 4, ranges, number * sizeof(MdMemoryDescriptor));
    out.advance(quint32(4 + number * sizeof(MdMemoryDescriptor)));
    return {quint32(4 + number * sizeof(MdMemoryDescriptor)), rva};
}

MdLocation MinidumpWriter::writeProcStatus(Output &out)
{
    const int length
            = readFile("/proc/self/status", reinterpret_cast<char *>(copyBuffer), copyCapacity);
    return out.append(copyBuffer, quint32(length));
}

void MinidumpWriter::writeHeader(Output &out, quint32 directoryRva, quint32 entries)
{
    MdHeader header;
    std::memset(&header, 0, sizeof header);
    header.signature = mdSignature;
    header.version = mdVersion;
    header.streamCount = entries;
    header.streamDirectoryRva = directoryRva;
    struct timespec now;
    if (::clock_gettime(CLOCK_REALTIME, &now) == 0)
        header.timeDateStamp = quint32(now.tv_sec);
    out.writeAt(0, &header, sizeof header);
}
