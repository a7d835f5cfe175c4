/*
 * Host device environment service, on a device profile.
 *
 * The profile in force is a yajl parse tree: the built-in profile (parsed on
 * first use and kept for the life of the process) and, when one is
 * selected, a profile file whose fields override the built-in ones field by
 * field. Both trees live on the C allocator (yajl's default), not on the
 * tagged allocator: they are service state, not the library's blocks.
 *
 * Caveats: one thread only. Selecting another profile frees the old file
 * tree, so texts handed out before become invalid. A profile with a string
 * holding "\u0000" is cut at it (the tree keeps no lengths). A profile file
 * is read and parsed by profile_read (profile_parse.cpp) and gives no name
 * twice in one object (the tree would keep both).
 */
#include "platform/env.h"
#include "platform/host/profile.h"
#include "platform/repl.h"

#include <yajl/yajl_tree.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

/* What a profile field holds, for validation. */
enum class Kind { text, flag, text_array, text_map, text_table, db };

enum Field {
    f_oem, f_country, f_country_iso, f_country_is_default, f_language,
    f_language_is_default, f_languages, f_serial_number, f_urls, f_texts, f_db,
    field_count
};

struct FieldSpec {
    const char *name;
    Kind kind;
};

const FieldSpec field_specs[field_count] = {
    {"oem", Kind::text},
    {"country", Kind::text},
    {"country_iso", Kind::text},
    {"country_is_default", Kind::flag},
    {"language", Kind::text},
    {"language_is_default", Kind::flag},
    {"languages", Kind::text_array},
    {"serial_number", Kind::text},
    {"urls", Kind::text_map},
    {"texts", Kind::text_table},
    {"db", Kind::db},
};

/* The built-in profile: a German device of a made-up OEM. */
const char builtin_json[] = R"({
  "oem": "example",
  "country": "Germany",
  "country_iso": "DE",
  "country_is_default": true,
  "language": "de",
  "language_is_default": true,
  "languages": ["de", "en", "fr"],
  "serial_number": "EX0000000001",
  "urls": {
    "help": "https://help.example.net/",
    "update": "https://update.example.net/firmware",
    "provider": "https://www.example.net/"
  },
  "texts": {
    "de": {"1": "Willkommen", "2": "Einstellungen", "3": "Abmelden"},
    "en": {"1": "Welcome", "2": "Settings", "3": "Log out"},
    "fr": {"1": "Bienvenue", "2": "Param\u00e8tres"}
  },
  "db": {
    "device_name": "Example Gateway 100",
    "firmware_version": "7.57",
    "uptime_days": 12,
    "status": {"de": "Verbunden", "en": "Connected", "fr": "Connect\u00e9"}
  }
})";

yajl_val builtin_tree;          /* parsed on first use, never freed */
yajl_val file_tree;             /* the selected file's tree, or null */
yajl_val fields[field_count];   /* the value in force of each field, or null */
bool selected;                  /* fields[] reflect a selection */

/* The value of key in a yajl object (first match), or null. */
yajl_val member(yajl_val object, const char *key, size_t len)
{
    if (!YAJL_IS_OBJECT(object))
        return nullptr;
    for (size_t i = 0; i < object->u.object.len; ++i) {
        const char *k = object->u.object.keys[i];
        if (std::strlen(k) == len && std::memcmp(k, key, len) == 0)
            return object->u.object.values[i];
    }
    return nullptr;
}

yajl_val member(yajl_val object, const char *key)
{
    return key ? member(object, key, std::strlen(key)) : nullptr;
}

/* The integer a text id key stands for; false when it is no decimal integer. */
bool text_id(const char *key, int64_t *id)
{
    const char *end = key + std::strlen(key);
    auto [p, ec] = std::from_chars(key, end, *id);
    return ec == std::errc() && p == end && p != key;
}

bool is_scalar(yajl_val v)
{
    return YAJL_IS_STRING(v) || YAJL_IS_NUMBER(v) || YAJL_IS_TRUE(v) || YAJL_IS_FALSE(v);
}

/* Writes "path: <problem>" into errbuf. */
void problem(char *errbuf, size_t size, const char *path, const char *what, const char *name = "",
             const char *name2 = "")
{
    if (size > 0)
        std::snprintf(errbuf, size, "%s: %s%s%s", path, what, name, name2);
}

