// Device profile of the host environment service: the built-in profile,
// profile files overriding it field by field, malformed profiles, and the
// selection through KEM_DEVICE_PROFILE.
#include "support.h"

#include "platform/env.h"
#include "platform/host/profile.h"
#include "platform/localize.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

/* Each test starts on the built-in profile and leaves it in force. */
class Profile : public LuaTest {
protected:
    std::string dir;

    void SetUp() override
    {
        LuaTest::SetUp();
        char tmpl[] = "/tmp/kem_profile_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        unsetenv(ENV_PROFILE_VARIABLE);
        env_reset_profile();
    }
    void TearDown() override
    {
        unsetenv(ENV_PROFILE_VARIABLE);
        env_reset_profile();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        LuaTest::TearDown();
    }

    /* Writes a profile file and returns its path. */
    std::string write(const std::string &name, const std::string &json)
    {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << json;
        return path;
    }

    /* Loads a profile text; "" on success, else the error line. */
    std::string load(const std::string &json)
    {
        std::string path = write("p.json", json);
        char err[512] = "untouched";
        if (env_load_profile(path.c_str(), err, sizeof err) == 0)
            return "";
        std::string msg = err;
        EXPECT_EQ(msg.rfind(path + ": ", 0), 0u) << msg;  /* names the file first */
        return msg.substr(std::min(msg.size(), path.size() + 2));
    }
};

std::string str(const char *text) { return text ? text : "(null)"; }

std::string text_of(int64_t id, const char *language)
{
    char *t = localize_text(id, language);
    std::string s = str(t);
    mem_free(t, KEM_TAG);
    return s;
}

const char full_profile[] = R"({
  "oem": "demo", "country": "Austria", "country_iso": "AT",
  "country_is_default": 0, "language": "de", "language_is_default": 7,
  "languages": ["de", "it"], "serial_number": "SN-1",
  "urls": {"help": "https://help.example.org/"},
  "texts": {"de": {"1": "Hallo", "2": "Zwei", "-5": "minus"}, "it": {"1": "Ciao"}},
  "db": {"name": "Box", "n": 1.50, "on": true, "greeting": {"de": "Servus", "it": "Salve"}}
})";

}  // namespace

TEST_F(Profile, BuiltinProfileAnswersEveryQuery)
{
    // (the plain queries are checked from a script: tests/lua/test_environment.lua)
    EXPECT_EQ(env_language_is_allowed("en"), 1);
    EXPECT_EQ(env_language_is_allowed("EN"), 0);
    EXPECT_EQ(str(env_predefined_url("update")), "https://update.example.net/firmware");
    EXPECT_EQ(env_predefined_url("nope"), nullptr);
    EXPECT_EQ(env_predefined_url(nullptr), nullptr);
    EXPECT_EQ(text_of(1, "en"), "Welcome");
    EXPECT_EQ(text_of(3, "fr"), "Abmelden");  /* missing in French: the device's language */
}

TEST_F(Profile, FileFieldsOverrideTheBuiltinOnes)
{
    // (the plain fields through kemlua --profile: tests/lua/test_environment.lua)
    ASSERT_EQ(load(full_profile), "");
    EXPECT_EQ(str(env_oem()), "demo");
    EXPECT_EQ(str(env_serial_number()), "SN-1");
    EXPECT_EQ(env_language_is_allowed("it"), 1);
    EXPECT_EQ(env_language_is_allowed("en"), 0);
    EXPECT_EQ(env_predefined_url("update"), nullptr);  /* urls replaced as a whole */
    EXPECT_EQ(text_of(-5, ""), "minus");
    EXPECT_EQ(text_of(2, "it"), "Zwei");
    EXPECT_EQ(text_of(3, ""), "(null)");

    // The country by its name exactly, or by its ISO code in any case.
    for (const char *yes : {"Austria", "at", "aT"})
        EXPECT_EQ(env_country_is(yes), 1) << yes;
    for (const char *no : {"austria", "A", "", static_cast<const char *>(nullptr)})
        EXPECT_EQ(env_country_is(no), 0) << str(no);

    // Back to the built-in profile.
    ASSERT_EQ(env_load_profile(nullptr, nullptr, 0), 0);
    EXPECT_EQ(str(env_oem()), "example");
}

TEST_F(Profile, EachMissingFieldFallsBackToTheBuiltinValue)
{
    // A profile naming one field changes that field only.
    ASSERT_EQ(load(R"({"country_iso": "FR"})"), "");
    EXPECT_EQ(str(env_country_iso()), "FR");
    EXPECT_EQ(str(env_country()), "Germany");
    EXPECT_EQ(env_country_is("fr"), 1);
    EXPECT_EQ(env_country_is("de"), 0);

    ASSERT_EQ(load(R"({"languages": []})"), "");
    EXPECT_EQ(env_language_is_allowed("de"), 0);
    EXPECT_EQ(str(env_oem()), "example");

    ASSERT_EQ(load(R"({"country_is_default": false, "language_is_default": true})"), "");
    EXPECT_EQ(env_country_is_default(), 0);
    EXPECT_EQ(env_language_is_default(), 1);

    // An empty profile is the built-in device.
    ASSERT_EQ(load("{}"), "");
    EXPECT_EQ(str(env_serial_number()), "EX0000000001");
    EXPECT_EQ(text_of(2, "en"), "Settings");
}

