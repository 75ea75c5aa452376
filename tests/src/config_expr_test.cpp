#include "vantrix_private.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

using ::testing::HasSubstr;

namespace {

int c_port = 8080;
char *c_name = nullptr;

struct EvalCase {
    const char *text;
    const char *result;
};

std::ostream &operator<<(std::ostream &out, const EvalCase &test_case)
{
    return out << '"' << test_case.text << '"';
}

class ConfigExpr : public ::testing::Test {
protected:
    void SetUp() override
    {
        vn_config_set_ctx(vn_config_new_ctx());
        c_port = 8080;
        vn_config_add_option(0, "port", "Port", VN_CONFIG_INT, &c_port);
        c_name = vn_strdup("alpha");
        vn_config_add_option(0, "name", "Name", VN_CONFIG_STRING, &c_name);
    }

    // The result text, or nothing when the text does not compile.
    static std::optional<std::string> evaluate(const std::string &text)
    {
        vn_config_expr_t *tree = _vn_config_expr_compile(text.c_str());
        if (tree == nullptr)
            return std::nullopt;
        char *result = _vn_config_expr_eval(tree);
        std::string value = result;
        vn_free(result);
        _vn_config_expr_delete(tree);
        return value;
    }
};

class ConfigExprValues : public ConfigExpr, public ::testing::WithParamInterface<EvalCase> {};

TEST_P(ConfigExprValues, EvaluatesTo)
{
    ::testing::internal::CaptureStderr();
    std::optional<std::string> value = evaluate(GetParam().text);
    std::string messages = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(value.has_value()) << messages;
    EXPECT_EQ(*value, GetParam().result);
    EXPECT_EQ(messages, "");
}

INSTANTIATE_TEST_SUITE_P(Precedence, ConfigExprValues, ::testing::Values(
    EvalCase{"1 + 2 * 3", "7"},
    EvalCase{"(1 + 2) * 3", "9"},
    EvalCase{"10 - 4 - 3", "3"},
    EvalCase{"12 / 3 / 2", "2"},
    EvalCase{"- 2 + 3", "1"},
    EvalCase{"- (2 + 3)", "-5"},
    EvalCase{"1 + 1 == 2 && 3 > 2", "1"},
    EvalCase{"1 < 2 == 1", "1"},
    EvalCase{"1 || 0 && 0", "0"}, // && and || share one level
    EvalCase{"1 < 2 && 2 < 3", "1"}));

INSTANTIATE_TEST_SUITE_P(Numbers, ConfigExprValues, ::testing::Values(
    EvalCase{"3 - 2", "1"},
    EvalCase{"-3 + 5", "2"}, // -3 is a word, and a number
    EvalCase{"- 3", "-3"},
    EvalCase{"7 / 2", "3.5"},
    EvalCase{"1. + 01", "2"},
    EvalCase{"1 == 1.0", "1"},
    EvalCase{"10 > 9", "1"},
    EvalCase{"2000000 * 2", "4e+06"},
    EvalCase{"2000000 * 2 + 1", "4e+061"}, // exponent form is no number any more
    EvalCase{".5 + 1", ".51"},
    EvalCase{"1e3 + 1", "1e31"},
    EvalCase{"abc * 2", ""},
    EvalCase{"abc - 1", ""},
    EvalCase{"- abc", ""},
    EvalCase{"abc / 2", ""}));

INSTANTIATE_TEST_SUITE_P(TextsAndComparisons, ConfigExprValues, ::testing::Values(
    EvalCase{"abc + def", "abcdef"},
    EvalCase{"'x' + \"y\"", "xy"},
    EvalCase{"a + 1", "a1"},
    EvalCase{"a == b", "0"},
    EvalCase{"a == a", "1"},
    EvalCase{"a != b", "1"},
    EvalCase{"b > a", "0"}, // ordering is for numbers only
    EvalCase{"2 >= 2", "1"},
    EvalCase{"1 <= 0", "0"},
    EvalCase{"1 and 0", "0"},
    EvalCase{"0 or 2", "1"},
    EvalCase{"x && 1", "0"},
    EvalCase{"'and' == \"and\"", "1"}));

INSTANTIATE_TEST_SUITE_P(Quirks, ConfigExprValues, ::testing::Values(
    EvalCase{"x = y", "0"},
    EvalCase{"a b c", "0"},
    EvalCase{"x 1 y", "0"},
    EvalCase{"a = b * c", "0"},
    EvalCase{"1 + x = y", "1"}, // the empty form takes the operator's right operand
    EvalCase{"a )", "a"},
    EvalCase{"a ( b", "a"},
    EvalCase{"a ; b {", "a"},
    EvalCase{"@ port", "8080"},
    EvalCase{"@port > 1000", "1"},
    EvalCase{"@name + 1", "alpha1"}));

class ConfigExprErrors : public ConfigExpr, public ::testing::WithParamInterface<const char *> {};

TEST_P(ConfigExprErrors, IsASyntaxError)
{
    ::testing::internal::CaptureStderr();
    std::optional<std::string> value = evaluate(GetParam());
    std::string messages = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(value.has_value()) << *value;
    EXPECT_THAT(messages, HasSubstr(std::string(" Bad expression: ") + GetParam() + " (syntax error)\n"));
}

INSTANTIATE_TEST_SUITE_P(Texts, ConfigExprErrors, ::testing::Values(
    "", "3-2", "1e", "a b", "1 2", "1 +", "(1", "a @b", "@1", "\"a b\"", "1 % 2", "and", "* 2"));

TEST_F(ConfigExpr, UnknownCharactersAreEchoedAndSkipped)
{
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    std::optional<std::string> value = evaluate("_x % $ 2");
    std::string messages = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "_%$");
    EXPECT_FALSE(value.has_value()); // "x 2" is left, a syntax error
    EXPECT_THAT(messages, HasSubstr("(syntax error)"));
}

