#include "app/BuildInfo.h"

#include <QByteArray>

#include <elf.h>
#include <link.h>

namespace {

int findBuildId(struct dl_phdr_info *info, size_t, void *data)
{
    // The first object listed is the program itself.
    auto *id = static_cast<QByteArray *>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &header = info->dlpi_phdr[i];
        if (header.p_type != PT_NOTE)
            continue;
        const char *at = reinterpret_cast<const char *>(info->dlpi_addr + header.p_vaddr);
        const char *end = at + header.p_memsz;
        while (at + sizeof(ElfW(Nhdr)) <= end) {
            const auto *note = reinterpret_cast<const ElfW(Nhdr) *>(at);
            const char *name = at + sizeof(ElfW(Nhdr));
            const char *desc = name + ((note->n_namesz + 3) & ~3u);
            if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4
                && QByteArray(name, 3) == "GNU") {
                *id = QByteArray(desc, int(note->n_descsz));
                return 1;
            }
            at = desc + ((note->n_descsz + 3) & ~3u);
        }
    }
    return 1;
}

} // namespace

QString BuildInfo::buildId()
{
    QByteArray id;
    dl_iterate_phdr(findBuildId, &id);
    return QString::fromLatin1(id.toHex());
}
