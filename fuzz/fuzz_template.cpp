// Fuzzes the template service and the device profile loader.
//
// First byte even: the rest is a template, run through repl_process with the
// interpreter's lookup; a text without "{{" must come out unchanged, and no
// tagged block may stay live. First byte odd: the rest is a profile file;
// loading it must either succeed or leave the old profile in force.
#include "platform/env.h"
#include "platform/host/mem_debug.h"
#include "platform/host/profile.h"
#include "platform/repl.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int append(void *user, void *, const char *piece, size_t len)
{
    static_cast<std::string *>(user)->append(piece, len);
    return 0;
}

void run_template(const std::string &text)
{
    unsigned char context[REPL_CONTEXT_SIZE] = {};
    repl_init_context(context);
    std::string out;
    int32_t r = repl_process(&out, nullptr, context, text.c_str(), interp_lookup_db_field, nullptr,
                             append);
    if (r < 0)
        std::abort();
    if (text.find("{{") == std::string::npos && out != text.c_str())
        std::abort();
    if (mem_live_blocks() != 0)
        std::abort();
}

void run_profile(const uint8_t *data, size_t size)
{
    static int fd = memfd_create("profile", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return;
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    char err[256];
    env_load_profile(nullptr, nullptr, 0);
    if (env_load_profile(path.c_str(), err, sizeof err) != 0 && std::strcmp(env_oem(), "example") != 0)
        std::abort();
    /* whatever loaded answers every query */
    (void)env_country_is("de");
    (void)env_language_is_allowed("en");
    run_template("{{status}}{{#1}}{{device_name}}");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    if (data[0] % 2 == 0)
        run_template(std::string(reinterpret_cast<const char *>(data + 1), size - 1));
    else
        run_profile(data + 1, size - 1);
    return 0;
}