TEST_F(ConfigExpr, DivisionByZeroGivesZeroAndAMessage)
{
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(evaluate("10 / 0"), "0");
    EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr(" Division by 0\n"));
}

TEST_F(ConfigExpr, UnknownOptionIsReportedWhileCompilingAndReadsEmpty)
{
    ::testing::internal::CaptureStderr();
    vn_config_expr_t *tree = _vn_config_expr_compile("1 || @nosuch");
    EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr(" Unknown configuration option nosuch\n"));
    ASSERT_NE(tree, nullptr);
    char *result = _vn_config_expr_eval(tree);
    EXPECT_STREQ(result, "1");
    vn_free(result);
    _vn_config_expr_delete(tree);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(evaluate("@nosuch + x"), "x");
    EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr("Unknown configuration option nosuch"));
}

TEST_F(ConfigExpr, OptionReferenceTakesTheValueAtCompileTime)
{
    vn_config_expr_t *tree = _vn_config_expr_compile("@port");
    ASSERT_NE(tree, nullptr);
    c_port = 1;
    char *result = _vn_config_expr_eval(tree);
    EXPECT_STREQ(result, "8080");
    vn_free(result);
    _vn_config_expr_delete(tree);
}

TEST_F(ConfigExpr, MissingTreeEvaluatesToZero)
{
    char *result = _vn_config_expr_eval(nullptr);
    EXPECT_STREQ(result, "0");
    vn_free(result);
    _vn_config_expr_delete(nullptr);
}

TEST_F(ConfigExpr, ConcatenationIsCutAt1023Characters)
{
    std::string word(800, 'w');
    std::optional<std::string> value = evaluate(word + " + " + word);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->size(), 1023u);
}

TEST_F(ConfigExpr, LongChainsAndDeepNestingEvaluateWithoutFault)
{
    std::string chain = "1";
    for (int i = 0; i < 2000; i++)
        chain += "+1";
    EXPECT_EQ(evaluate(chain), "2001");

    std::string nested = std::string(2000, '(') + "1" + std::string(2000, ')');
    EXPECT_EQ(evaluate(nested), "1");

    std::string negations;
    for (int i = 0; i < 2000; i++)
        negations += "- ";
    EXPECT_EQ(evaluate(negations + "1"), "1");
}

TEST_F(ConfigExpr, OverlongTextIsRefusedAsTooBigToParse)
{
    std::string chain = "1";
    for (int i = 0; i < 5000; i++)
        chain += "+1";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(evaluate(chain), std::nullopt);
    std::string messages = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(messages, HasSubstr(" Bad expression: " + chain.substr(0, 1023) + "... (memory exhausted)\n"));
}

TEST(ConfigExprNumberTest, FollowsTheOperatorsRule)
{
    const struct {
        const char *text;
        int number;
    } cases[] = {
        {"12", 1}, {"-1.5", 1}, {"1.", 1}, {"+", 1}, {"-", 1}, {"+3", 1},
        {".5", 0}, {"1e3", 0}, {" 1", 0}, {"", 0}, {"1.2.3", 0}, {"1a", 0}, {"--1", 0},
    };
    for (const auto &test_case : cases)
        EXPECT_EQ(is_number(test_case.text), test_case.number) << '"' << test_case.text << '"';
}

} // namespace
