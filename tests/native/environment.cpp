// Device profiles (files over the built-in one, refusals, KEM_DEVICE_PROFILE),
// localized texts, and templates in the text interpreter's language.
#include "support.h"

#include "platform/env.h"
#include "platform/host/profile.h"
#include "platform/localize.h"
#include "platform/repl.h"

#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>

namespace {

std::string str(const char *text) { return text ? text : "(null)"; }

std::string text_of(int64_t id, const char *language)
{
    char *t = localize_text(id, language);
    std::string s = str(t);
    mem_free(t, KEM_TAG);
    return s;
}

/* A private folder for profile files; the built-in profile before and after. */
class Profile : public LuaTest {
protected:
    std::string dir;

    void SetUp() override
    {
        LuaTest::SetUp();
        char tmpl[] = "/tmp/kem_profile_XXXXXX";
        dir = mkdtemp(tmpl);
        unsetenv(ENV_PROFILE_VARIABLE);
        env_reset_profile();
    }
    void TearDown() override
    {
        unsetenv(ENV_PROFILE_VARIABLE);
        env_reset_profile();
        EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
        LuaTest::TearDown();
    }

    std::string write(const std::string &name, const std::string &json)
    {
        std::ofstream(dir + "/" + name, std::ios::binary) << json;
        return dir + "/" + name;
    }

    /* Loads the profile file at path: "" or the reason it was refused. */
    std::string load_file(const std::string &path)
    {
        char err[512] = "untouched";
        if (env_load_profile(path.c_str(), err, sizeof err) == 0)
            return "";
        EXPECT_EQ(std::string(err).rfind(path + ": ", 0), 0u) << err;  // names the file first
        return std::string(err).substr(std::min(std::strlen(err), path.size() + 2));
    }
    std::string load(const std::string &json) { return load_file(write("p.json", json)); }

    /* repl_process on text with lookup: its result, then the pieces joined with '|'. */
    std::string process(const char *text, repl_lookup_fn lookup = interp_lookup_db_field, int stop_after = 0)
    {
        struct Out {
            std::string pieces;
            int left;
        } out{"", stop_after};
        unsigned char context[REPL_CONTEXT_SIZE] = {};
        repl_init_context(context);
        int32_t r = repl_process(&out, nullptr, context, text, lookup, nullptr,
                                 [](void *user, void *, const char *piece, size_t len) {
                                     auto *o = static_cast<Out *>(user);
                                     o->pieces += "|" + std::string(piece, len);
                                     return static_cast<int>(--o->left == 0);
                                 });
        return std::to_string(r) + out.pieces;
    }
};

/* A lookup over fixed fields: x, empty, and nul (a, zero byte, b). */
const char *fields(void *, const char *name, size_t len, size_t *value_len)
{
    std::string n(name, len);
    const char *v = n == "x" ? "X" : n == "empty" ? "" : n == "nul" ? "a\0b" : nullptr;
    *value_len = n == "nul" ? 3 : v ? std::strlen(v) : 0;
    return v;
}

}  // namespace

TEST_F(Profile, FileFieldsOverrideTheBuiltinOnesAndMissingOnesFallBack)
{
    EXPECT_EQ(env_language_is_allowed("en") * 10 + env_language_is_allowed("EN"), 10);
    EXPECT_EQ(str(env_predefined_url("update")), "https://update.example.net/firmware");
    EXPECT_EQ(env_predefined_url(nullptr), nullptr);
    EXPECT_EQ(text_of(3, "fr"), "Abmelden");  // missing in French: the device's language
    ASSERT_EQ(load(R"({"oem": "demo", "country": "Austria", "country_iso": "AT", "country_is_default": 0,
      "language": "de", "language_is_default": 17, "languages": ["de", "it"], "serial_number": "SN-1",
      "urls": {"help": "https://help.example.org/"}, "texts": {"de": {"1": "Hallo", "-5": "minus"}, "it": {"1": "Ciao"}}})"),
              "");
    EXPECT_EQ(str(env_oem()) + str(env_serial_number()) + str(env_language()), "demoSN-1de");
    EXPECT_EQ(env_country_is_default() * 100 + env_language_is_default(), 17);
    EXPECT_EQ(env_language_is_allowed("it") * 10 + env_language_is_allowed("en"), 10);
    EXPECT_EQ(env_predefined_url("update"), nullptr);  // urls replaced as a whole
    EXPECT_EQ(text_of(-5, "") + text_of(2, "it") + text_of(1, "it"), "minus(null)Ciao");
    const std::pair<const char *, int> names[] = {{"Austria", 1}, {"aT", 1}, {"austria", 0}, {"A", 0}, {nullptr, 0}};
    for (auto [name, is] : names)  // the name exactly, or the ISO code in any case
        EXPECT_EQ(env_country_is(name), is) << str(name);

    ASSERT_EQ(load(R"({"country_iso": "FR", "languages": [], "country_is_default": false,
      "language_is_default": true})"), "");
    EXPECT_EQ(str(env_country_iso()) + str(env_country()) + str(env_oem()), "FRGermanyexample");
    EXPECT_EQ(env_language_is_allowed("de") * 100 + env_country_is_default() * 10 + env_language_is_default(), 1);
    ASSERT_EQ(env_load_profile(nullptr, nullptr, 0), 0);
    EXPECT_EQ(str(env_country_iso()), "DE");
    std::string path = write("p.json", R"({"oem": "again", "texts": {"de": {"1": "x", "2": "y", "3": "z"}}})");
    size_t heap = mallinfo2().uordblks;
    for (int i = 0; i < 300; ++i) {  // profiles selected again and again cost no memory
        ASSERT_EQ(env_load_profile(path.c_str(), nullptr, 0), 0);
        env_reset_profile();
    }
    EXPECT_LT(mallinfo2().uordblks, heap + 64 * 1024);
    int in = dup(0);  // a file read on descriptor 0 works and is closed
    close(0);
    EXPECT_EQ(load_file(path), "");
    EXPECT_EQ(fcntl(0, F_GETFD), -1);
    dup2(in, 0);
    close(in);
}

