#include <gtest/gtest.h>

#include <set>

#include "measurement/config/runtime/QZMPRuntimeEntityConverter.h"
#include "measurement/config/runtime/testkit/QZMPAssembler.h"
#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"
#include "measurement/proto/NANOFieldAccess.h"

namespace {

std::string assemble(const char* text) {
  auto entity = QZMPAssembleEntity(text);
  if (!entity) return entity.error().description;
  QZMPError error;
  const QZMPRuntimeValue value = QZMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(**entity, error);
  return error ? QZMPDescribe(error) : QZMPDescribe(value);
}

TEST(Assembler, WritesEveryFormAsEntities) {
  const struct {
    const char* text;
    std::string entity;
  } cases[] = {
      {"(+ 1 2)", "(0 1 2)"},
      {"(if (< 1 2) (list (break)) (list (return \"x\")))", "(22 (23 1 2) (46 (4)) (46 (36 \"x\")))"},
      {"(>>> -1 0)", "(61 -1 0)"},
      {"(fn \"f\" (array \"a\") (return (get \"a\")))", "(51 \"f\" (7 \"a\") (36 (15 \"a\")))"},
      {"(22 true 5)", "(22 true 5)"},
      {"(022)", "(\"022\")"},
      {"($f 1)", "(\"f\" 1)"},
      {"(\"with space\" 1)", "(\"with space\" 1)"},
      {"undefined", "(44)"},
      {"null", "(45)"},
      {"(list -Infinity NaN +5 1e21 -0.5)", "(46 -Infinity NaN 5 1e+21 -0.5)"},
      {"\"q\\\"b\\\\s\\n\\u00e9\\ud83d\\ude00\"", "\"q\\\"b\\\\s\\u000A\\u00E9\\uD83D\\uDE00\""},
      {"(+ 1 ; a comment\n 2)", "(0 1 2)"},
      {"{type=4 name=\"0\" 1 {type=2 number=3}}", "(0 1 3)"},
      {"{type=2}", "NaN"},
      // Errors name the place.
      {"(nosuch 1)", "1:8: unknown mnemonic: nosuch"},
      {"(+ 1", "1:5: missing )"},
      {"\"open", "1:6: unterminated string"},
      {"{colour=1}", "1:10: unknown entity field: colour"},
      {"\"\\ud800\"", "1:8: unpaired surrogate"},
      {"(+ 1)\n)", "2:1: unexpected closing bracket"},
      {"1 2", "expected exactly one form"},
      {"-", "1:2: not a literal: -"},
  };
  for (const auto& c : cases) EXPECT_EQ(assemble(c.text), c.entity) << c.text;
}

TEST(Assembler, WritesProgramsWithActivities) {
  auto program = QZMPAssembleProgram("(var \"x\") (#activity \"rule\" (map \"a\" 1) (map)) 5");
  ASSERT_TRUE(program) << program.error().description;
  auto statements = NANOGetArray<QZMPBRuntimeEntity>(program->get(), QZMPBProgram::kInstructions);
  ASSERT_TRUE(statements);
  EXPECT_EQ(statements->size(), 2u);
  auto activities = NANOGetMessage<QZMPBOgtActivities>(program->get(), QZMPBProgram::kActivities);
  ASSERT_TRUE(activities);
  auto list = NANOGetArray<QZMPBOgtActivity>(activities.get(), QZMPBOgtActivities::kActivities);
  ASSERT_EQ(list->size(), 1u);
  EXPECT_EQ(NANOGetString((*list)[0].get(), QZMPBOgtActivity::kName), "rule");
  EXPECT_EQ(NANOGetArray<QZMPBRuntimeEntity>((*list)[0].get(), QZMPBOgtActivity::kData)->size(), 2u);
}

// Every opcode a command family owns has a mnemonic.
TEST(Assembler, KnowsAMnemonicForEveryOpcode) {
  const char* const mnemonics[] = {
      "+", "&&", "call", "assign", "break", "run", "continue", "array", "map", "run9", "/", "==", "seq", "get",
      "prop", "prop17", ">", ">=", "===", "!==", "if", "<", "<=", "%", "*", "neg", "!", "!=", "||", "first",
      "first33", "pass", "pass35", "return", "-", "switch", "?:", "typeof", "var", "while", "setprop",
      "undefined", "null", "list", "forin", "function", "fn", "const", "block", "forinconst", "forinvar", "&",
      "<<", "~", "|", ">>", ">>>", "^", "for", "forof", "forofconst", "forofvar"};
  std::set<std::string> opcodes;
  for (const char* mnemonic : mnemonics) {
    const char* opcode = QZMPOpcodeForMnemonic(mnemonic);
    ASSERT_NE(opcode, nullptr) << mnemonic;
    EXPECT_TRUE(opcodes.insert(opcode).second) << mnemonic << " repeats " << opcode;
  }
  for (int opcode = 0; opcode <= 66; ++opcode) {
    if (opcode == 11 || opcode == 14 || opcode == 31 || opcode == 48 || opcode == 49) continue;
    EXPECT_TRUE(opcodes.count(std::to_string(opcode))) << opcode;
  }
}

}  // namespace
