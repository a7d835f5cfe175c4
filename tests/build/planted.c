/* Planted in the current folder as libyajl.so.2: once loaded, it leaves the file planted-library-ran
   there. It defines yajl's functions, as Lua's dlopen binds every symbol before it runs anything. */
#include <stdio.h>

__attribute__((constructor)) static void planted(void)
{
    FILE *f = fopen("planted-library-ran", "w");
    if (f)
        fclose(f);
}

#define STUB(name) void name(void) {}
STUB(yajl_alloc) STUB(yajl_config) STUB(yajl_free) STUB(yajl_parse) STUB(yajl_complete_parse)
STUB(yajl_get_error) STUB(yajl_get_bytes_consumed) STUB(yajl_free_error) STUB(yajl_version)
STUB(yajl_status_to_string) STUB(yajl_gen_alloc) STUB(yajl_gen_config) STUB(yajl_gen_free)
STUB(yajl_gen_integer) STUB(yajl_gen_double) STUB(yajl_gen_number) STUB(yajl_gen_string)
STUB(yajl_gen_null) STUB(yajl_gen_bool) STUB(yajl_gen_map_open) STUB(yajl_gen_map_close)
STUB(yajl_gen_array_open) STUB(yajl_gen_array_close) STUB(yajl_gen_get_buf) STUB(yajl_gen_clear)
STUB(yajl_gen_reset) STUB(yajl_tree_parse) STUB(yajl_tree_get) STUB(yajl_tree_free)
