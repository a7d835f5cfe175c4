// Template service: the pieces it outputs for each kind of reference, its
// count of unresolved references, stopping, and the text interpreter's
// language for fields and texts.
#include "support.h"

#include "platform/env.h"
#include "platform/host/profile.h"
#include "platform/localize.h"
#include "platform/repl.h"

#include <cstring>
#include <vector>

namespace {

struct Collect {
    std::vector<std::string> pieces;
    size_t stop_after = SIZE_MAX;  /* ask to stop once this many have arrived */
    void *user_seen = nullptr;
    void *arg_seen = nullptr;
};

int collect(void *user, void *arg, const char *piece, size_t len)
{
    auto *c = static_cast<Collect *>(user);
    c->user_seen = user;
    c->arg_seen = arg;
    c->pieces.emplace_back(piece, len);
    return c->pieces.size() >= c->stop_after;
}

/* A lookup over fixed fields; records the names it was asked for. */
std::vector<std::string> asked;
const char *fields(void *arg, const char *name, size_t len, size_t *value_len)
{
    std::string n(name, len);
    asked.push_back(n);
    EXPECT_EQ(arg, &asked);
    static const char nul_value[] = {'a', '\0', 'b'};
    const char *v = n == "x" ? "X" : n == "empty" ? "" : n == "nul" ? nul_value : nullptr;
    if (v)
        *value_len = n == "nul" ? 3 : std::strlen(v);
    return v;
}

class Template : public LuaTest {
protected:
    void SetUp() override
    {
        LuaTest::SetUp();
        env_reset_profile();
        asked.clear();
    }
    void TearDown() override
    {
        env_reset_profile();
        LuaTest::TearDown();
    }

    /* Runs text; returns the service's result and fills pieces. */
    int32_t process(const char *text, Collect &c, repl_lookup_fn lookup = fields)
    {
        unsigned char context[REPL_CONTEXT_SIZE] = {};
        repl_init_context(context);
        int out_arg = 0;
        int32_t r = repl_process(&c, &asked, context, text, lookup, &out_arg, collect);
        if (!c.pieces.empty()) {
            EXPECT_EQ(c.user_seen, &c);
            EXPECT_EQ(c.arg_seen, &out_arg);
        }
        return r;
    }
};

using Pieces = std::vector<std::string>;

}  // namespace

TEST_F(Template, LiteralRunsAndValuesAreOnePieceEach)
{
    struct Case {
        const char *text;
        Pieces pieces;
        int32_t unresolved;
    } cases[] = {
        {"", {}, 0},
        {"plain text", {"plain text"}, 0},
        {"a{{x}}b", {"a", "X", "b"}, 0},
        {"{{x}}{{x}}", {"X", "X"}, 0},
        {"a{{nope}}b{{}}c", {"a", "b", "c"}, 2},
        {"a {{x", {"a {{x"}, 0},               /* unclosed: literal */
        {"a{{x}}b{{x", {"a", "X", "b{{x"}, 0},
        {"}} {x} {{x}}}", {"}} {x} ", "X", "}"}, 0},
        {"{{ x }}", {}, 1},                    /* names are taken exactly */
        {"[{{empty}}]", {"[", "", "]"}, 0},      /* an empty value is still a piece */
        {"{{nul}}", {std::string("a\0b", 3)}, 0},
        {"{{%00}}{{%7B}}{{%7b}}", {std::string(1, '\0'), "{", "{"}, 0},
        {"{{%0}}{{%0g}}{{%000}}", {}, 3},
        {"{{#1}}|{{#2}}", {"Willkommen", "|", "Einstellungen"}, 0},
        {"{{#}}{{#x}}{{#1 }}{{#99}}{{#99999999999999999999}}", {}, 5},
    };
    for (const auto &c : cases) {
        Collect got;
        EXPECT_EQ(process(c.text, got), c.unresolved) << c.text;
        EXPECT_EQ(got.pieces, c.pieces) << c.text;
    }
    // The lookup sees the exact bytes between the braces and no text references.
    asked.clear();
    Collect got;
    process("{{a b}}{{#1}}{{%41}}{{}}", got);
    EXPECT_EQ(asked, (std::vector<std::string>{"a b", ""}));
}

