// Variables and macros of configuration files: expands "${...}" references
// and macro calls in a line before the reader looks at it, and implements the
// define, undefine and defmacro keywords.
#include "vantrix_private.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Whether an undefined variable is reported; the reader follows the activity
// of the last option line with it.
int c_report_undefined_variable = 1;

constexpr int kMapBuckets = 10;
// vn_filename_expand writes at most 1023 characters.
constexpr size_t kExpandedBytes = 1024;
// defmacro joins its words into at most this many characters.
constexpr size_t kMaxMacroDefinition = 8191;
// A macro that calls itself, or references nested in references, stop here.
constexpr int kMaxExpansionDepth = 64;
// Every character one line's expansion copies counts against this, so macros
// that call each other many times cannot blow a line up without bound.
constexpr size_t kMaxExpansionBytes = 4u << 20;
constexpr size_t kMaxMacroBody = 1u << 20;

struct var_entry {
    std::string name;
    std::string value;
};

void delete_var(void *, void *data)
{
    delete static_cast<var_entry *>(data);
}

tarvelutil_hashmap_t *new_var_map()
{
    return tarvelutil_hashmap_create(kMapBuckets, nullptr, nullptr, delete_var, nullptr, 0);
}

void put_var(tarvelutil_hashmap_t *map, std::string_view name, std::string value)
{
    auto *entry = new var_entry{std::string(name), std::move(value)};
    delete static_cast<var_entry *>(tarvelutil_hashmap_put_unique(map, entry->name.c_str(), entry, 0));
}

const var_entry *find_var(tarvelutil_hashmap_t *map, const std::string &name)
{
    return static_cast<const var_entry *>(tarvelutil_hashmap_get(map, name.c_str(), 0));
}

} // namespace

struct macro_definition_t {
    std::string name;
    std::string text;            // the body: collected lines, each ending in a newline
    tarvelutil_hashmap_t *vars;  // the argument values of the current call
    int num_args = 0;
    std::vector<std::string> argument_names;
    bool body_cut = false;       // the body reached its bound (reported once)

    explicit macro_definition_t(std::string macro_name) : name(std::move(macro_name)), vars(new_var_map()) {}
    ~macro_definition_t() { tarvelutil_hashmap_delete(vars); }
    macro_definition_t(const macro_definition_t &) = delete;
    macro_definition_t &operator=(const macro_definition_t &) = delete;
};

struct _macro_ctx {
    tarvelutil_hashmap_t *vars = nullptr;
    tarvelutil_hashmap_t *macros = nullptr;
    macro_definition_t *defining_macro = nullptr;
    macro_definition_t *current_macro = nullptr;
    std::string expr_result; // the last "EVAL:" result
    int recursive_count = 0; // nesting of ordinary-piece expansion

    // The bounds of one top-level expansion (a line, a define, a lookup).
    int entry_depth = 0;
    int macro_depth = 0;
    size_t produced = 0;
    bool stopped = false;
};

