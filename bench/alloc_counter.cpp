// A counting allocator, preloaded into a program (LD_PRELOAD) to count its
// heap allocations and tell who made each one. It passes every call on to the
// C library's own allocator and, for each allocation, notes the size and the
// return addresses on the stack. When the program ends it writes them to the
// file named by WT_ALLOC_LOG:
//
//   total allocs=N frees=M bytes=B unrecorded=U
//   alloc <function> <size> <frame> <frame> ...
//
// where a frame is <object>+0x<offset from the object's load address>, the
// caller of the allocator first. The object is "exe" for the program itself;
// a frame in a library ends in :<symbol> when the library exports the function.
// It uses no heap itself, and it counts only what happens in the thread that
// is running (the tools measured have one).
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <unwind.h>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *__libc_memalign(size_t, size_t);
void *__libc_valloc(size_t);
void *__libc_pvalloc(size_t);
}

namespace {

const int MAX_FRAMES = 24;
const int MAX_RECORDS = 4096;

struct Record {
    const char *function;
    size_t size;
    int frame_count;
    uintptr_t frames[MAX_FRAMES];
};

Record records[MAX_RECORDS];
long record_count = 0;
long total_allocs = 0;
long total_frees = 0;
unsigned long long total_bytes = 0;
int busy = 0; // set while the counter itself runs: nested calls are not counted

struct Walk {
    Record *record;
    int skip;
};

_Unwind_Reason_Code note_frame(struct _Unwind_Context *context, void *arg)
{
    Walk *walk = static_cast<Walk *>(arg);
    if (walk->skip > 0) {
        walk->skip--;
        return _URC_NO_REASON;
    }
    if (walk->record->frame_count >= MAX_FRAMES)
        return _URC_END_OF_STACK;
    uintptr_t ip = _Unwind_GetIP(context);
    if (ip == 0)
        return _URC_END_OF_STACK;
    walk->record->frames[walk->record->frame_count++] = ip;
    return _URC_NO_REASON;
}

// Count one allocation made by one of the functions below; `function` is its name.
__attribute__((noinline)) void note(const char *function, size_t size, void *result)
{
    if (busy || result == nullptr)
        return;
    busy = 1;
    total_allocs++;
    total_bytes += size;
    if (record_count < MAX_RECORDS) {
        Record *r = &records[record_count++];
        r->function = function;
        r->size = size;
        r->frame_count = 0;
        Walk walk = {r, 2}; // skip note() and the allocator entry point
        _Unwind_Backtrace(note_frame, &walk);
    }
    busy = 0;
}

void append(char *line, size_t capacity, size_t *used, const char *format, ...)
{
    if (*used >= capacity)
        return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line + *used, capacity - *used, format, args);
    va_end(args);
    if (n > 0)
        *used += size_t(n) < capacity - *used ? size_t(n) : capacity - *used - 1;
}

void write_all(int fd, const char *text, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n <= 0)
            return;
        text += n;
        length -= size_t(n);
    }
}

const char *log_path = nullptr;
uintptr_t exe_base = 0;

int find_exe(struct dl_phdr_info *info, size_t, void *)
{
    exe_base = info->dlpi_addr; // the first object listed is the program
    return 1;
}

__attribute__((constructor)) void start_counting()
{
    log_path = getenv("WT_ALLOC_LOG");
    busy = 1;
    dl_iterate_phdr(find_exe, nullptr);
    busy = 0;
}

__attribute__((destructor)) void write_log()
{
    busy = 1;
    if (!log_path)
        return;
    int fd = open(log_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    char line[4096];
    size_t used = 0;
    append(line, sizeof line, &used, "total allocs=%ld frees=%ld bytes=%llu unrecorded=%ld\n",
           total_allocs, total_frees, total_bytes,
           total_allocs > record_count ? total_allocs - record_count : 0L);
    write_all(fd, line, used);
    for (long i = 0; i < record_count; i++) {
        const Record &r = records[i];
        used = 0;
        append(line, sizeof line, &used, "alloc %s %zu", r.function, r.size);
        for (int f = 0; f < r.frame_count; f++) {
            // The return address less one lies inside the calling instruction.
            uintptr_t pc = r.frames[f] - 1;
            Dl_info info;
            const char *object = "?";
            uintptr_t base = 0;
            if (dladdr(reinterpret_cast<void *>(pc), &info) && info.dli_fname) {
                base = reinterpret_cast<uintptr_t>(info.dli_fbase);
                object = base == exe_base ? "exe" : info.dli_fname;
            }
            append(line, sizeof line, &used, " %s+0x%lx", object, (unsigned long)(pc - base));
            if (base != exe_base && info.dli_sname)
                append(line, sizeof line, &used, ":%s", info.dli_sname);
        }
        append(line, sizeof line, &used, "\n");
        write_all(fd, line, used);
    }
    close(fd);
}

} // namespace

extern "C" {

void *malloc(size_t size)
{
    void *p = __libc_malloc(size);
    note("malloc", size, p);
    return p;
}

void *calloc(size_t count, size_t size)
{
    void *p = __libc_calloc(count, size);
    note("calloc", count * size, p);
    return p;
}

void *realloc(void *old, size_t size)
{
    void *p = __libc_realloc(old, size);
    if (size != 0)
        note("realloc", size, p);
    if (old && !busy)
        total_frees++;
    return p;
}

void free(void *p)
{
    if (p && !busy)
        total_frees++;
    __libc_free(p);
}

void *memalign(size_t alignment, size_t size)
{
    void *p = __libc_memalign(alignment, size);
    note("memalign", size, p);
    return p;
}

void *aligned_alloc(size_t alignment, size_t size)
{
    void *p = __libc_memalign(alignment, size);
    note("aligned_alloc", size, p);
    return p;
}

int posix_memalign(void **result, size_t alignment, size_t size)
{
    void *p = __libc_memalign(alignment, size);
    if (!p)
        return 12; // ENOMEM
    *result = p;
    note("posix_memalign", size, p);
    return 0;
}

void *valloc(size_t size)
{
    void *p = __libc_valloc(size);
    note("valloc", size, p);
    return p;
}

void *pvalloc(size_t size)
{
    void *p = __libc_pvalloc(size);
    note("pvalloc", size, p);
    return p;
}

} // extern "C"
