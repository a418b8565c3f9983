#include "app/BuildInfo.h"

#include <QByteArray>

#include <windows.h>

QString BuildInfo::buildId()
{
    // The CodeView record of the loaded program: "RSDS", then the GUID and the age.
    const auto *base = reinterpret_cast<const unsigned char *>(GetModuleHandleW(nullptr));
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    if (!base || dos->e_magic != IMAGE_DOS_SIGNATURE)
        return QString();
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &debug
            = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
    const auto *entries
            = reinterpret_cast<const IMAGE_DEBUG_DIRECTORY *>(base + debug.VirtualAddress);
    for (DWORD i = 0; debug.VirtualAddress && i < debug.Size / sizeof(IMAGE_DEBUG_DIRECTORY); ++i) {
        if (entries[i].Type != IMAGE_DEBUG_TYPE_CODEVIEW || entries[i].SizeOfData < 24)
            continue;
        const char *record = reinterpret_cast<const char *>(base + entries[i].AddressOfRawData);
        if (QByteArray(record, 4) == "RSDS")
            return QString::fromLatin1(QByteArray(record + 4, 20).toHex());
    }
    return QString();
}