namespace {

template <typename... Args>
void report(const char *format, Args... args)
{
    vn_config_add_error_message_fmt(format, vn_config_get_filename(), vn_config_get_linenumber(), args...);
}

// Resets the bounds when an expansion starts from outside this module.
class expansion_scope {
public:
    explicit expansion_scope(vn_macro_ctx_t *ctx) : ctx_(ctx)
    {
        if (ctx_->entry_depth++ == 0) {
            ctx_->macro_depth = 0;
            ctx_->produced = 0;
            ctx_->stopped = false;
        }
    }
    ~expansion_scope() { ctx_->entry_depth--; }
    expansion_scope(const expansion_scope &) = delete;
    expansion_scope &operator=(const expansion_scope &) = delete;

private:
    vn_macro_ctx_t *ctx_;
};

void emit(vn_macro_ctx_t *ctx, std::string &out, std::string_view text)
{
    if (ctx->stopped)
        return;
    if (text.size() > kMaxExpansionBytes - ctx->produced) {
        report("%s:%d Expansion too long: more than %zu characters; rest of line dropped\n", kMaxExpansionBytes);
        ctx->stopped = true;
        return;
    }
    ctx->produced += text.size();
    out.append(text);
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

bool is_comment(const char *line)
{
    while (is_blank(*line))
        line++;
    return *line == '#';
}

bool is_name_char(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_';
}

bool check_name(std::string_view name)
{
    if (name.empty())
        return false;
    for (char c : name) {
        if (!is_name_char(c)) {
            report("%s:%d Bad variable name: '%s', as it contains '%c', which is not allowed in variable names\n",
                   std::string(name).c_str(), c);
            return false;
        }
    }
    return true;
}

// Escaped so that word splitting after substitution gives the value back.
std::string escape_value(std::string_view value)
{
    std::string stored;
    stored.reserve(value.size());
    for (char c : value) {
        if (c == '"' || c == '\'' || c == '\\')
            stored.push_back('\\');
        stored.push_back(c);
    }
    return stored;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> pieces;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::string first_word(std::string_view piece)
{
    std::string buffer(piece);
    int count = 0;
    char **words = tarvelutil_argument_parse(buffer.data(), static_cast<int>(buffer.size()), &count);
    std::string word = count > 0 ? std::string(words[0]) : std::string(piece);
    vn_free(words);
    return word;
}

void expand_ordinary(vn_macro_ctx_t *ctx, std::string_view piece, std::string &out);

const char *evaluate_expression(vn_macro_ctx_t *ctx, std::string_view expression)
{
    std::string text;
    expand_ordinary(ctx, expression, text);
    vn_config_expr_t *tree = _vn_config_expr_compile(text.c_str());
    if (tree == nullptr)
        return "";
    char *result = _vn_config_expr_eval(tree);
    _vn_config_expr_delete(tree);
    ctx->expr_result = result;
    vn_free(result);
    return ctx->expr_result.c_str();
}

// The value of a reference's name; the text stays owned by the context.
const char *lookup(vn_macro_ctx_t *ctx, std::string_view name)
{
    if (name.starts_with("ENV:")) {
        const char *value = std::getenv(std::string(name.substr(4)).c_str());
        return value != nullptr ? value : "";
    }
    if (name.starts_with("EVAL:"))
        return evaluate_expression(ctx, name.substr(5));
    std::string expanded;
    expand_ordinary(ctx, name, expanded);
    if (ctx->stopped || !check_name(expanded))
        return "";
    if (ctx->current_macro != nullptr) {
        if (const var_entry *argument = find_var(ctx->current_macro->vars, expanded))
            return argument->value.c_str();
    }
    if (const var_entry *variable = find_var(ctx->vars, expanded))
        return variable->value.c_str();
    if (c_report_undefined_variable)
        report("%s:%d Undefined variable: '%s'; assuming empty string\n", expanded.c_str());
    return "";
}

// Where the reference that starts at `from` (just inside "${") ends, or npos.
size_t matching_brace(std::string_view text, size_t from)
{
    int depth = 1;
    for (size_t at = from; at < text.size(); at++) {
        if (text[at] == '{')
            depth++;
        else if (text[at] == '}' && --depth == 0)
            return at;
    }
    return std::string_view::npos;
}

void substitute(vn_macro_ctx_t *ctx, std::string &out, std::string_view value, bool quoted)
{
    if (value.empty())
        return;
    // A value with blanks stays one word unless the reference sits in quotes
    // already or inside another reference's name.
    bool needs_quotes = ctx->recursive_count == 1 && !quoted && value.find_first_of(" \t\n") != std::string_view::npos;
    if (needs_quotes)
        emit(ctx, out, "\"");
    emit(ctx, out, value);
    if (needs_quotes)
        emit(ctx, out, "\"");
}

class depth_guard {
public:
    explicit depth_guard(int &depth) : depth_(depth) { depth_++; }
    ~depth_guard() { depth_--; }
    depth_guard(const depth_guard &) = delete;
    depth_guard &operator=(const depth_guard &) = delete;

private:
    int &depth_;
};

void expand_ordinary(vn_macro_ctx_t *ctx, std::string_view piece, std::string &out)
{
    if (ctx->stopped)
        return;
    if (ctx->recursive_count >= kMaxExpansionDepth) {
        report("%s:%d Variable nested too deeply: '%s'; expansion stopped\n", std::string(piece).c_str());
        ctx->stopped = true;
        return;
    }
    depth_guard guard(ctx->recursive_count);
    bool in_single = false;
    bool in_double = false;
    size_t at = 0;
    while (at < piece.size() && !ctx->stopped) {
        char c = piece[at];
        if (c == '\\') {
            if (at + 1 == piece.size())
                emit(ctx, out, "\\");
            else if (piece[at + 1] == '$')
                emit(ctx, out, "$");
            else
                emit(ctx, out, piece.substr(at, 2));
            at += 2;
            continue;
        }
        if (c == '$' && at + 1 < piece.size() && piece[at + 1] == '{') {
            size_t end = matching_brace(piece, at + 2);
            if (end == std::string_view::npos) {
                emit(ctx, out, piece.substr(at));
                return;
            }
            std::string value = lookup(ctx, piece.substr(at + 2, end - at - 2));
            substitute(ctx, out, value, in_single || in_double);
            at = end + 1;
            continue;
        }
        if (c == '\'' && !in_double)
            in_single = !in_single;
        else if (c == '"' && !in_single)
            in_double = !in_double;
        emit(ctx, out, piece.substr(at, 1));
        at++;
    }
}

macro_definition_t *find_macro(vn_macro_ctx_t *ctx, const std::string &name)
{
    return static_cast<macro_definition_t *>(tarvelutil_hashmap_get(ctx->macros, name.c_str(), 0));
}

// Binds the comma-separated call arguments to the macro's argument names.
void bind_arguments(macro_definition_t *macro, std::string_view inside)
{
    std::vector<std::string_view> pieces = split(inside, ',');
    for (size_t i = 0; i < macro->argument_names.size(); i++) {
        std::string value = i < pieces.size() ? first_word(pieces[i]) : std::string();
        put_var(macro->vars, macro->argument_names[i], std::move(value));
    }
}

void expand_text(vn_macro_ctx_t *ctx, std::string_view text, std::string &out);

// A piece that begins with a macro's name and a parenthesised argument list
// stands for the macro's expanded body.
bool expand_macro_call(vn_macro_ctx_t *ctx, std::string_view piece, std::string &out)
{
    size_t open = piece.find('(');
    size_t close = open == std::string_view::npos ? open : piece.find(')', open + 1);
    if (close == std::string_view::npos)
        return false;
    std::string_view name = piece.substr(0, open);
    while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back())))
        name.remove_suffix(1);
    macro_definition_t *macro = find_macro(ctx, std::string(name));
    if (macro == nullptr)
        return false;
    if (ctx->stopped)
        return true;
    if (ctx->macro_depth >= kMaxExpansionDepth) {
        report("%s:%d Macro nested too deeply: '%s'; expansion stopped\n", macro->name.c_str());
        ctx->stopped = true;
        return true;
    }
    // A body that reads as a comment line expands to nothing, and the call
    // then stands for itself.
    if (is_comment(macro->text.c_str())) {
        expand_ordinary(ctx, piece, out);
        return true;
    }
    bind_arguments(macro, piece.substr(open + 1, close - open - 1));
    macro_definition_t *outer = ctx->current_macro;
    ctx->current_macro = macro;
    {
        depth_guard guard(ctx->macro_depth);
        expand_text(ctx, macro->text, out);
    }
    ctx->current_macro = outer;
    return true;
}