TEST_F(Profile, MalformedProfilesAreRefusedAndTheOldOneStays)
{
    ASSERT_EQ(load(R"({"oem": "first"})"), "");
    struct Case {
        const char *json;
        const char *error;
    } cases[] = {
        {"", "not valid JSON: "},
        {"{\"oem\": \"x\"", "not valid JSON: "},
        {"[1]", "a profile must be a JSON object"},
        {"{\"oem\": 1}", "field \"oem\": must be a string"},
        {"{\"country\": null}", "field \"country\": must be a string"},
        {"{\"langauge\": \"de\"}", "unknown field \"langauge\""},
        {"{\"country_is_default\": \"yes\"}", "field \"country_is_default\": must be true, false or a 32-bit integer"},
        {"{\"country_is_default\": 4294967296}", "field \"country_is_default\": must be true, false or a 32-bit integer"},
        {"{\"language_is_default\": 1.5}", "field \"language_is_default\": must be true, false or a 32-bit integer"},
        {"{\"languages\": [\"de\", 1]}", "field \"languages\": must be an array of strings"},
        {"{\"urls\": {\"a\": \"u\", \"b\": 2}}", "field \"urls\", member \"b\": must be an object of strings"},
        {"{\"urls\": []}", "field \"urls\": must be an object of strings"},
        {"{\"texts\": {\"de\": {\"1x\": \"t\"}}}", "field \"texts\", member \"de\": must map languages to objects of text ids (integers) to strings"},
        {"{\"texts\": {\"de\": {\"1\": 1}}}", "field \"texts\", member \"de\": must map languages to objects of text ids (integers) to strings"},
        {"{\"db\": {\"a\": null}}", "field \"db\", member \"a\": must map field names to a string, number or boolean, or to an object of languages to such values"},
        {"{\"db\": {\"a\": {\"de\": {}}}}", "field \"db\", member \"a\": must map field names to a string, number or boolean, or to an object of languages to such values"},
    };
    for (const auto &c : cases) {
        std::string err = load(c.json);
        if (std::string(c.error).ends_with(": "))
            EXPECT_EQ(err.rfind(c.error, 0), 0u) << c.json << " -> " << err;
        else
            EXPECT_EQ(err, c.error) << c.json;
        EXPECT_EQ(str(env_oem()), "first") << c.json;
    }

    // Refused before a tree is built: too deep (yajl frees a tree
    // recursively), too big, not a regular file (a FIFO would block, a
    // device flood), unreadable, or cut short by a zero byte.
    auto nested = [](size_t levels) {
        return R"({"db": {"a": )" + std::string(levels - 2, '[') + std::string(levels - 2, ']') + "}}";
    };
    std::string padded = R"({"oem": "big"})";
    padded.resize(1024 * 1024, ' ');
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    std::string missing = dir + "/missing.json";
    struct File {
        std::string path;
        std::string error;
    } files[] = {
        {write("16.json", nested(16)), "field \"db\", member \"a\": must map field names to a string, "
                                       "number or boolean, or to an object of languages to such values"},
        {write("17.json", nested(17)), "nested deeper than 16 levels"},
        {write("deep.json", nested(400000)), "nested deeper than 16 levels"},
        {write("huge.json", padded + " "), "larger than the limit of 1048576 bytes"},
        {dir + "/fifo", "not a regular file"},
        {dir, "not a regular file"},
        {"/dev/urandom", "not a regular file"},
        {missing, "cannot read the file: No such file or directory"},
        {write("nul.json", std::string("{\"oem\": \"a\"}\0{", 15)), "cannot read the file: the file holds a zero byte"},
    };
    char err[512];
    for (const File &f : files) {
        EXPECT_EQ(env_load_profile(f.path.c_str(), err, sizeof err), -1) << f.path;
        EXPECT_EQ(std::string(err), f.path + ": " + f.error);
    }

    // A short or absent message buffer is never overrun.
    char small[8] = "1234567";
    EXPECT_EQ(env_load_profile(missing.c_str(), small, 4), -1);
    EXPECT_EQ(std::string(small), missing.substr(0, 3));
    EXPECT_EQ(env_load_profile(missing.c_str(), nullptr, 0), -1);
    EXPECT_EQ(str(env_oem()), "first");

    // At the size limit, and brackets inside strings, escaped quotes among them
    EXPECT_EQ(load(padded), "");
    EXPECT_EQ(load(R"({"oem": "[[[[[[[[[[[[[[[[[[\"{{{{{{{{{{{{{{{{{{"})"), "");
    EXPECT_EQ(str(env_oem()), "[[[[[[[[[[[[[[[[[[\"{{{{{{{{{{{{{{{{{{");
}

TEST_F(Profile, VariableSelectsTheProfileAndABadOneIsReportedOnce)
{
    std::string good = write("good.json", R"({"oem": "from-variable"})");
    setenv(ENV_PROFILE_VARIABLE, good.c_str(), 1);
    env_reset_profile();
    EXPECT_EQ(str(env_oem()), "from-variable");

    std::string bad = write("bad.json", R"({"oem": [}")");
    setenv(ENV_PROFILE_VARIABLE, bad.c_str(), 1);
    env_reset_profile();
    testing::internal::CaptureStderr();
    EXPECT_EQ(str(env_oem()), "example");
    EXPECT_EQ(str(env_country()), "Germany");
    EXPECT_EQ(run("assert(kemluautils.oem() == 'example')"), "");
    std::string out = testing::internal::GetCapturedStderr();
    std::string first = "libkemluautils: " + bad + ": not valid JSON: ";
    EXPECT_EQ(out.rfind(first, 0), 0u) << out;
    EXPECT_EQ(out.find("libkemluautils", 1), std::string::npos) << "reported more than once: " << out;
    EXPECT_NE(out.find("using the built-in device profile\n"), std::string::npos) << out;

    // An empty variable means none.
    setenv(ENV_PROFILE_VARIABLE, "", 1);
    env_reset_profile();
    testing::internal::CaptureStderr();
    EXPECT_EQ(str(env_oem()), "example");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
