/*
 * Host tagged allocator on the C allocator.
 *
 * Each block carries a header in front of the caller's bytes: the tag (file,
 * line), the size, and links into a list of live blocks, so that leaks can be
 * counted and listed. Fault injection lets tests make the Nth request fail.
 *
 * Caveats: one thread only (the interpreter's); the header costs 48 bytes a
 * block; releasing a block that did not come from here aborts the process,
 * since that is a bug no caller can recover from.
 */
#include "platform/mem.h"
#include "platform/host/mem_debug.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint64_t live_magic = 0x6b656d6d656d4c56ULL;  /* "kemmemLV" */
constexpr std::uint64_t dead_magic = 0x6b656d6d656d4446ULL;  /* "kemmemDF" */

struct alignas(16) Header {
    Header *prev;
    Header *next;
    const char *file;
    std::size_t size;
    std::uint64_t magic;
    int line;
};
static_assert(sizeof(Header) % 16 == 0, "user bytes stay 16-aligned");

struct State {
    Header *oldest = nullptr;
    Header *newest = nullptr;
    std::size_t blocks = 0;
    std::size_t bytes = 0;
    std::size_t peak = 0;           /* highest bytes since the last reset */
    unsigned long requests = 0;
    unsigned long fail_at = 0;      /* request number that fails, 0: none */
    bool fail_persistent = false;
    unsigned long failures = 0;
};

State state;

/* True when this request is to fail by fault injection. */
bool injected_failure()
{
    ++state.requests;
    if (state.fail_at == 0 || state.requests < state.fail_at)
        return false;
    if (state.requests > state.fail_at && !state.fail_persistent)
        return false;
    ++state.failures;
    return true;
}

void link_block(Header *h)
{
    h->prev = state.newest;
    h->next = nullptr;
    if (state.newest)
        state.newest->next = h;
    else
        state.oldest = h;
    state.newest = h;
    ++state.blocks;
    state.bytes += h->size;
    if (state.bytes > state.peak)
        state.peak = state.bytes;
}

void unlink_block(Header *h)
{
    if (h->prev)
        h->prev->next = h->next;
    else
        state.oldest = h->next;
    if (h->next)
        h->next->prev = h->prev;
    else
        state.newest = h->prev;
    --state.blocks;
    state.bytes -= h->size;
}

void *allocate(std::size_t size, bool zero, const char *file, int line)
{
    if (injected_failure() || size > SIZE_MAX - sizeof(Header))
        return nullptr;
    void *raw = zero ? std::calloc(1, sizeof(Header) + size) : std::malloc(sizeof(Header) + size);
    if (!raw)
        return nullptr;
    auto *h = static_cast<Header *>(raw);
    h->file = file ? file : "?";
    h->line = line;
    h->size = size;
    h->magic = live_magic;
    link_block(h);
    return h + 1;
}

[[noreturn]] void bad_free(const void *block, const char *file, int line)
{
    std::fprintf(stderr, "mem_free: %p at %s:%d is not a live block of this allocator\n",
                 block, file ? file : "?", line);
    std::abort();
}

}  // namespace

extern "C" {

void *mem_calloc(size_t count, size_t size, const char *file, int line)
{
    if (size != 0 && count > SIZE_MAX / size) {
        ++state.requests;
        return nullptr;
    }
    return allocate(count * size, true, file, line);
}

void *mem_malloc(size_t size, const char *file, int line)
{
    return allocate(size, false, file, line);
}

char *mem_strdup(const char *text, const char *file, int line)
{
    std::size_t n = std::strlen(text) + 1;
    auto *copy = static_cast<char *>(allocate(n, false, file, line));
    if (copy)
        std::memcpy(copy, text, n);
    return copy;
}

void mem_free(void *block, const char *file, int line)
{
    if (!block)
        return;
    Header *h = static_cast<Header *>(block) - 1;
    if (h->magic != live_magic)
        bad_free(block, file, line);
    unlink_block(h);
    h->magic = dead_magic;
    std::free(h);
}

void mem_free_text(char **text)
{
    if (!text)
        return;
    mem_free(*text, KEM_TAG);
    *text = nullptr;
}

int mem_vasprintf(char **out, const char *format, va_list args)
{
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(nullptr, 0, format, args);
    char *text = nullptr;
    if (n >= 0) {
        text = static_cast<char *>(mem_malloc(static_cast<std::size_t>(n) + 1, KEM_TAG));
        if (text)
            std::vsnprintf(text, static_cast<std::size_t>(n) + 1, format, again);
    }
    va_end(again);
    *out = text;
    return text ? n : -1;
}

size_t mem_live_blocks(void) { return state.blocks; }

size_t mem_live_bytes(void) { return state.bytes; }

unsigned long mem_alloc_count(void) { return state.requests; }

size_t mem_peak_bytes(void) { return state.peak; }

void mem_reset_peak(void) { state.peak = state.bytes; }

size_t mem_report(FILE *out)
{
    for (const Header *h = state.oldest; h; h = h->next)
        std::fprintf(out, "%s:%d %zu\n", h->file, h->line, h->size);
    return state.blocks;
}

void mem_fail_at(unsigned long n, int persistent)
{
    state.fail_at = n ? state.requests + n : 0;
    state.fail_persistent = persistent != 0;
    state.failures = 0;
}

void mem_fail_off(void)
{
    state.fail_at = 0;
    state.fail_persistent = false;
}

unsigned long mem_failures(void) { return state.failures; }

}  // extern "C"