TEST_F(Template, OutputCanStopTheRunAndAnUnpreparedContextIsRefused)
{
    Collect got;
    got.stop_after = 2;
    EXPECT_EQ(process("a{{x}}b{{#1}}c", got), -1);
    EXPECT_EQ(got.pieces, (Pieces{"a", "X"}));

    got = Collect{};
    got.stop_after = 1;
    EXPECT_EQ(process("{{#3}}rest", got), -1);  /* the text's copy is released */
    EXPECT_EQ(got.pieces, (Pieces{"Abmelden"}));

    unsigned char context[REPL_CONTEXT_SIZE] = {};
    got = Collect{};
    EXPECT_EQ(repl_process(&got, nullptr, context, "text", fields, nullptr, collect), -1);
    EXPECT_EQ(repl_process(&got, nullptr, nullptr, "text", fields, nullptr, collect), -1);
    EXPECT_TRUE(got.pieces.empty());

    // Without a lookup every field reference is unresolved.
    got = Collect{};
    EXPECT_EQ(process("{{x}}{{%41}}", got, nullptr), 1);
    EXPECT_EQ(got.pieces, (Pieces{"A"}));
}

TEST_F(Template, InterpreterLanguageSelectsFieldsAndTexts)
{
    auto field = [](const char *name) {
        size_t len = 99;
        const char *v = interp_lookup_db_field(nullptr, name, std::strlen(name), &len);
        if (v) {
            EXPECT_EQ(len, std::strlen(v));
        }
        return std::string(v ? v : "(null)");
    };
    EXPECT_EQ(field("status"), "Verbunden");  /* the device's language */
    EXPECT_EQ(field("uptime_days"), "12");     /* numbers keep their text */
    EXPECT_EQ(field("stat"), "(null)");
    EXPECT_EQ(field("status "), "(null)");

    interp_set_language("en");
    EXPECT_EQ(field("status"), "Connected");
    EXPECT_EQ(field("device_name"), "Example Gateway 100");
    char *t = localize_text(2, nullptr);
    EXPECT_STREQ(t, "Settings");
    mem_free(t, KEM_TAG);
    t = localize_text(2, "fr");                 /* an explicit language wins */
    EXPECT_STREQ(t, "Param\xc3\xa8tres");
    mem_free(t, KEM_TAG);

    interp_set_language("it");                  /* none of its own: the device's */
    EXPECT_EQ(field("status"), "Verbunden");
    t = localize_text(1, "");
    EXPECT_STREQ(t, "Willkommen");
    mem_free(t, KEM_TAG);
    EXPECT_EQ(localize_text(4, ""), nullptr);

    interp_set_language(nullptr);
    interp_set_language("fr");
    interp_set_language("");
    EXPECT_EQ(field("status"), "Verbunden");

    // The copy comes from the tagged allocator: its failure gives null.
    mem_fail_at(1, 0);
    EXPECT_EQ(localize_text(1, ""), nullptr);
    EXPECT_EQ(mem_failures(), 1u);
}

TEST_F(Template, ProfileDatabaseDiffersByLanguage)
{
    char dir[] = "/tmp/kem_repl_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/p.json";
    FILE *f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(R"({"language": "it", "db": {"on": false, "n": -1.5e3, "g": {"it": "Ciao", "en": ""}}})", f);
    std::fclose(f);
    ASSERT_EQ(env_load_profile(path.c_str(), nullptr, 0), 0);
    std::remove(path.c_str());
    rmdir(dir);

    Collect got;
    EXPECT_EQ(process("{{on}} {{n}} {{g}}", got, interp_lookup_db_field), 0);
    EXPECT_EQ(got.pieces, (Pieces{"false", " ", "-1.5e3", " ", "Ciao"}));
    interp_set_language("en");
    got = Collect{};
    EXPECT_EQ(process("<{{g}}>{{device_name}}", got, interp_lookup_db_field), 1);
    EXPECT_EQ(got.pieces, (Pieces{"<", "", ">"}));
}