/* Checks every member of an object with ok(); names the first bad key. */
template <typename Ok>
bool members_ok(yajl_val object, Ok ok, const char **bad)
{
    for (size_t i = 0; i < object->u.object.len; ++i)
        if (!ok(object->u.object.keys[i], object->u.object.values[i])) {
            *bad = object->u.object.keys[i];
            return false;
        }
    return true;
}

/* Checks one field's value against its kind; on a fault names what is wrong. */
bool field_ok(yajl_val v, Kind kind, const char **what, const char **bad)
{
    *bad = "";
    switch (kind) {
    case Kind::text:
        *what = "must be a string";
        return YAJL_IS_STRING(v);
    case Kind::flag:
        *what = "must be true, false or a 32-bit integer";
        return YAJL_IS_TRUE(v) || YAJL_IS_FALSE(v) ||
               (YAJL_IS_INTEGER(v) && v->u.number.i >= INT32_MIN && v->u.number.i <= INT32_MAX);
    case Kind::text_array:
        *what = "must be an array of strings";
        if (!YAJL_IS_ARRAY(v))
            return false;
        for (size_t i = 0; i < v->u.array.len; ++i)
            if (!YAJL_IS_STRING(v->u.array.values[i]))
                return false;
        return true;
    case Kind::text_map:
        *what = "must be an object of strings";
        return YAJL_IS_OBJECT(v) &&
               members_ok(v, [](const char *, yajl_val m) { return YAJL_IS_STRING(m); }, bad);
    case Kind::text_table:
        *what = "must map languages to objects of text ids (integers) to strings";
        return YAJL_IS_OBJECT(v) && members_ok(v, [](const char *, yajl_val lang) {
            const char *ignored;
            int64_t id;
            return YAJL_IS_OBJECT(lang) && members_ok(lang, [&](const char *key, yajl_val text) {
                return text_id(key, &id) && YAJL_IS_STRING(text);
            }, &ignored);
        }, bad);
    case Kind::db:
        *what = "must map field names to a string, number or boolean, or to an object of "
                "languages to such values";
        return YAJL_IS_OBJECT(v) && members_ok(v, [](const char *, yajl_val m) {
            const char *ignored;
            return is_scalar(m) || (YAJL_IS_OBJECT(m) && members_ok(m, [](const char *, yajl_val x) {
                return is_scalar(x);
            }, &ignored));
        }, bad);
    }
    return false;
}

/* Validates a parsed profile; 0, or -1 with the problem in errbuf. */
int validate(yajl_val tree, const char *path, char *errbuf, size_t size)
{
    if (!YAJL_IS_OBJECT(tree)) {
        problem(errbuf, size, path, "a profile must be a JSON object");
        return -1;
    }
    for (size_t i = 0; i < tree->u.object.len; ++i) {
        const char *key = tree->u.object.keys[i];
        int f = 0;
        while (f < field_count && std::strcmp(field_specs[f].name, key) != 0)
            ++f;
        if (f == field_count) {
            problem(errbuf, size, path, "unknown field \"", key, "\"");
            return -1;
        }
        const char *what = "", *bad = "";
        if (!field_ok(tree->u.object.values[i], field_specs[f].kind, &what, &bad)) {
            char text[400];
            if (*bad)
                std::snprintf(text, sizeof text, "field \"%s\", member \"%s\": %s", key, bad, what);
            else
                std::snprintf(text, sizeof text, "field \"%s\": %s", key, what);
            problem(errbuf, size, path, text);
            return -1;
        }
    }
    return 0;
}

int by_text(const void *a, const void *b)
{
    return std::strcmp(*static_cast<const char *const *>(a), *static_cast<const char *const *>(b));
}

/*
 * Finds a member name given twice in one object, in v or the values inside
 * it (the tree is at most 16 levels deep): *twice is it, or stays null.
 * false without memory. Sorting a copy of the names keeps an object of
 * 100,000 members fast.
 */
