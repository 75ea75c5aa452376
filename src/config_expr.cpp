// The expression language of "if" conditions and "EVAL:" references: compiles
// a text into a tree of nodes and evaluates a tree to a text.
#include "config_expr_internal.h"
#include "config_expr_yacc.h"
#include "config_expr_lex.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The tree of a long chain of operators is as deep as the chain, and
// evaluation recurses over it: longer texts are refused as too big to parse.
constexpr size_t kMaxExpressionText = 8191;
// Room for an option's value formatted as text.
constexpr size_t kOptionValueBytes = 4096;
// "+" joins two texts into at most this many characters.
constexpr size_t kMaxJoinedText = 1023;
// A message quotes at most this much of the expression, a whole line's worth.
constexpr size_t kMaxQuotedText = 1023;

vn_config_expr_t *new_node(expr_compile_state *state, vn_config_expr_nodetype_t type)
{
    auto *node = static_cast<vn_config_expr_t *>(vn_calloc(1, sizeof(vn_config_expr_t)));
    node->type = type;
    _vn_list_add_tail(&state->nodes, &node->list);
    return node;
}

void free_node(vn_config_expr_t *node)
{
    vn_free(node->value);
    vn_free(node->op);
    vn_free(node);
}

// Unlinks and frees a subtree that a rule discards.
void free_subtree(vn_config_expr_t *node)
{
    for (int i = 0; i < node->nops; i++)
        free_subtree(node->op[i]);
    _vn_list_del(&node->list);
    free_node(node);
}

vn_config_expr_t *new_operator(expr_compile_state *state, int oper, int nops)
{
    vn_config_expr_t *node = new_node(state, VN_CONFIG_EXPR_OPERATOR);
    node->oper = oper;
    node->nops = nops;
    if (nops > 0)
        node->op = static_cast<vn_config_expr_t **>(vn_calloc(static_cast<size_t>(nops), sizeof(vn_config_expr_t *)));
    return node;
}

void free_all_nodes(vn_list_t *nodes)
{
    while (!_vn_list_empty(nodes)) {
        vn_config_expr_t *node = _vn_list_entry(nodes->next, vn_config_expr_t, list);
        _vn_list_del(&node->list);
        free_node(node);
    }
}

void report_at_line(const char *format, const char *detail)
{
    vn_config_add_error_message_fmt(format, vn_config_get_filename(), vn_config_get_linenumber(), detail);
}

// --- Evaluation ---

std::string evaluate(const vn_config_expr_t *node);

std::string format_number(double number)
{
    char text[64];
    std::snprintf(text, sizeof text, "%g", number);
    return text;
}

std::string truth(bool value)
{
    return value ? "1" : "0";
}

double as_number(const std::string &text)
{
    return std::strtod(text.c_str(), nullptr);
}

bool both_numbers(const std::string &left, const std::string &right)
{
    return is_number(left.c_str()) && is_number(right.c_str());
}

std::string add(const std::string &left, const std::string &right)
{
    if (both_numbers(left, right))
        return format_number(as_number(left) + as_number(right));
    std::string joined = left + right;
    if (joined.size() > kMaxJoinedText)
        joined.resize(kMaxJoinedText);
    return joined;
}

std::string divide(const std::string &left, const std::string &right)
{
    if (!both_numbers(left, right))
        return "";
    double divisor = as_number(right);
    if (divisor == 0) {
        vn_config_add_error_message_fmt("%s:%d Division by 0\n", vn_config_get_filename(), vn_config_get_linenumber());
        return "0";
    }
    return format_number(as_number(left) / divisor);
}

// Ordering compares numbers only; anything else is false.
std::string order(int oper, const std::string &left, const std::string &right)
{
    if (!both_numbers(left, right))
        return truth(false);
    double a = as_number(left);
    double b = as_number(right);
    switch (oper) {
    case '<': return truth(a < b);
    case '>': return truth(a > b);
    case kOperLessEqual: return truth(a <= b);
    default: return truth(a >= b);
    }
}

bool equal(const std::string &left, const std::string &right)
{
    if (both_numbers(left, right))
        return as_number(left) == as_number(right);
    return left == right;
}

std::string evaluate_binary(int oper, const std::string &left, const std::string &right)
{
    bool numbers = both_numbers(left, right);
    switch (oper) {
    case '+': return add(left, right);
    case '-': return numbers ? format_number(as_number(left) - as_number(right)) : "";
    case '*': return numbers ? format_number(as_number(left) * as_number(right)) : "";
    case '/': return divide(left, right);
    case kOperEqual: return truth(equal(left, right));
    case kOperNotEqual: return truth(!equal(left, right));
    case kOperAnd: return truth(as_number(left) != 0 && as_number(right) != 0);
    default: return order(oper, left, right);
    }
}

