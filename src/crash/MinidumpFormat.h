#ifndef MINIDUMPFORMAT_H
#define MINIDUMPFORMAT_H

#include <QtGlobal>

#include <cstddef>

// The records of a minidump file as readers expect them, byte for byte (little-endian, 32-bit
// file offsets).
namespace Minidump {

#pragma pack(push, 1)
struct MdLocation
{
    quint32 dataSize;
    quint32 rva;
};

struct MdHeader
{
    quint32 signature;
    quint32 version;
    quint32 streamCount;
    quint32 streamDirectoryRva;
    quint32 checksum;
    quint32 timeDateStamp;
    quint64 flags;
};

struct MdDirectory
{
    quint32 streamType;
    MdLocation location;
};

struct MdMemoryDescriptor
{
    quint64 startOfMemoryRange;
    MdLocation memory;
};

struct MdThread
{
    quint32 threadId;
    quint32 suspendCount;
    quint32 priorityClass;
    quint32 priority;
    quint64 teb;
    MdMemoryDescriptor stack;
    MdLocation threadContext;
};

struct MdModule
{
    quint64 baseOfImage;
    quint32 sizeOfImage;
    quint32 checksum;
    quint32 timeDateStamp;
    quint32 moduleNameRva;
    quint32 versionInfo[13];
    MdLocation cvRecord;
    MdLocation miscRecord;
    quint32 reserved0[2];
    quint32 reserved1[2];
};

struct MdException
{
    quint32 exceptionCode;
    quint32 exceptionFlags;
    quint64 exceptionRecord;
    quint64 exceptionAddress;
    quint32 numberParameters;
    quint32 alignment;
    quint64 exceptionInformation[15];
};

struct MdExceptionStream
{
    quint32 threadId;
    quint32 alignment;
    MdException exceptionRecord;
    MdLocation threadContext;
};

struct MdSystemInfo
{
    quint16 processorArchitecture;
    quint16 processorLevel;
    quint16 processorRevision;
    quint8 numberOfProcessors;
    quint8 productType;
    quint32 majorVersion;
    quint32 minorVersion;
    quint32 buildNumber;
    quint32 platformId;
    quint32 csdVersionRva;
    quint16 suiteMask;
    quint16 reserved2;
    quint32 cpuVendorId[3];
    quint32 cpuVersionInformation;
    quint32 cpuFeatureInformation;
    quint32 cpuAmdExtendedFeatures;
};

struct MdMiscInfo
{
    quint32 sizeOfInfo;
    quint32 flags1;
    quint32 processId;
    quint32 processCreateTime;
    quint32 processUserTime;
    quint32 processKernelTime;
};

struct MdContextAmd64
{
    quint64 home[6];
    quint32 contextFlags;
    quint32 mxCsr;
    quint16 cs, ds, es, fs, gs, ss;
    quint32 eflags;
    quint64 dr0, dr1, dr2, dr3, dr6, dr7;
    quint64 rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi;
    quint64 r8, r9, r10, r11, r12, r13, r14, r15;
    quint64 rip;
    unsigned char floatSave[512];
    unsigned char vectorRegister[26 * 16];
    quint64 vectorControl;
    quint64 debugControl;
    quint64 lastBranchToRip;
    quint64 lastBranchFromRip;
    quint64 lastExceptionToRip;
    quint64 lastExceptionFromRip;
};
#pragma pack(pop)

static_assert(sizeof(MdHeader) == 32, "header");
static_assert(sizeof(MdDirectory) == 12, "directory entry");
static_assert(sizeof(MdMemoryDescriptor) == 16, "memory descriptor");
static_assert(sizeof(MdThread) == 48, "thread");
static_assert(sizeof(MdModule) == 108, "module");
static_assert(sizeof(MdExceptionStream) == 168, "exception stream");
static_assert(sizeof(MdSystemInfo) == 56, "system info");
static_assert(sizeof(MdMiscInfo) == 24, "misc info");
static_assert(sizeof(MdContextAmd64) == 1232, "amd64 context");
static_assert(offsetof(MdContextAmd64, contextFlags) == 0x30, "context flags");
static_assert(offsetof(MdContextAmd64, rsp) == 0x98, "rsp");
static_assert(offsetof(MdContextAmd64, rip) == 0xf8, "rip");
static_assert(offsetof(MdContextAmd64, floatSave) == 0x100, "float save");

const quint32 mdSignature = 0x504d444d; // "MDMP"
const quint32 mdVersion = 0xa793;
const quint32 streamThreadList = 3;
const quint32 streamModuleList = 4;
const quint32 streamMemoryList = 5;
const quint32 streamException = 6;
const quint32 streamSystemInfo = 7;
const quint32 streamMiscInfo = 15;
const quint32 streamLinuxProcStatus = 0x47670004;
const quint32 streamLinuxMaps = 0x47670009;

const quint16 architectureAmd64 = 9;
const quint16 architectureUnknown = 0xffff;
const quint32 platformLinux = 0x8201;
const quint32 miscInfoProcessId = 1;
const quint32 cvSignatureElf = 0x4270454c; // "BpEL"

const quint32 contextAmd64 = 0x00100000;
const quint32 contextControl = 0x1;
const quint32 contextInteger = 0x2;
const quint32 contextFloatingPoint = 0x8;

} // namespace Minidump

#endif // MINIDUMPFORMAT_H