bool find_repeat(yajl_val v, const char **twice)
{
    if (YAJL_IS_ARRAY(v)) {
        for (size_t i = 0; i < v->u.array.len && !*twice; ++i)
            if (!find_repeat(v->u.array.values[i], twice))
                return false;
        return true;
    }
    if (!YAJL_IS_OBJECT(v) || v->u.object.len == 0)
        return true;
    size_t n = v->u.object.len;
    auto *names = static_cast<const char **>(std::malloc(n * sizeof(const char *)));
    if (!names)
        return false;
    std::memcpy(names, v->u.object.keys, n * sizeof *names);
    std::qsort(names, n, sizeof *names, by_text);
    for (size_t i = 1; i < n && !*twice; ++i)
        if (std::strcmp(names[i - 1], names[i]) == 0)
            *twice = names[i];
    std::free(names);
    for (size_t i = 0; i < n && !*twice; ++i)
        if (!find_repeat(v->u.object.values[i], twice))
            return false;
    return true;
}

struct numbered_text {
    int64_t id;
    const char *key;
};

int by_id(const void *a, const void *b)
{
    int64_t x = static_cast<const numbered_text *>(a)->id, y = static_cast<const numbered_text *>(b)->id;
    return (x > y) - (x < y);
}

/*
 * Finds two keys of the text table of one language that name the same id
 * ("01" and "1"): *first and *second, or they stay null. false without
 * memory. The keys are known to be text ids.
 */
bool find_same_id(yajl_val texts, const char **first, const char **second)
{
    size_t n = texts->u.object.len;
    if (n < 2)
        return true;
    auto *ids = static_cast<numbered_text *>(std::malloc(n * sizeof(numbered_text)));
    if (!ids)
        return false;
    for (size_t i = 0; i < n; ++i) {
        ids[i].key = texts->u.object.keys[i];
        text_id(ids[i].key, &ids[i].id);
    }
    std::qsort(ids, n, sizeof *ids, by_id);
    for (size_t i = 1; i < n && !*first; ++i)
        if (ids[i - 1].id == ids[i].id) {
            *first = ids[i - 1].key;
            *second = ids[i].key;
        }
    std::free(ids);
    return true;
}

/*
 * Refuses a profile that gives a name twice in one object (yajl's tree
 * keeps both, and lookups would see the first) or two keys for one text id;
 * 0, or -1 with the problem in errbuf.
 */
int refuse_repeats(yajl_val tree, const char *path, char *errbuf, size_t size)
{
    const char *twice = nullptr, *first = nullptr, *second = nullptr;
    char text[400] = "a name is given twice in one object";
    bool memory = find_repeat(tree, &twice);
    if (memory && twice) {
        std::snprintf(text, sizeof text, "field \"%s\" is given twice", twice);  /* unless inside a field */
        for (size_t i = 0; i < tree->u.object.len; ++i) {
            const char *inner = nullptr;
            find_repeat(tree->u.object.values[i], &inner);
            if (inner) {
                std::snprintf(text, sizeof text, "field \"%s\": member \"%s\" is given twice",
                              tree->u.object.keys[i], inner);
                break;
            }
        }
        problem(errbuf, size, path, text);
        return -1;
    }
    yajl_val texts = member(tree, field_specs[f_texts].name);
    for (size_t i = 0; memory && texts && i < texts->u.object.len && !first; ++i) {
        memory = find_same_id(texts->u.object.values[i], &first, &second);
        if (first) {
            std::snprintf(text, sizeof text, "field \"texts\", member \"%s\": text ids \"%s\" and \"%s\" are one number",
                          texts->u.object.keys[i], first, second);
            problem(errbuf, size, path, text);
            return -1;
        }
    }
    if (memory)
        return 0;
    problem(errbuf, size, path, "not enough memory");
    return -1;
}

/* Parses the built-in profile once. */
void load_builtin()
{
    if (!builtin_tree)
        builtin_tree = yajl_tree_parse(builtin_json, nullptr, 0);
}

/* Puts in force the fields of file (may be null) over the built-in ones. */
void use(yajl_val file)
{
    load_builtin();
    if (file_tree != file)
        yajl_tree_free(file_tree);
    file_tree = file;
    for (int f = 0; f < field_count; ++f) {
        yajl_val v = member(file, field_specs[f].name);
        fields[f] = v ? v : member(builtin_tree, field_specs[f].name);
    }
    selected = true;
}

