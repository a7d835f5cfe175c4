/*
 * Throughput of the JSON bridge against its peer and its floors, in one run,
 * on six document shapes (device listing, nested configuration, number-heavy
 * array, string-heavy text with some escapes and UTF-8, the same with every
 * word escaped or UTF-8, a 1 KB document):
 *
 *   decode: json2lua          | cjson.decode (Debian's lua-cjson) | yajl parse alone
 *   encode: lua2json          | cjson.encode                      | yajl generator alone
 *                                                                   (two floors, below)
 *
 * The floors do everything but the Lua work: yajl_parse with callbacks that
 * return at once; a yajl generator replaying the document from a C tree with
 * the same calls lua2json makes, numbers as ready texts (yajl_gen) or
 * formatted from their doubles as a C encoder holding numbers would do
 * (yajl_gen_c, "%.14g": the same texts). Every operation is
 * one whole call, parser or generator created and freed each time. MB/s
 * count the compact document's size for every operation. After the run a table
 * prints the figures and their ratios.
 *
 *   ./build.sh bench json
 *   bench_json --instructions OP DOC N   runs N operations for callgrind
 *     (see docs/json.md: valgrind --tool=callgrind --toggle-collect=kem_bench_ops)
 */
#include <benchmark/benchmark.h>

extern "C" {
#include <lauxlib.h>
#include <lualib.h>
}
#include <yajl/yajl_tree.h>

#include "kemluautils.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

/* ---- documents ----------------------------------------------------------- */

struct Doc {
    const char *name;
    std::string text;
};

unsigned next_random(unsigned *seed)
{
    *seed = *seed * 1103515245u + 12345u;
    return (*seed >> 8) & 0xffffff;
}

std::string device_listing()
{
    unsigned seed = 1;
    std::string s = "[";
    for (int i = 0; i < 400; ++i) {
        char buf[320];
        unsigned r = next_random(&seed);
        std::snprintf(buf, sizeof buf,
                      "%s{\"id\":%d,\"name\":\"port-%d\",\"mac\":\"00:1a:2b:%02x:%02x:%02x\","
                      "\"ip\":\"192.168.%u.%u\",\"up\":%s,\"speed\":%d,\"vlan\":null,"
                      "\"tags\":[\"lan\",\"managed\"],\"rx\":%u,\"load\":%u.%02u}",
                      i ? "," : "", i + 1, i + 1, r & 255, (r >> 8) & 255, (r >> 16) & 255,
                      (r >> 4) & 255, r & 255, r & 1 ? "true" : "false", r & 2 ? 1000 : 100,
                      r * 37u, r % 100, r % 97);
        s += buf;
    }
    return s + "]";
}

void config_section(std::string &s, int level, unsigned *seed)
{
    s += "{";
    for (int i = 0; i < 6; ++i) {
        char buf[160];
        unsigned r = next_random(seed);
        if (i)
            s += ",";
        if (level < 4 && i < 3) {
            std::snprintf(buf, sizeof buf, "\"section_%d_%d\":", level, i);
            s += buf;
            config_section(s, level + 1, seed);
            continue;
        }
        switch (r % 4) {
        case 0: std::snprintf(buf, sizeof buf, "\"option%d\":\"value %u\"", i, r); break;
        case 1: std::snprintf(buf, sizeof buf, "\"enabled%d\":%s", i, r & 8 ? "true" : "false"); break;
        case 2: std::snprintf(buf, sizeof buf, "\"timeout%d\":%u", i, r % 3600); break;
        default: std::snprintf(buf, sizeof buf, "\"list%d\":[\"a%u\",\"b\",%u]", i, r % 10, r % 50); break;
        }
        s += buf;
    }
    s += "}";
}

std::string configuration()
{
    unsigned seed = 2;
    std::string s;
    config_section(s, 0, &seed);
    return s;
}

std::string number_heavy()
{
    unsigned seed = 3;
    std::string s = "[";
    for (int i = 0; i < 8000; ++i) {
        char buf[40];
        unsigned r = next_random(&seed);
        switch (i % 4) {
        case 0: std::snprintf(buf, sizeof buf, "%u", r); break;
        case 1: std::snprintf(buf, sizeof buf, "-%u.%u", r % 1000, r % 10); break;
        case 2: std::snprintf(buf, sizeof buf, "%u.%03u", r % 100000, r % 1000 + 1); break;
        default: std::snprintf(buf, sizeof buf, "%u", r % 100); break;
        }
        if (i)
            s += ",";
        s += buf;
    }
    return s + "]";
}

