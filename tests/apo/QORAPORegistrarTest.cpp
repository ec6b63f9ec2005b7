// The registrar script language at its edges, and what registering and unregistering a script do
// to keys the script shares with others.
#include <gtest/gtest.h>

#include <string>

#include "APOTestSupport.h"
#include "apo/QORAPORegistrar.h"
#include "apo/QORAPORegistryScript.h"

namespace {

using apotest::Exists;
using apotest::Key;
using apotest::Number;
using apotest::Text;

std::string Refusal(const std::wstring& script) {
  QORAPORegistryScript parsed;
  parsed.AddReplacement(L"MODULE", L"/m.so");
  if (parsed.Parse(script)) return "accepted";
  EXPECT_TRUE(parsed.Roots().empty());
  return parsed.Error();
}

TEST(QORAPORegistryScriptTest, QuotesKeywordsAndReplacementsReadAsData) {
  QORAPORegistryScript script;
  // A module path that looks like script text must stay one value.
  script.AddReplacement(L"MODULE", L"/opt/o'neil } { = s/x.so");
  ASSERT_TRUE(
      script.Parse(L"HKLM {\n 'it''s here' = s 'a ''quoted'' value'\n"
                   L" 'NoRemove' { val '' = s 'x' val 'two words' = d 0x1F }\n"
                   L" '{' = s '%MODULE%' Plain = s %MODULE% Pct = s '100%%'\n}\n"))
      << script.Error();
  ASSERT_EQ(script.Roots().size(), 1u);
  const QORAPORegistryScript::Root& root = script.Roots()[0];
  ASSERT_EQ(root.keys.size(), 5u);
  EXPECT_EQ(root.keys[0].name, L"it's here");
  EXPECT_EQ(root.keys[0].defaultValue.text, L"a 'quoted' value");
  // Quoted, a keyword is a plain key name.
  EXPECT_EQ(root.keys[1].name, L"NoRemove");
  EXPECT_EQ(root.keys[1].removal, QORAPORegistryScript::Removal::kDefault);
  ASSERT_EQ(root.keys[1].values.size(), 2u);
  EXPECT_EQ(root.keys[1].values[1].name, L"two words");
  EXPECT_EQ(root.keys[1].values[1].number, 31u);
  EXPECT_EQ(root.keys[2].name, L"{");
  EXPECT_EQ(root.keys[2].defaultValue.text, L"/opt/o'neil } { = s/x.so");
  EXPECT_EQ(root.keys[3].defaultValue.text, L"/opt/o'neil } { = s/x.so");
  EXPECT_EQ(root.keys[4].defaultValue.text, L"100%");
}

TEST(QORAPORegistryScriptTest, MalformedScriptsAreRefusedWithTheLineAndTheFault) {
  EXPECT_EQ(Refusal(L"HKCR\n{\n A\n"), "line 3: missing '}' at the end");
  EXPECT_EQ(Refusal(L"HKCU { A }"), "line 1: unknown root key 'HKCU'");
  EXPECT_EQ(Refusal(L"HKCR {\n A = s 'open\n }"), "line 2: unterminated quoted text");
  EXPECT_EQ(Refusal(L"HKCR { A = d 4294967296 }"), "line 1: not a 32-bit number: '4294967296'");
  EXPECT_EQ(Refusal(L"HKCR { val A = s 'v' }"), "line 1: 'val' directly under a root key");
  EXPECT_EQ(Refusal(L"HKCR { 'a\\b' }"), "line 1: a backslash or NUL in the key name 'a\\b'");
  EXPECT_EQ(Refusal(L"HKCR { " + std::wstring(256, L'k') + L" }"),
            "line 1: a key name longer than 255 characters");
  EXPECT_EQ(Refusal(L"HKCR { A = s '%APPID%' }"), "line 1: unknown replacement '%APPID%'");
  EXPECT_EQ(Refusal(L" \n\t"), "accepted");  // an empty script, not a fault
  // Nesting is kept to its limit.
  const auto nested = [](int depth) {
    std::wstring open, close;
    for (int i = 0; i < depth; ++i) open += L" { K" + std::to_wstring(i), close += L" }";
    return L"HKCR" + open + L" = s 'leaf'" + close;
  };
  EXPECT_EQ(Refusal(nested(QORAPORegistryScript::kMaxDepth)), "accepted");
  EXPECT_EQ(Refusal(nested(QORAPORegistryScript::kMaxDepth + 1)),
            "line 1: keys nested deeper than 32");
}

class QORAPORegistrarTest : public ::testing::Test {
 protected:
  qortest::TempStateRoot root_;
  QORAPORegistrar registrar_;
};

TEST_F(QORAPORegistrarTest, AMalformedScriptWritesNothing) {
  // Valid up to its last line: nothing of the first keys may appear.
  EXPECT_EQ(registrar_.Register(L"HKCR {\n Early = s 'x' { val V = s 'y' }\n Late = q 'z'\n}"),
            QORAPORegistrar::kParseFailed);
  EXPECT_EQ(registrar_.Error(), "line 3: unknown value type 'q' (expected s or d)");
  EXPECT_FALSE(Exists(L"Early"));
}

TEST_F(QORAPORegistrarTest, UnregisteringSparesNoRemoveKeysAndKeysOthersStillFill) {
  const std::wstring script =
      L"HKCR {\n"
      L" NoRemove Shared { val Mine = s 'm' Own = s 'o' { Leaf = s 'l' } }\n"
      L" Plain = s 'p' { val V = d 7 }\n"
      L" ForceRemove Forced = s 'f' { Inner = s 'i' }\n"
      L"}";
  ASSERT_EQ(registrar_.Register(script), S_OK) << registrar_.Error();
  EXPECT_EQ(Text(L"Shared", L"Mine"), L"m");
  EXPECT_EQ(Text(L"Shared\\Own\\Leaf", L""), L"l");
  EXPECT_EQ(Number(L"Plain", L"V"), 7u);

  // Others' entries: a value in the shared key and a subkey under the plain key.
  ASSERT_EQ(Key(L"Shared").SetString(L"Theirs", L"t"), ERROR_SUCCESS);
  ASSERT_TRUE(Key(L"Plain\\Theirs", true).IsOpen());

  ASSERT_EQ(registrar_.Unregister(script), S_OK) << registrar_.Error();
  EXPECT_TRUE(Exists(L"Shared"));
  EXPECT_EQ(Text(L"Shared", L"Mine"), L"<missing>");
  EXPECT_EQ(Text(L"Shared", L"Theirs"), L"t");
  EXPECT_FALSE(Exists(L"Shared\\Own"));
  EXPECT_FALSE(Exists(L"Forced"));
  EXPECT_TRUE(Exists(L"Plain\\Theirs"));
  EXPECT_EQ(Number(L"Plain", L"V"), 0xDEADBEEFu);
}

}  // namespace