// The pieces between newlines, each expanded, joined with newlines again.
void expand_text(vn_macro_ctx_t *ctx, std::string_view text, std::string &out)
{
    bool first = true;
    for (std::string_view piece : split(text, '\n')) {
        if (ctx->stopped)
            return;
        if (!first)
            emit(ctx, out, "\n");
        first = false;
        if (!expand_macro_call(ctx, piece, out))
            expand_ordinary(ctx, piece, out);
    }
}

std::optional<std::string> expand_line(vn_macro_ctx_t *ctx, const char *line)
{
    if (is_comment(line))
        return std::nullopt;
    if (ctx->defining_macro != nullptr)
        return std::string(line);
    std::string out;
    expand_text(ctx, line, out);
    return out;
}

// --- The function options ---

void define_variable(const char *, int count, char **words)
{
    if (count != 2) {
        report("%s:%d Bad definition: definition must consist of name and value separated by a space. If the value "
               "contains spaces it must be enclosed in double quote marks.\n");
        return;
    }
    vn_macro_ctx_t *ctx = _vn_config_get_macro_context();
    if (ctx == nullptr) {
        report("%s:%d No context set. Variable definitions will not be available.\n");
        return;
    }
    // A value that reads like a comment ("#ff0000") is still a value.
    expansion_scope scope(ctx);
    std::string value;
    expand_text(ctx, words[1], value);
    _vn_config_macro_store_var(ctx, words[0], value.c_str());
}