TEST_F(Profile, RefusedProfilesSayWhyAndTheOldOneStays)
{
    ASSERT_EQ(load(R"({"oem": "first"})"), "");
    const char *db = "must map field names to a string, number or boolean, or to an object of languages to such values";
    std::string nested = std::string(14, '[') + std::string(14, ']');
    std::string padded = R"({"oem": "big"})";
    padded.resize(1024 * 1024, ' ');
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    const std::pair<std::string, std::string> files[] = {
        {write("a", "{\"oem\": \"x\""), "not valid JSON: parse error: premature EOF"},
        {write("b", "[1]"), "a profile must be a JSON object"},
        {write("c", R"({"langauge": "de"})"), "unknown field \"langauge\""},
        {write("d", R"({"country": null})"), "field \"country\": must be a string"},
        {write("e", R"({"country_is_default": 4294967296})"), "field \"country_is_default\": must be true, false or a 32-bit integer"},
        {write("f", R"({"language_is_default": 1.5})"), "field \"language_is_default\": must be true, false or a 32-bit integer"},
        {write("g", R"({"languages": ["de", 1]})"), "field \"languages\": must be an array of strings"},
        {write("g2", R"({"languages": "de"})"), "field \"languages\": must be an array of strings"},
        {write("h", R"({"urls": {"a": "u", "b": 2}})"), "field \"urls\", member \"b\": must be an object of strings"},
        {write("i", R"({"texts": {"de": {"1x": "t"}}})"),
         "field \"texts\", member \"de\": must map languages to objects of text ids (integers) to strings"},
        {write("j", R"({"db": {"a": )" + nested + "}}"), std::string("field \"db\", member \"a\": ") + db},
        {write("k", R"({"db": {"a": [)" + nested + "]}}"), "nested deeper than 16 levels"},
        {write("k2", R"({"db": /*"*/ {"a": [)" + nested + R"(]} /*"*/})"), "nested deeper than 16 levels"},  // as yajl reads comments
        {write("o", R"({"oem": "a", "oem": "b"})"), "field \"oem\" is given twice"},
        {write("o2", R"({"db": {"s": {"de": "a", "en": "b", "de": "c"}}})"), "field \"db\": member \"de\" is given twice"},
        {write("o4", R"({"oem": "x", "db": {"oem": "a", "oem": "b"}})"), "field \"db\": member \"oem\" is given twice"},
        {write("o3", R"({"texts": {"de": {"1": "a", "01": "b"}}})"),
         "field \"texts\", member \"de\": text ids \"1\" and \"01\" are one number"},
        {write("m", padded + " "), "larger than the limit of 1048576 bytes"},
        {dir + "/fifo", "not a regular file"},
        {dir + "/missing", "cannot read the file: No such file or directory"},
        {write("n", std::string("{\"oem\": \"a\"}\0{", 15)), "cannot read the file: the file holds a zero byte"},
    };
    for (const auto &[path, why] : files)
        EXPECT_EQ(load_file(path), why) << path;
    EXPECT_EQ(str(env_oem()), "first");
    char small[8] = "1234567";  // a short or absent message buffer is never overrun
    EXPECT_EQ(env_load_profile("/nonexistent", small, 4), -1);
    EXPECT_STREQ(small, "/no");
    EXPECT_EQ(env_load_profile("/nonexistent", nullptr, 0), -1);
    // at the size limit; brackets inside strings, an escaped quote among them
    EXPECT_EQ(load(padded), "");
    EXPECT_EQ(load(R"({"oem": "[[[[[[[[[[[[[[[[[[\"{{{{{{{{{{{{{{{{{{"})"), "");
    std::string many = R"({"urls": {)";  // 100,000 members in 1 MiB: names told apart without a quadratic search
    const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (int i = 0; i < 100000; ++i)
        many += std::string(i ? ",\"" : "\"") + digits[i / 3844] + digits[i / 62 % 62] + digits[i % 62] + "\": \"\"";
    EXPECT_EQ(load(many + "}}"), "");
    EXPECT_EQ(str(env_predefined_url("q0T")), "");  // 99,999
}

TEST_F(Profile, TheVariableSelectsAProfileAndABadOneIsReportedOnce)
{
    std::string good = write("good.json", R"({"oem": "from-variable"})"), bad = write("bad.json", R"({"oem": [}")");
    const char *rows[][3] = {{good.c_str(), "from-variable", ""}, {bad.c_str(), "example", "not valid JSON: "},
                             {"", "example", ""}};
    for (auto &[value, oem, why] : rows) {
        setenv(ENV_PROFILE_VARIABLE, value, 1);
        env_reset_profile();
        testing::internal::CaptureStderr();
        EXPECT_EQ(str(env_oem()) + str(env_country()), oem + std::string("Germany"));
        std::string out = testing::internal::GetCapturedStderr();  // one line, once
        EXPECT_TRUE(*why ? out.starts_with("libkemluautils: " + bad + ": " + why) &&
                               out.ends_with("; using the built-in device profile\n") && out.find('\n') == out.size() - 1
                         : out.empty()) << out;
    }
}

TEST_F(Profile, TemplatesAndTheInterpretersLanguage)
{
    using namespace std::string_literals;
    const std::pair<const char *, std::string> rows[] = {
        {"", "0"}, {"a{{x}}b{{x}}", "0|a|X|b|X"}, {"a{{nope}}b{{}}c", "2|a|b|c"}, {"{{nul}}", "0|a\0b"s},
        {"a{{x}}b{{x", "0|a|X|b{{x"}, {"}} {x} {{x}}}", "0|}} {x} |X|}"}, {"{{ x }}", "1"}, {"[{{empty}}]", "0|[||]"},
        {"{{#1}}|{{#}}{{#x}}{{#1 }}{{#99}}{{#99999999999999999999}}", "5|Willkommen||"},
        {"{{%00}}{{%7B}}{{%7b}}{{%0}}{{%0g}}{{%000}}", "3|\0|{|{"s},
    };
    for (auto &[text, result] : rows)
        EXPECT_EQ(process(text, fields), result) << text;
    EXPECT_EQ(process("{{x}}{{%41}}", nullptr), "1|A");  // no lookup: no field resolves
    EXPECT_EQ(process("a{{x}}b{{#1}}c", fields, 2), "-1|a|X");  // the output asks to stop
    unsigned char context[REPL_CONTEXT_SIZE] = {};  // not prepared
    EXPECT_EQ(repl_process(nullptr, nullptr, context, "text", fields, nullptr, nullptr), -1);

    EXPECT_EQ(process("{{status}} {{uptime_days}} {{stat}}{{status }}"), "2|Verbunden| |12| ");
    interp_set_language("en");
    EXPECT_EQ(text_of(2, "fr"), "Param\xc3\xa8tres");  // an explicit language wins
    interp_set_language("it");  // none of its own: the device's
    EXPECT_EQ(process("{{status}}{{#1}}") + text_of(4, ""), "0|Verbunden|Willkommen(null)");
    interp_set_language("fr");
    interp_set_language(nullptr);
    EXPECT_EQ(process("{{status}}"), "0|Verbunden");

    ASSERT_EQ(load(R"({"language": "it", "db": {"on": false, "n": -1.5e3, "g": {"it": "Ciao", "en": ""}}})"), "");
    EXPECT_EQ(process("{{on}} {{n}} {{g}}"), "0|false| |-1.5e3| |Ciao");
    interp_set_language("en");
    EXPECT_EQ(process("<{{g}}>{{device_name}}"), "1|<||>");
}