/* Strings of words, one word in `special` of them with an escape or UTF-8. */
std::string strings_of(const char *const *special, int n_special, int every, unsigned seed)
{
    const char *words[] = {"the", "device", "reports", "status", "of", "interface",
                           "connected", "with", "address", "lease", "renewed", "after",
                           "timeout", "wireless", "client", "signal"};
    std::string s = "{\"messages\":[";
    for (int i = 0; i < 1200; ++i) {
        s += i ? ",\"" : "\"";
        for (int j = 0; j < 8; ++j) {
            unsigned r = next_random(&seed);
            s += j ? " " : "";
            s += r % every == 0 ? special[r / every % n_special] : words[r % 16];
        }
        s += "\"";
    }
    s += "],\"labels\":{";
    for (int i = 0; i < 200; ++i) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%s\"label_%d\":\"", i ? "," : "", i);
        s += buf;
        s += i % every == 0 ? special[i % n_special] : words[i % 16];
        s += " ";
        s += words[(i + 3) % 16];
        s += "\"";
    }
    return s + "}}";
}

const char *const specials[] = {"Gr\xc3\xbc\xc3\x9f" "e", "\\\"quoted\\\"", "line\\nbreak",
                                "tab\\there", "\\u00e9t\\u00e9", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e",
                                "emoji \xf0\x9f\x98\x80", "path\\/to\\\\file", "\\ud83d\\ude00"};

/* Text with an escape or a UTF-8 character in about one word of four. */
std::string string_heavy()
{
    return strings_of(specials, 9, 4, 4);
}

/* Every word escaped or UTF-8: yajl's slowest case. */
std::string escape_dense()
{
    return strings_of(specials, 9, 1, 5);
}

std::string one_kb()
{
    std::string s = "{\"device\":{\"serial\":\"EX0000000042\",\"model\":\"Example Gateway 100\","
                    "\"firmware\":\"7.57\",\"uptime\":1234567,\"ok\":true},\"interfaces\":[";
    for (int i = 0; i < 10; ++i) {
        char buf[200];
        std::snprintf(buf, sizeof buf,
                      "%s{\"name\":\"eth%d\",\"up\":%s,\"mtu\":1500,\"rx\":%d,\"tx\":%d,"
                      "\"addr\":\"fe80::1:%d\",\"load\":0.%d5}",
                      i ? "," : "", i, i % 2 ? "true" : "false", 1000 * i + 7, 333 * i, i, i);
        s += buf;
    }
    s += "],\"note\":\"Stra\\u00dfe \\\"A\\\"\"}";
    return s;
}

std::vector<Doc> &documents()
{
    static std::vector<Doc> docs = {
        {"device_listing", device_listing()}, {"configuration", configuration()},
        {"number_heavy", number_heavy()},     {"string_heavy", string_heavy()},
        {"escape_dense", escape_dense()},     {"1kb_document", one_kb()},
    };
    return docs;
}

/* ---- the interpreter with cjson, and the prepared values ----------------- */

struct World {
    lua_State *L = nullptr;
    int decode = LUA_NOREF, encode = LUA_NOREF;
    std::vector<int> texts, tables; /* registry references per document */
    std::vector<yajl_val> trees;
};

World &world()
{
    static World w;
    if (w.L)
        return w;
    w.L = luaL_newstate();
    lua_State *L = w.L;
    luaL_openlibs(L);
    if (luaL_dostring(L, "local c = require 'cjson' return c.decode, c.encode")) {
        std::fprintf(stderr, "lua-cjson: %s\n", lua_tostring(L, -1));
        std::exit(1);
    }
    w.encode = luaL_ref(L, LUA_REGISTRYINDEX);
    w.decode = luaL_ref(L, LUA_REGISTRYINDEX);
    for (const Doc &d : documents()) {
        lua_pushlstring(L, d.text.data(), d.text.size());
        w.texts.push_back(luaL_ref(L, LUA_REGISTRYINDEX));
        if (json2lua(L, d.text.c_str(), 64) != 0) {
            std::fprintf(stderr, "%s does not parse\n", d.name);
            std::exit(1);
        }
        w.tables.push_back(luaL_ref(L, LUA_REGISTRYINDEX));
        char err[200];
        w.trees.push_back(yajl_tree_parse(d.text.c_str(), err, sizeof err));
    }
    return w;
}