std::string evaluate_operator(const vn_config_expr_t *node)
{
    if (node->oper == kOperEmpty || node->nops == 0)
        return "0";
    std::string left = evaluate(node->op[0]);
    if (node->oper == kOperNegate)
        return is_number(left.c_str()) ? format_number(-as_number(left)) : "";
    // "||" leaves its right operand alone once the left one decides.
    if (node->oper == kOperOr && as_number(left) != 0)
        return truth(true);
    std::string right = node->nops > 1 ? evaluate(node->op[1]) : "";
    if (node->oper == kOperOr)
        return truth(as_number(right) != 0);
    return evaluate_binary(node->oper, left, right);
}

std::string evaluate(const vn_config_expr_t *node)
{
    if (node == nullptr)
        return "0";
    if (node->type == VN_CONFIG_EXPR_CONSTANT)
        return node->value != nullptr ? node->value : "";
    return evaluate_operator(node);
}

} // namespace

// --- Node makers for the grammar ---

vn_config_expr_t *expr_new_constant(expr_compile_state *state, char *text)
{
    vn_config_expr_t *node = new_node(state, VN_CONFIG_EXPR_CONSTANT);
    node->value = text;
    return node;
}

// An option reference is resolved now, from the option list current while compiling.
vn_config_expr_t *expr_new_option_ref(expr_compile_state *state, char *name)
{
    char buffer[kOptionValueBytes];
    const char *value = _vn_config_get_option_value(name, buffer, sizeof buffer);
    if (value == nullptr) {
        report_at_line("%s:%d Unknown configuration option %s\n", name);
        value = "";
    }
    vn_config_expr_t *node = expr_new_constant(state, vn_strdup(value));
    vn_free(name);
    return node;
}

vn_config_expr_t *expr_new_unary(expr_compile_state *state, int oper, vn_config_expr_t *operand)
{
    vn_config_expr_t *node = new_operator(state, oper, 1);
    node->op[0] = operand;
    return node;
}

vn_config_expr_t *expr_new_binary(expr_compile_state *state, int oper, vn_config_expr_t *left,
                                  vn_config_expr_t *right)
{
    vn_config_expr_t *node = new_operator(state, oper, 2);
    node->op[0] = left;
    node->op[1] = right;
    return node;
}

vn_config_expr_t *expr_new_empty(expr_compile_state *state, vn_config_expr_t *left, vn_config_expr_t *right)
{
    free_subtree(left);
    free_subtree(right);
    return new_operator(state, kOperEmpty, 0);
}

// The text is cut so that a long one cannot push the reason out of the message.
void expr_syntax_error(expr_compile_state *state, const char *reason)
{
    bool cut = std::strlen(state->text) > kMaxQuotedText;
    vn_config_add_error_message_fmt("%s:%d Bad expression: %.*s%s (%s)\n", vn_config_get_filename(),
                                    vn_config_get_linenumber(), static_cast<int>(kMaxQuotedText), state->text,
                                    cut ? "..." : "", reason);
}

void expr_scanner_fatal(const char *message)
{
    std::fprintf(stderr, "%s\n", message);
    std::fflush(stderr);
    std::exit(2);
}

// --- Interface ---

int is_number(const char *text)
{
    if (text == nullptr || text[0] == '\0')
        return 0;
    if (!std::isdigit(static_cast<unsigned char>(text[0])) && text[0] != '+' && text[0] != '-')
        return 0;
    bool seen_point = false;
    for (const char *at = text + 1; *at != '\0'; at++) {
        if (*at == '.' && !seen_point)
            seen_point = true;
        else if (!std::isdigit(static_cast<unsigned char>(*at)))
            return 0;
    }
    return 1;
}

vn_config_expr_t *_vn_config_expr_compile(const char *text)
{
    expr_compile_state state;
    _vn_list_init(&state.nodes);
    state.root = nullptr;
    state.text = text != nullptr ? text : "";
    if (std::strlen(state.text) > kMaxExpressionText) {
        expr_syntax_error(&state, "memory exhausted");
        return nullptr;
    }
    yyscan_t scanner;
    if (vn_expr_lex_init(&scanner) != 0)
        expr_scanner_fatal("cannot create the expression scanner");
    YY_BUFFER_STATE buffer = vn_expr__scan_string(state.text, scanner);
    int failed = vn_expr_parse(&state, scanner);
    vn_expr__delete_buffer(buffer, scanner);
    vn_expr_lex_destroy(scanner);
    if (failed != 0 || state.root == nullptr) {
        free_all_nodes(&state.nodes);
        return nullptr;
    }
    // The nodes stay linked in a ring without the head, so deleting the root
    // can free them all without recursing over a deep tree.
    _vn_list_del(&state.nodes);
    return state.root;
}

char *_vn_config_expr_eval(vn_config_expr_t *node)
{
    return vn_strdup(evaluate(node).c_str());
}

void _vn_config_expr_delete(vn_config_expr_t *node)
{
    if (node == nullptr)
        return;
    vn_list_t *link = node->list.next;
    while (link != &node->list) {
        vn_list_t *next = link->next;
        free_node(_vn_list_entry(link, vn_config_expr_t, list));
        link = next;
    }
    free_node(node);
}