void undefine_variable(const char *, int count, char **words)
{
    vn_macro_ctx_t *ctx = _vn_config_get_macro_context();
    if (ctx == nullptr) {
        report("%s:%d No context set. Variable definitions will not be available.\n");
        return;
    }
    if (count < 1 || !check_name(words[0]))
        return;
    void *removed = tarvelutil_hashmap_remove(ctx->vars, words[0], 0);
    if (removed == nullptr)
        report("%s:%d Attempt to undefined variable '%s' that wasn't defined\n", words[0]);
    delete static_cast<var_entry *>(removed);
}

std::string join_words(int count, char **words)
{
    std::string joined;
    for (int i = 0; i < count && joined.size() < kMaxMacroDefinition; i++)
        joined.append(words[i]);
    if (joined.size() > kMaxMacroDefinition)
        joined.resize(kMaxMacroDefinition);
    return joined;
}

void define_macro(const char *, int count, char **words)
{
    if (count < 1) {
        report("%s:%d Bad definition: Invalid macro definition\n");
        return;
    }
    vn_macro_ctx_t *ctx = _vn_config_get_macro_context();
    if (ctx == nullptr) {
        report("%s:%d No context set. Macros will not be available.\n");
        return;
    }
    std::string definition = join_words(count, words);
    size_t open = definition.find('(');
    size_t close = open == std::string::npos ? open : definition.find(')', open + 1);
    // An empty name would turn every line that begins with "(" into a call.
    if (close == std::string::npos || open == 0 || ctx->defining_macro != nullptr) {
        report("%s:%d Bad definition: Could not parse macro definition\n");
        return;
    }
    auto *macro = new macro_definition_t(definition.substr(0, open));
    for (std::string_view argument : split(std::string_view(definition).substr(open + 1, close - open - 1), ',')) {
        argument = trim(argument);
        if (check_name(argument))
            macro->argument_names.emplace_back(argument);
    }
    macro->num_args = static_cast<int>(macro->argument_names.size());
    auto *replaced = static_cast<macro_definition_t *>(
        tarvelutil_hashmap_put_unique(ctx->macros, macro->name.c_str(), macro, 0));
    if (replaced != nullptr) {
        report("%s:%d Macro already defined: '%s'; overwriting definition\n", macro->name.c_str());
        delete replaced;
    }
    ctx->defining_macro = macro;
}

void delete_macro(void *, void *data)
{
    delete static_cast<macro_definition_t *>(data);
}