/* ---- the operations ------------------------------------------------------ */

int nothing(void *) { return 1; }
int nothing_b(void *, int) { return 1; }
int nothing_i(void *, long long) { return 1; }
int nothing_d(void *, double) { return 1; }
int nothing_s(void *, const unsigned char *, size_t) { return 1; }

const yajl_callbacks empty_callbacks = {nothing,   nothing_b, nothing_i, nothing_d,
                                        nullptr,   nothing_s, nothing,   nothing_s,
                                        nothing,   nothing,   nothing};

/* Replays a yajl tree into a generator with lua2json's calls; numbers are
   written from their texts, or with format_numbers from their double values
   as a C encoder holding numbers would ("%.14g", the same texts). */
void replay(yajl_gen g, yajl_val v, bool format_numbers)
{
    switch (v->type) {
    case yajl_t_string:
        yajl_gen_string(g, reinterpret_cast<const unsigned char *>(v->u.string),
                        std::strlen(v->u.string));
        break;
    case yajl_t_number:
        if (format_numbers) {
            char buf[32];
            int n = std::snprintf(buf, sizeof buf, "%.14g", v->u.number.d);
            yajl_gen_number(g, buf, static_cast<size_t>(n));
        } else {
            yajl_gen_number(g, v->u.number.r, std::strlen(v->u.number.r));
        }
        break;
    case yajl_t_object:
        yajl_gen_map_open(g);
        for (size_t i = 0; i < v->u.object.len; ++i) {
            if (v->u.object.values[i]->type == yajl_t_null)
                continue; /* json2lua left it out, so lua2json does not see it */
            yajl_gen_string(g, reinterpret_cast<const unsigned char *>(v->u.object.keys[i]),
                            std::strlen(v->u.object.keys[i]));
            replay(g, v->u.object.values[i], format_numbers);
        }
        yajl_gen_map_close(g);
        break;
    case yajl_t_array:
        yajl_gen_array_open(g);
        for (size_t i = 0; i < v->u.array.len; ++i)
            if (v->u.array.values[i]->type != yajl_t_null)
                replay(g, v->u.array.values[i], format_numbers);
        yajl_gen_array_close(g);
        break;
    case yajl_t_true: yajl_gen_bool(g, 1); break;
    case yajl_t_false: yajl_gen_bool(g, 0); break;
    default: yajl_gen_null(g); break;
    }
}

enum Op {
    op_json2lua, op_cjson_decode, op_yajl_parse,
    op_lua2json, op_cjson_encode, op_yajl_gen, op_yajl_gen_c, op_count
};
const char *op_names[] = {"json2lua", "cjson.decode", "yajl_parse", "lua2json",
                          "cjson.encode", "yajl_gen", "yajl_gen_c"};

/* One operation on document d; false when it failed. */
bool run_op(int op, size_t d)
{
    World &w = world();
    lua_State *L = w.L;
    const std::string &text = documents()[d].text;
    switch (op) {
    case op_json2lua:
        if (json2lua(L, text.c_str(), 64) != 0)
            return false;
        lua_pop(L, 1);
        return true;
    case op_cjson_decode:
    case op_cjson_encode:
        lua_rawgeti(L, LUA_REGISTRYINDEX, op == op_cjson_decode ? w.decode : w.encode);
        lua_rawgeti(L, LUA_REGISTRYINDEX, op == op_cjson_decode ? w.texts[d] : w.tables[d]);
        lua_call(L, 1, 1);
        lua_pop(L, 1);
        return true;
    case op_yajl_parse: {
        yajl_handle h = yajl_alloc(&empty_callbacks, nullptr, nullptr);
        bool ok = yajl_parse(h, reinterpret_cast<const unsigned char *>(text.c_str()),
                             text.size()) == yajl_status_ok &&
                  yajl_complete_parse(h) == yajl_status_ok;
        yajl_free(h);
        return ok;
    }
    case op_lua2json: {
        yajl_gen g = yajl_gen_alloc(nullptr);
        lua_rawgeti(L, LUA_REGISTRYINDEX, w.tables[d]);
        bool ok = lua2json(L, g, 64) == 0;
        lua_pop(L, 1);
        yajl_gen_free(g);
        return ok;
    }
    default: {
        yajl_gen g = yajl_gen_alloc(nullptr);
        replay(g, w.trees[d], op == op_yajl_gen_c);
        yajl_gen_free(g);
        return true;
    }
    }
}

