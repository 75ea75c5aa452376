// Compiles and evaluates arbitrary text as an expression: a syntax error must
// give no tree, and any tree must evaluate and free without a fault.
#include "vantrix_private.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int c_port = 8080;
char *c_name = nullptr;

// Options for "@" references, in a context of the fuzzer's own.
void register_options()
{
    vn_config_set_ctx(vn_config_new_ctx());
    vn_config_add_option(0, "port", "port", VN_CONFIG_INT, &c_port);
    vn_config_add_option(0, "name", "name", VN_CONFIG_STRING, &c_name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool registered = (register_options(), true);
    (void)registered;
    if (size > 1 << 16)
        return 0;
    // The text ends at its first NUL, as a C string would.
    std::string text(reinterpret_cast<const char *>(data), size);
    text.resize(std::strlen(text.c_str()));
    vn_config_expr_t *tree = _vn_config_expr_compile(text.c_str());
    char *result = _vn_config_expr_eval(tree);
    if (result == nullptr || (tree == nullptr && std::strcmp(result, "0") != 0))
        std::abort();
    vn_free(result);
    _vn_config_expr_delete(tree);
    return 0;
}