void add_function_option(const char *name, const char *help, vn_config_func_t function)
{
    vn_config_add_option(0, name, help, VN_CONFIG_FUNCTION, reinterpret_cast<void *>(function));
}

void register_options()
{
    vn_config_del_option("define");
    add_function_option("define", "!Variables|!Define a variable", define_variable);
    add_function_option("defmacro", "!Variables|!Define a macro", define_macro);
    add_function_option("undefine", "!Variables|!Un define a variable", undefine_variable);
}

void store_expanded(vn_macro_ctx_t *ctx, const char *name, const char *pattern)
{
    char value[kExpandedBytes];
    vn_filename_expand(pattern, value, sizeof value);
    _vn_config_macro_store_var(ctx, name, value);
}

void store_builtins(vn_macro_ctx_t *ctx)
{
    store_expanded(ctx, "HOST_NAME", "%h");
    store_expanded(ctx, "APP_NAME", "%a");
    store_expanded(ctx, "HOME_DIR", "%u");
    store_expanded(ctx, "MAJOR_VERSION", "%M");
    store_expanded(ctx, "MINOR_VERSION", "%m");
    _vn_config_macro_store_var(ctx, "OS_TRIPLET", "x86_64-pc-linux-EL5-gnu");
    _vn_config_macro_store_var(ctx, "OS", "linux-EL5-gnu");
    _vn_config_macro_store_var(ctx, "CPU", "x86_64");
    _vn_config_macro_store_var(ctx, "JVM_PATH", "lib/amd64/server");
}

} // namespace

// --- Interface ---

vn_macro_ctx_t *_vn_config_macro_ctx_create(void)
{
    register_options();
    auto *ctx = new _macro_ctx;
    ctx->vars = new_var_map();
    ctx->macros = tarvelutil_hashmap_create(kMapBuckets, nullptr, nullptr, delete_macro, nullptr, 0);
    store_builtins(ctx);
    return ctx;
}

void _vn_config_macro_ctx_destroy(vn_macro_ctx_t *ctx)
{
    if (ctx == nullptr)
        return;
    tarvelutil_hashmap_delete(ctx->vars);
    tarvelutil_hashmap_delete(ctx->macros);
    delete ctx;
}

char *_vn_config_macro_parse(vn_macro_ctx_t *ctx, const char *line)
{
    if (line == nullptr || is_comment(line))
        return nullptr;
    if (ctx == nullptr)
        return vn_strdup(line);
    expansion_scope scope(ctx);
    std::optional<std::string> expanded = expand_line(ctx, line);
    return expanded ? vn_strdup(expanded->c_str()) : nullptr;
}

const char *_vn_config_macro_get_var(vn_macro_ctx_t *ctx, const char *name)
{
    if (ctx == nullptr || name == nullptr)
        return nullptr;
    expansion_scope scope(ctx);
    return lookup(ctx, name);
}

void _vn_config_macro_store_var(vn_macro_ctx_t *ctx, const char *name, const char *value)
{
    if (ctx == nullptr || name == nullptr || !check_name(name))
        return;
    put_var(ctx->vars, name, escape_value(value != nullptr ? value : ""));
}

int _vn_config_macro_add(vn_macro_ctx_t *ctx, const char *line)
{
    if (ctx == nullptr || ctx->defining_macro == nullptr)
        return -1;
    macro_definition_t *macro = ctx->defining_macro;
    size_t length = std::strlen(line);
    if (length >= kMaxMacroBody - macro->text.size()) {
        if (!macro->body_cut)
            report("%s:%d Macro too long: '%s'; further lines dropped\n", macro->name.c_str());
        macro->body_cut = true;
        return 0;
    }
    macro->text.append(line, length).push_back('\n');
    return 0;
}

void _vn_config_macro_end(vn_macro_ctx_t *ctx)
{
    if (ctx != nullptr)
        ctx->defining_macro = nullptr;
}

void _vn_set_define_warning_reporting(int on)
{
    c_report_undefined_variable = on;
}
