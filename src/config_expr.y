/* Grammar of the configuration expression language. */
%code requires {
#include "config_expr_internal.h"
}

%code {
#include <cstring>

#define YYMALLOC vn_malloc
#define YYFREE vn_free

int vn_expr_lex(VN_EXPR_STYPE *value, void *scanner);

static void vn_expr_error(expr_compile_state *state, void *, const char *reason)
{
    expr_syntax_error(state, reason);
}
}

%define api.pure full
%define api.prefix {vn_expr_}
%define api.token.prefix {TOK_}
/* Report an error at the token that cannot continue the expression, not after
   a default reduction: "a @b" is an error, not the expression a. */
%define lr.default-reduction consistent
%parse-param {expr_compile_state *state} {void *scanner}
%lex-param {void *scanner}

%union {
    char *text;
    vn_config_expr_t *node;
}

%token <text> STRING 258
%token <text> NUMBER 259
%token OPTREF 260
%token AND 261
%token OR 262
%token NE 263
%token EQ 264
%token LE 265
%token GE 266
%token UMINUS 267

%left AND OR
%left '<' '>' LE GE EQ NE
%left '+' '-'
%left '*' '/'
%precedence UMINUS

%type <node> expr
/* Nodes are freed through the compile's node list; only token texts need this. */
%destructor { vn_free($$); } <text>

/* The forms joined by '=', a word or a number carry no precedence: every
   conflict with them is resolved by shifting, so they extend to the right and
   take the right operand of an operator before them. */
%expect 84

%%

input
    : expr          { state->root = $1; YYACCEPT; }
    | expr stop     { state->root = $1; YYACCEPT; }
    ;

/* Tokens that end the expression; the rest of the text is ignored. */
stop: ')' | '(' | '#' | ',' | '.' | ';' | '{' | '}' ;

expr
    : STRING                    { $$ = expr_new_constant(state, $1); }
    | NUMBER                    { $$ = expr_new_constant(state, $1); }
    | OPTREF STRING             { $$ = expr_new_option_ref(state, $2); }
    | '(' expr ')'              { $$ = $2; }
    | '-' expr %prec UMINUS     { $$ = expr_new_unary(state, kOperNegate, $2); }
    | expr '+' expr             { $$ = expr_new_binary(state, '+', $1, $3); }
    | expr '-' expr             { $$ = expr_new_binary(state, '-', $1, $3); }
    | expr '*' expr             { $$ = expr_new_binary(state, '*', $1, $3); }
    | expr '/' expr             { $$ = expr_new_binary(state, '/', $1, $3); }
    | expr '<' expr             { $$ = expr_new_binary(state, '<', $1, $3); }
    | expr '>' expr             { $$ = expr_new_binary(state, '>', $1, $3); }
    | expr LE expr              { $$ = expr_new_binary(state, kOperLessEqual, $1, $3); }
    | expr GE expr              { $$ = expr_new_binary(state, kOperGreaterEqual, $1, $3); }
    | expr EQ expr              { $$ = expr_new_binary(state, kOperEqual, $1, $3); }
    | expr NE expr              { $$ = expr_new_binary(state, kOperNotEqual, $1, $3); }
    | expr AND expr             { $$ = expr_new_binary(state, kOperAnd, $1, $3); }
    | expr OR expr              { $$ = expr_new_binary(state, kOperOr, $1, $3); }
    | expr '=' expr             { $$ = expr_new_empty(state, $1, $3); }
    | expr STRING expr          { vn_free($2); $$ = expr_new_empty(state, $1, $3); }
    | expr NUMBER expr          { vn_free($2); $$ = expr_new_empty(state, $1, $3); }
    ;

%%

static_assert(TOK_AND == kOperAnd && TOK_OR == kOperOr && TOK_NE == kOperNotEqual &&
                  TOK_EQ == kOperEqual && TOK_LE == kOperLessEqual && TOK_GE == kOperGreaterEqual &&
                  TOK_UMINUS == kOperNegate,
              "operator codes are the token codes");
