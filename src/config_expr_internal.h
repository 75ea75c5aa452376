// config_expr_internal.h: what the expression grammar and scanner, generated
// from config_expr.y and config_expr.l, share with config_expr.cpp.
#ifndef CONFIG_EXPR_INTERNAL_H
#define CONFIG_EXPR_INTERNAL_H

#include "vantrix_private.h"

// Operator codes kept in the nodes; the grammar's token codes equal them.
constexpr int kOperAnd = 261;
constexpr int kOperOr = 262;
constexpr int kOperNotEqual = 263;
constexpr int kOperEqual = 264;
constexpr int kOperLessEqual = 265;
constexpr int kOperGreaterEqual = 266;
constexpr int kOperNegate = 267;
constexpr int kOperEmpty = 0; // the forms "x = y", "a b c" and "x 1 y": evaluate to "0"

// One compile's state, so that compiles do not share globals.
struct expr_compile_state {
    vn_list_t nodes;        // every live node made by this compile
    vn_config_expr_t *root; // set when the parser accepts
    const char *text;       // the expression, for messages
};

// Node makers for the grammar's actions. Each links the node into the
// compile's list, so a failed parse frees them all.
vn_config_expr_t *expr_new_constant(expr_compile_state *state, char *text); // takes the text
vn_config_expr_t *expr_new_option_ref(expr_compile_state *state, char *name); // takes the name
vn_config_expr_t *expr_new_unary(expr_compile_state *state, int oper, vn_config_expr_t *operand);
vn_config_expr_t *expr_new_binary(expr_compile_state *state, int oper, vn_config_expr_t *left,
                                  vn_config_expr_t *right);
// Frees both operands and gives a node that evaluates to "0".
vn_config_expr_t *expr_new_empty(expr_compile_state *state, vn_config_expr_t *left,
                                 vn_config_expr_t *right);
void expr_syntax_error(expr_compile_state *state, const char *reason);

// The scanner's allocation and its fatal-error path.
[[noreturn]] void expr_scanner_fatal(const char *message);

#endif
