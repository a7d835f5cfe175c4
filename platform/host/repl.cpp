/*
 * Host template replacement service and text interpreter.
 *
 * The engine scans the template once: "{{" opens a reference that the next
 * "}}" closes; a "{{" with no "}}" after it is literal text, as is all text
 * outside references. Literal runs and replacement values go to the output
 * callback one piece each; a reference that cannot be resolved outputs
 * nothing and is counted. Run state lives in the caller's 130-byte context.
 *
 * The interpreter's language is process state on the C allocator (one
 * short copy), kept until it is set again.
 */
#include "platform/repl.h"
#include "platform/env.h"
#include "platform/host/profile.h"
#include "platform/localize.h"
#include "platform/mem.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace {

/* The service's state of one run, kept in the caller's context. */
struct Run {
    uint32_t magic;       /* ready_magic once prepared */
    int32_t unresolved;   /* references that could not be resolved */
    uint32_t pieces;      /* pieces output so far */
    int32_t stopped;      /* the output callback asked to stop */
};
static_assert(sizeof(Run) <= REPL_CONTEXT_SIZE, "run state must fit the context");

constexpr uint32_t ready_magic = 0x4b454d52;  /* "KEMR" */

char *language;  /* set by interp_set_language; C allocator */

struct Sink {
    Run *run;
    void *user;
    void *arg;
    repl_output_fn output;
};

/* Hands one piece to the output callback; false once the run must stop. */
bool emit(Sink &s, const char *piece, size_t len)
{
    if (!s.output)
        return true;
    s.run->pieces++;
    if (s.output(s.user, s.arg, piece, len) != 0) {
        s.run->stopped = 1;
        return false;
    }
    return true;
}

int hex(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

/* Outputs localized text "#N"; false when N is no integer or has no text. */
bool text_ref(Sink &s, const char *name, size_t len, bool *ok)
{
    int64_t id;
    auto [p, ec] = std::from_chars(name + 1, name + len, id);
    if (len < 2 || ec != std::errc() || p != name + len)
        return false;
    char *text = localize_text(id, nullptr);
    if (!text)
        return false;
    *ok = emit(s, text, std::strlen(text));
    mem_free(text, KEM_TAG);
    return true;
}

/* Outputs byte reference "%HH"; false when it is not two hex digits. */
bool byte_ref(Sink &s, const char *name, size_t len, bool *ok)
{
    if (len != 3 || hex(name[1]) < 0 || hex(name[2]) < 0)
        return false;
    char byte = static_cast<char>(hex(name[1]) << 4 | hex(name[2]));
    *ok = emit(s, &byte, 1);
    return true;
}

/* Resolves one reference and outputs its value; false once the run must stop. */
bool reference(Sink &s, const char *name, size_t len, repl_lookup_fn lookup, void *lookup_arg)
{
    bool ok = true, found = false;
    if (len > 0 && name[0] == '#') {
        found = text_ref(s, name, len, &ok);
    } else if (len > 0 && name[0] == '%') {
        found = byte_ref(s, name, len, &ok);
    } else if (lookup) {
        size_t vlen = 0;
        const char *value = lookup(lookup_arg, name, len, &vlen);
        if ((found = value != nullptr))
            ok = emit(s, value, vlen);
    }
    if (!found)
        s.run->unresolved++;
    return ok;
}

}  // namespace

extern "C" void repl_init_context(void *context)
{
    Run run{ready_magic, 0, 0, 0};
    std::memcpy(context, &run, sizeof run);
}

extern "C" int32_t repl_process(void *user, void *lookup_arg, void *context, const char *text,
                                repl_lookup_fn lookup, void *output_arg, repl_output_fn output)
{
    Run run;
    if (!context || !text)
        return -1;
    std::memcpy(&run, context, sizeof run);  /* the context need not be aligned */
    if (run.magic != ready_magic)
        return -1;
    Sink s{&run, user, output_arg, output};
    const char *literal = text;  /* start of the pending literal run */
    const char *open;
    bool going = true;
    while (going && (open = std::strstr(literal, "{{")) != nullptr) {
        const char *close = std::strstr(open + 2, "}}");
        if (!close)
            break;  /* unclosed: the rest is literal */
        if (open > literal)
            going = emit(s, literal, static_cast<size_t>(open - literal));
        going = going && reference(s, open + 2, static_cast<size_t>(close - open - 2), lookup,
                                   lookup_arg);
        literal = close + 2;
    }
    if (going && *literal)
        going = emit(s, literal, std::strlen(literal));
    std::memcpy(context, &run, sizeof run);
    return going ? run.unresolved : -1;
}

extern "C" void interp_set_language(const char *lang)
{
    std::free(language);
    language = nullptr;
    if (lang && *lang) {
        size_t n = std::strlen(lang) + 1;
        language = static_cast<char *>(std::malloc(n));
        if (language)
            std::memcpy(language, lang, n);
    }
}

const char *interp_language(void)
{
    return language ? language : env_language();
}

extern "C" const char *interp_lookup_db_field(void *, const char *name, size_t len,
                                              size_t *value_len)
{
    return profile_db_field(interp_language(), name, len, value_len);
}