/* Selects the profile on first use: KEM_DEVICE_PROFILE or the built-in one. */
void ensure()
{
    if (selected)
        return;
    const char *path = std::getenv(ENV_PROFILE_VARIABLE);
    char err[512];
    if (path && *path && env_load_profile(path, err, sizeof err) != 0)
        std::fprintf(stderr, "libkemluautils: %s; using the built-in device profile\n", err);
    if (!selected)
        use(nullptr);
}

const char *text_field(Field f)
{
    ensure();
    return YAJL_GET_STRING(fields[f]);
}

int32_t flag_field(Field f)
{
    ensure();
    yajl_val v = fields[f];
    if (YAJL_IS_INTEGER(v))
        return static_cast<int32_t>(v->u.number.i);
    return YAJL_IS_TRUE(v) ? 1 : 0;
}

/* The text of a scalar database value and its length. */
const char *scalar_text(yajl_val v, size_t *len)
{
    const char *text = YAJL_IS_STRING(v)   ? v->u.string
                       : YAJL_IS_NUMBER(v) ? v->u.number.r
                       : YAJL_IS_TRUE(v)   ? "true"
                       : YAJL_IS_FALSE(v)  ? "false"
                                           : nullptr;
    if (text && len)
        *len = std::strlen(text);
    return text;
}

bool ascii_equal_nocase(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b) {
        unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
        if (x != y && ((x | 0x20) != (y | 0x20) || (x | 0x20) < 'a' || (x | 0x20) > 'z'))
            return false;
    }
    return *a == *b;
}

}  // namespace

extern "C" int env_load_profile(const char *path, char *errbuf, size_t size)
{
    if (!path) {
        use(nullptr);
        return 0;
    }
    char why[200];
    yajl_val tree = profile_read(path, why, sizeof why);
    if (!tree) {
        problem(errbuf, size, path, why);
        return -1;
    }
    if (validate(tree, path, errbuf, size) != 0 || refuse_repeats(tree, path, errbuf, size) != 0) {
        yajl_tree_free(tree);
        return -1;
    }
    use(tree);
    return 0;
}

extern "C" void env_reset_profile(void)
{
    selected = false;
    yajl_tree_free(file_tree);
    file_tree = nullptr;
    interp_set_language(nullptr);
}

extern "C" const char *env_oem(void) { return text_field(f_oem); }
extern "C" const char *env_country(void) { return text_field(f_country); }
extern "C" const char *env_country_iso(void) { return text_field(f_country_iso); }
extern "C" const char *env_language(void) { return text_field(f_language); }
extern "C" const char *env_serial_number(void) { return text_field(f_serial_number); }
extern "C" int32_t env_country_is_default(void) { return flag_field(f_country_is_default); }
extern "C" int32_t env_language_is_default(void) { return flag_field(f_language_is_default); }

extern "C" uint8_t env_country_is(const char *text)
{
    if (!text)
        return 0;
    const char *country = env_country(), *iso = env_country_iso();
    return (country && std::strcmp(text, country) == 0) || (iso && ascii_equal_nocase(text, iso));
}

extern "C" uint8_t env_language_is_allowed(const char *language)
{
    ensure();
    yajl_val list = fields[f_languages];
    if (!language || !YAJL_IS_ARRAY(list))
        return 0;
    for (size_t i = 0; i < list->u.array.len; ++i)
        if (std::strcmp(YAJL_GET_STRING(list->u.array.values[i]), language) == 0)
            return 1;
    return 0;
}

extern "C" const char *env_predefined_url(const char *name)
{
    ensure();
    return YAJL_GET_STRING(member(fields[f_urls], name));
}

const char *profile_text(const char *language, int64_t id)
{
    ensure();
    yajl_val texts = member(fields[f_texts], language);
    if (!YAJL_IS_OBJECT(texts))
        return nullptr;
    for (size_t i = 0; i < texts->u.object.len; ++i) {
        int64_t key;
        if (text_id(texts->u.object.keys[i], &key) && key == id)
            return YAJL_GET_STRING(texts->u.object.values[i]);
    }
    return nullptr;
}

const char *profile_db_field(const char *language, const char *name, size_t len, size_t *value_len)
{
    ensure();
    yajl_val v = member(fields[f_db], name, len);
    if (YAJL_IS_OBJECT(v)) {
        yajl_val own = member(v, language);
        v = own ? own : member(v, env_language());
    }
    return scalar_text(v, value_len);
}