void measure(benchmark::State &state, int op, size_t d)
{
    for (auto _ : state)
        if (!run_op(op, d))
            state.SkipWithError("operation failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(documents()[d].text.size()));
}

/* Collects bytes per second by benchmark name for the summary. */
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> rate;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs) {
            auto it = r.counters.find("bytes_per_second");
            if (it != r.counters.end())
                rate[r.benchmark_name()] = it->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void summary(const Collector &c)
{
    auto mbs = [&](int op, const Doc &d) {
        auto it = c.rate.find(std::string(op_names[op]) + "/" + d.name);
        return it == c.rate.end() ? 0.0 : it->second / 1e6;
    };
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf("\nDecode, MB/s of the document text\n");
    std::printf("%-15s %6s %9s %12s %10s %10s %10s\n", "document", "KB", "json2lua",
                "cjson.decode", "yajl_parse", "/cjson", "/yajl");
    for (const Doc &d : documents()) {
        double a = mbs(op_json2lua, d), b = mbs(op_cjson_decode, d), f = mbs(op_yajl_parse, d);
        std::printf("%-15s %6.1f %9.1f %12.1f %10.1f %9.2fx %9.2fx\n", d.name,
                    d.text.size() / 1024.0, a, b, f, ratio(a, b), ratio(a, f));
    }
    std::printf("\nEncode, MB/s of the document text (yajl_gen: numbers as ready texts;"
                " yajl_gen_c: numbers formatted from doubles)\n");
    std::printf("%-15s %6s %9s %12s %10s %10s %10s %10s %10s\n", "document", "KB", "lua2json",
                "cjson.encode", "yajl_gen", "yajl_gen_c", "/cjson", "/yajl_gen", "/yajl_c");
    for (const Doc &d : documents()) {
        double e = mbs(op_lua2json, d), g = mbs(op_cjson_encode, d), h = mbs(op_yajl_gen, d),
               hc = mbs(op_yajl_gen_c, d);
        std::printf("%-15s %6.1f %9.1f %12.1f %10.1f %10.1f %9.2fx %9.2fx %9.2fx\n", d.name,
                    d.text.size() / 1024.0, e, g, h, hc, ratio(e, g), ratio(e, h), ratio(e, hc));
    }
}

}  // namespace

/* The measured loop for callgrind (--toggle-collect=kem_bench_ops). */
extern "C" __attribute__((noinline)) void kem_bench_ops(int op, size_t d, long n)
{
    for (long i = 0; i < n; ++i)
        if (!run_op(op, d))
            std::abort();
}

int main(int argc, char **argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--instructions") == 0) {
        int op = -1;
        for (int i = 0; i < op_count; ++i)
            if (std::strcmp(argv[2], op_names[i]) == 0)
                op = i;
        size_t d = 0;
        while (d < documents().size() && std::strcmp(documents()[d].name, argv[3]) != 0)
            ++d;
        if (op < 0 || d == documents().size()) {
            std::fprintf(stderr, "unknown operation or document\n");
            return 2;
        }
        world();
        run_op(op, d); /* warm up outside the collected part */
        kem_bench_ops(op, d, std::atol(argv[4]));
        return 0;
    }
    for (int op = 0; op < op_count; ++op)
        for (size_t d = 0; d < documents().size(); ++d)
            benchmark::RegisterBenchmark(
                (std::string(op_names[op]) + "/" + documents()[d].name).c_str(),
                [op, d](benchmark::State &s) { measure(s, op, d); });
    benchmark::Initialize(&argc, argv);
    world();
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    summary(collector);
    benchmark::Shutdown();
    return 0;
}
