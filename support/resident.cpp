#include "support/resident.h"

#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace {

struct Range {
    uintptr_t start;
    uintptr_t end;
};

// Segments of the program and its libraries, found before any is dropped:
// reading a program header afterwards would fault its page back in.
struct Ranges {
    Range range[64];
    int count = 0;
    uintptr_t page = 0;
};

// Code the loader had to patch in place (text relocations) differs from
// its file: dropped, it would come back unpatched.
RUNS_AT_REST bool patched_in_place(const dl_phdr_info* info) {
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type != PT_DYNAMIC) continue;
        const auto* entry =
            reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
        for (; entry->d_tag != DT_NULL; ++entry)
            if (entry->d_tag == DT_TEXTREL ||
                (entry->d_tag == DT_FLAGS && (entry->d_un.d_val & DF_TEXTREL) != 0))
                return true;
    }
    return false;
}

// The whole pages of every loaded segment that is neither writable nor the
// kernel's own (the vDSO has no path).
RUNS_AT_REST int collect(dl_phdr_info* info, size_t, void* arg) {
    Ranges& found = *static_cast<Ranges*>(arg);
    const char* name = info->dlpi_name;
    if (name == nullptr || (name[0] != '\0' && name[0] != '/') || patched_in_place(info)) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W) != 0) continue;
        if (found.count == static_cast<int>(sizeof found.range / sizeof found.range[0])) return 1;
        const uintptr_t first = info->dlpi_addr + segment.p_vaddr;
        const uintptr_t start = (first + found.page - 1) & ~(found.page - 1);
        const uintptr_t end = (first + segment.p_memsz) & ~(found.page - 1);
        if (end > start) found.range[found.count++] = Range{start, end};
    }
    return 0;
}

}  // namespace

RUNS_AT_REST void release_read_only_pages() {
    Ranges found;
    found.page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    dl_iterate_phdr(collect, &found);
    for (int i = 0; i < found.count; ++i)
        madvise(reinterpret_cast<void*>(found.range[i].start),
                found.range[i].end - found.range[i].start, MADV_DONTNEED);
}
