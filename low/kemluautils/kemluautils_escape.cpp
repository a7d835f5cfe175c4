/*
 * RFC 1630 escaping of texts for URLs and forms: lua_rfc1630_escape, and
 * escape_init, which installs it as kiv.RFC1630_Escape.
 *
 * Form mode (flag true) turns a space into "+" and escapes ! * + / < > as
 * well; plain mode escapes a space as %20. Both escape # % & ; control bytes
 * and bytes above 0x7E as a percent sign and two lower-case hex digits.
 *
 * Caveats: the text ends at its first zero byte. The result grows from
 * strlen + 11 bytes (five escapes fit) geometrically, bounded by what the
 * rest of the text can still need, so a long text costs linear time. When
 * memory runs out the input text is returned unchanged, nothing raised.
 * The argument messages are formatted into one static 128-byte buffer:
 * the interpreter's thread only.
 */
#include "kemluautils.h"
#include "luaaux.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char fname[] = "lua_rfc1630_escape";

char message[128];  /* the argument message being raised */

/* What becomes of one input byte. */
enum Piece : unsigned char { escaped, copied, plus };

struct Classes {
    Piece form[256];
    Piece plain[256];
};

/* The byte classes of both modes. */
constexpr Classes make_classes()
{
    Classes c{};
    for (int b = 0; b < 256; ++b) {
        bool printable = b >= 0x21 && b <= 0x7e;
        bool reserved = b == '#' || b == '%' || b == '&' || b == ';';
        bool form_only = b == '!' || b == '*' || b == '+' || b == '/' || b == '<' || b == '>';
        c.plain[b] = printable && !reserved ? copied : escaped;
        c.form[b] = printable && !reserved && !form_only ? copied : escaped;
    }
    c.form[0x20] = plus;  /* the space */
    return c;
}

constexpr Classes classes = make_classes();

/* The result being built: a block of the tagged allocator. */
struct Out {
    char *buf;
    size_t used;  /* bytes written, terminator excluded */
    size_t cap;   /* size of the block */
};

/* Raises format, args with no position: the argument messages. */
int argerror(lua_State *L, const char *format, ...) KEMLUAUTILS_PRINTF(2, 3);
int argerror(lua_State *L, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    lua_pushstring(L, message);
    return lua_error(L);
}

/*
 * Moves out into a bigger block with room for n more bytes and the
 * terminator; false when memory runs out (out is left as it was).
 * At least doubles (linear total cost), but never beyond what the rest of
 * the text (rest bytes, this one included) can need: three bytes each.
 */
bool grow(Out &out, size_t n, size_t rest)
{
    size_t step = out.used + n + 32;
    size_t most = out.used + 3 * rest + 1;
    size_t cap = std::min(std::max(step, 2 * out.cap), most);
    auto *bigger = static_cast<char *>(mem_malloc(cap, KEM_TAG));
    if (!bigger)
        return false;
    std::memcpy(bigger, out.buf, out.used);
    mem_free(out.buf, KEM_TAG);
    out.buf = bigger;
    out.cap = cap;
    return true;
}

/* Escapes text (len bytes, no zero among them) into a new block; false when
   memory runs out (nothing left allocated). */
bool escape(const unsigned char *text, size_t len, bool form, Out &out)
{
    static constexpr char hex[] = "0123456789abcdef";
    const Piece *cls = form ? classes.form : classes.plain;
    out = {static_cast<char *>(mem_calloc(1, len + 11, KEM_TAG)), 0, len + 11};
    if (!out.buf)
        return false;
    for (size_t i = 0; i < len; ++i) {
        unsigned char b = text[i];
        Piece p = cls[b];
        size_t n = p == escaped ? 3 : 1;
        if (out.cap - out.used <= n && !grow(out, n, len - i)) {
            mem_free(out.buf, KEM_TAG);
            return false;
        }
        char *w = out.buf + out.used;
        if (p == escaped) {
            w[0] = '%';
            w[1] = hex[b >> 4];
            w[2] = hex[b & 15];
        } else {
            w[0] = p == plus ? '+' : static_cast<char>(b);
        }
        out.used += n;
    }
    out.buf[out.used] = '\0';
    return true;
}

}  // namespace

extern "C" int lua_rfc1630_escape(lua_State *L)
{
    if (lua_gettop(L) != 2)
        return argerror(L, "%s() requires %d arguments", fname, 2);
    if (!lua_isstring(L, 1))
        return argerror(L, "%s() requires %s for argument #%d", fname, "string", 1);
    const char *text = lua_tolstring(L, 1, nullptr);  /* a number becomes its text */
    if (lua_type(L, 2) != LUA_TBOOLEAN)
        return argerror(L, "%s() requires %s for argument #%d", fname, "boolean", 2);
    bool form = lua_toboolean(L, 2);
    if (!text) {
        lua_pushstring(L, text);  /* nil */
        return 1;
    }

    int guard = kem_guard_push(L, kem_push_bytes, 0);  /* may raise: nothing held yet */
    Out out;
    if (!escape(reinterpret_cast<const unsigned char *>(text), std::strlen(text), form, out)) {
        lua_pushstring(L, text);  /* out of memory: the input unchanged */
        return 1;
    }
    if (kem_push_freed(L, guard, out.buf, out.used) != 0)
        return lua_error(L);  /* the push's own error, once the block is released */
    return 1;
}

extern "C" int escape_init(lua_State *L)
{
    LuaScript_MakeFunction(L, "RFC1630_Escape", lua_rfc1630_escape);
    return 0;
}
