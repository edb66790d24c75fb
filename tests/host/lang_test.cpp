// The language over the started library: hostile scripts end with one error
// line and leave nothing live behind.
#include "lang/lang.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "booted_test.h"
#include "host/host.h"
#include "lang/boot.h"
#include "objkit/exports.h"
#include "runtime/runtime.h"

namespace rt = zel::rt;

namespace {

using Lang = objkit_test::LeakCheckedTest;

std::string repeated(const std::string &text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

TEST_F(Lang, DepthIsBoundedWhateverNests) {
  EXPECT_EQ(zel::run("x = 0" + repeated(" + 1", 200) + ";"), "");
  EXPECT_EQ(zel::run("x = 0" + repeated(" + 1", 201) + ";"), "test:1: expression nested too deeply");
  EXPECT_EQ(zel::run("print nil" + repeated(":x", 100000) + ";"), "test:1: expression nested too deeply");
  EXPECT_EQ(zel::run("x = " + repeated("(", 300) + "1;"), "test:1: nested too deeply");
  EXPECT_EQ(zel::run("procedure r (); r (); end r ();"), "test:1: calls nested too deeply");
  // Deep expressions in each call use up the native stack, or on a target with
  // smaller frames the bound of calls, first: either way the script fails cleanly.
  const std::string deep = "procedure d (n); return " + repeated("0 + (", 190) + "d (n + 1)" +
                           repeated(")", 190) + "; end\nd (0);";
  const std::string error = zel::run(deep);
  EXPECT_TRUE(error == "test:1: nested too deeply: the stack is full" ||
              error == "test:1: calls nested too deeply")
      << error;
}

// Remaking classes over and over, each with a method and a subclass, leaves
// as many classes and procedures as making them once. An old class goes with
// the last object, list entry or variable that holds it, deep subclass chains
// included, and a method that remakes its own class runs on.
TEST_F(Lang, RemadeClassesAndTheirProceduresAreFreed) {
  const std::string remake =
      "zel$object:subclass \"Cell\", \"x\"; procedure Cell:get (); return x; end\n"
      "Cell:subclass \"Sub\", \"\"; procedure Sub:get (); return super:get (); end\n";
  ASSERT_EQ(zel::run(remake), "");
  const auto live = [] { return std::pair(rt::live_classes(), zel::lang::live_procedures()); };
  const auto [classes, procedures] = live();
  ASSERT_EQ(zel::run("i = 0; while i < 1000 do " + remake + "i = i + 1; end"), "");
  EXPECT_EQ(live(), std::pair(classes, procedures));
  const size_t objects = rt::live_objects();  // no freed class value's block comes back as an object
  std::vector<rt::Ref> floats(600);
  for (rt::Ref &f : floats) f = rt::make_float(1);
  EXPECT_EQ(rt::live_objects(), objects + floats.size());

  ASSERT_EQ(zel::run("kept = Sub:new (); l = T_DblLnk:new (); l:create (); l:Add (Cell);\n" + remake), "");
  EXPECT_EQ(live(), std::pair(classes + 2, procedures + 2));
  ASSERT_EQ(zel::run("kept = nil;"), "");
  EXPECT_EQ(rt::live_classes(), classes + 1);
  ASSERT_EQ(zel::run("l = nil;"), "");
  EXPECT_EQ(live(), std::pair(classes, procedures));

  ASSERT_EQ(zel::run("i = 0; while i < 3000 do Cell:subclass \"Cell\", \"\"; i = i + 1; end\n"
                     "kept = Cell:new ();"),
            "");
  EXPECT_EQ(rt::live_classes(), classes + 3000);
  ASSERT_EQ(zel::run(remake + "kept = nil;"), "");
  EXPECT_EQ(rt::live_classes(), classes);

  EXPECT_EQ(zel::run("procedure Cell:remake (); " + remake +
                     "x = 5; return self:get (); end\n"
                     "if Cell:new ():remake () isnt 5 then wrong (); end"),
            "");
  EXPECT_EQ(live(), std::pair(classes, procedures));
}

// A value whose release makes the global again, every time (lib/phoenix.zel
// remakes `nest`, a list holding such a value).
TEST_F(Lang, DroppingTheGlobalsEndsWhenReleasesKeepMakingThem) {
  const std::string remake = std::string("compile \"") + OBJKIT_TEST_SCRIPTS + "/lang/lib/phoenix.zel\";";
  ASSERT_EQ(zel::run("zel$object:subclass \"Phoenix\", \"\";\n"
                     "procedure Phoenix:setkey (k); if k is nil then " +
                     remake + " end end\n" + remake),
            "");
  EXPECT_EQ(zel::drop_globals(),
            "releasing the globals still made new ones after 100 rounds; not dropped: nest");
  ASSERT_EQ(zel::run("procedure Phoenix:setkey (k); end"), "");
  EXPECT_EQ(zel::drop_globals(), "");
}

// Statements that cannot mean what they say, errors that say what was meant,
// and scripts that run clean: classes the library bound, any object read as
// a number, a procedure replaced while it runs or while its arguments are
// evaluated, lookups after redefinitions.
TEST_F(Lang, ErrorsSayWhatWasMeant) {
  const struct {
    const char *text, *error;
  } cases[] = {
      {"print;", "test:1: syntax error: print needs arguments (print (); writes an empty line)"},
      {"x = 1;\nprint -x;",
       "test:2: syntax error: print's first argument begins with '-': put it in parentheses"},
      {"print = 2; y = print - 1; if y isnt 1 then nosuch (); end", ""},
      {"procedure Print (x); end", "test:1: procedure Print cannot be defined: Print is a built-in routine"},
      {"procedure number (x); end",
       "test:1: procedure number cannot be defined: number is a built-in routine"},
      {"T_Timer:setcurrent (1, 2);",
       "test:1: T_Timer:setcurrent: arguments refused: expects 1 argument, got 2"},
      {"T_Timer:current ();\nT_Timer:current (1);", "test:2: T_Timer:current: expects 0 arguments, got 1"},
      {"x = 1; T_Timer:current ();\nT_Timer:current (x);",
       "test:2: T_Timer:current: expects 0 arguments, got 1"},
      {"t = T_Timer:new (); t:start ();\nt:start (1);", "test:2: T_Timer:start: expects 0 arguments, got 1"},
      {"t = T_Timer:new (); x = 1; t:start ();\nt:start (x);",
       "test:2: T_Timer:start: expects 0 arguments, got 1"},
      {"l = T_DblLnk:new (); l:create (); x = l:KeyAt (1);\nl:KeyAt ();",
       "test:2: T_DblLnk:KeyAt: expects 1 argument, got 0"},
      {"a = slist (1, 2);\nx = a[2];", "test:2: index 2 is past the end (the array has 2 elements)"},
      {"a = slist (1);\na[-1] = 0;", "test:2: index -1 is negative (the array has 1 element)"},
      {"a = slist ();\nx = a[0.5];", "test:2: index 0.5 is not an integer (the array has 0 elements)"},
      {"s = \"ab\";\nx = s[nil];", "test:2: the index is nil, not an integer (the string has 2 bytes)"},
      {"s = \"a\";\nx = s[1];", "test:2: index 1 is past the end (the string has 1 byte)"},
      {"s = \"ab\";\ns[0] = \"x\";", "test:2: a string cannot be changed: its bytes are read only"},
      {"x = 5;\nx[0] == 1;", "test:2: cannot index an integer"},
      {"x = -1073741824; y = -1;\nz = x / y;", "test:2: integer overflow"},
      {"print size (nil);", "test:1: size: argument 1 must be an array or a string, got nil"},
      {"print 1 < 2 < 3;", "test:1: syntax error: comparisons do not chain: write (a < b) and (b < c)"},
      {"procedure f (x); return x; end\ny = f -1;", "test:2: f is a procedure: write f (-1)"},
      {"y = slist;", "test:1: slist is a routine: write slist ()"},
      {"Nosuch:new ();", "test:1: unknown class Nosuch"},
      {"Nosuch:run ();", "test:1: unknown variable Nosuch"},
      {"c = refcount (T_Timer); T_Timer:setcurrent(c); T_Timer:setcurrent(q);", "test:1: unknown variable q"},
      {"if refcount (T_Timer) isnt c then nosuch (); end", ""},
      {"i = 0;\nbreak;", "test:2: break outside a while loop"},
      {"i = 0; while i < 1 do i = 1; procedure p ();\nbreak; end end", "test:2: break outside a while loop"},
      {"while 1 do\nif 1 then x = 1; else\n",
       "test:3: syntax error: expected 'end' closing the 'if' of line 2, found end of input"},
      {"if 1 then x = 1; elseif 2 then\nx = 2; else x = 3; else",
       "test:2: syntax error: expected 'end' closing the 'if' of line 1, found 'else'"},
      {"\xEF\xBB\xBFx = 1;", ""},
      {"x = 1;\xEF\xBB\xBF", "test:1: unexpected byte 239"},
      {"zel$object:subclass \"t_dbllnk\", \"\";",
       "test:1: class T_DblLnk cannot be remade: the library has built-in methods for it"},
      {"T_DblLnk:subclass \"Mine\", \"\"; T_DblLnk:subclass \"Mine\", \"x\";", ""},
      {"setvideo (\"\"); setvideo (nil); objkit_debug (zel$object); setvideo (0); objkit_debug (0);", ""},
      {"procedure f (n);\n  procedure f (n); return n * 2; end\n  x = n + 1;\n  return x;\nend\n"
       "a = f (1); b = f (1);\nprocedure r (); procedure f (n); return n * 3; end return 1; end\n"
       "c = f (r ());\nif a isnt 2 or b isnt 2 or c isnt 3 then print a, b, c; nosuch (); end",
       ""},
      {"procedure g (); return Later; end\ng ();", "test:1: unknown variable Later"},
      {"zel$object:subclass \"A\", \"\"; A:subclass \"B\", \"\";\nzel$object:subclass \"Later\", \"\";\n"
       "procedure A:f (); return 1; end procedure h (); return 1; end\n"
       "procedure B:f (); return super:f () + 100; end\n"
       "a = A:new (); b = B:new (); x = a:f () + h () + b:f ();\n"
       "procedure A:f (); return 10; end procedure h (); return 10; end\n"
       "y = a:f () + h () + b:f ();\n"
       "if x isnt 103 or y isnt 130 or g () isnt Later then print x, y; nosuch (); end",
       ""},
  };
  for (const auto &c : cases) EXPECT_EQ(zel::run(c.text), c.error) << c.text;
}

// Text that cannot be read, the text ending anywhere included, text read
// otherwise than it may look (-5:foo sends to 5, f - "a" is no call), and
// calls and definitions that cannot be made: each error names what was found,
// before any of the text runs, however long.
TEST_F(Lang, UnreadableTextAndImpossibleCallsAreNamed) {
  const struct {
    const char *text, *error;
  } cases[] = {
      {"x = 12a;", "malformed number '12a'"},
      {"x = 1.5e+;", "malformed number '1.5e'"},
      {"x = 1e", "malformed number '1e'"},
      {"x = 1 @ 2;", "unexpected character '@'"},
      {"x = 1 \x01;", "unexpected byte 1"},
      {"x = \"a\\q\";", "unknown escape in string"},
      {"x = \"a\\", "unterminated string"},
      {"x = \"ab", "unterminated string"},
      {"x = \"ab\n\";", "unterminated string"},
      {"print 1 \"b\";", "syntax error: expected ';', found string \"b\""},
      {"x = 1 2", "syntax error: expected ';', found '2'"},
      {"x = 1 <", "syntax error: expected an expression, found end of input"},
      {"print", "syntax error: print needs arguments (print (); writes an empty line)"},
      {"procedure f (1); end", "syntax error: expected a parameter name, found '1'"},
      {"procedure f (a, b, a); end", "parameter a appears twice"},
      {"procedure f (); return",
       "syntax error: expected 'end' closing the 'procedure' of line 1, found end of input"},
      {"x = 1073741824;", "integer 1073741824 is out of range"},
      {"x = -1073741825;", "integer -1073741825 is out of range"},
      {"x = -5:foo ();", "cannot send foo to an integer"},
      {"procedure f (); end y = f - \"a\";", "f is a procedure: write f (-\"a\")"},
      {"x = self;", "self outside a method"},
      {"procedure p (); return super:f (); end p ();", "super outside a method"},
      {"procedure zel$object:f (); return super:f (); end x = zel$object:new (); x:f ();",
       "zel$object has no superclass"},
      {"procedure Nosuch:f (); end", "unknown class Nosuch"},
      {"procedure compile (x); end", "procedure compile cannot be defined: compile is a built-in routine"},
      {"procedure f (a); end f (1, 2);", "f expects 1 argument, got 2"},
      {"compile (1);", "compile expects one string, \"NAME:file\""},
      {"compile (\"a\", \"b\");", "compile expects one string, \"NAME:file\""},
      {"compile \"/.\";", "cannot read /.: Is a directory"},
      {"compile \"EMPTY:file\";", "compile: logical name EMPTY is not set"},
  };
  setenv("EMPTY", "", 1);
  for (const auto &c : cases) EXPECT_EQ(zel::run(c.text), std::string("test:1: ") + c.error) << c.text;
  unsetenv("EMPTY");
  EXPECT_EQ(zel::run("_a = -1073741824; x = 1.5e3; // the text ends in a comment"), "");
  for (const char *text : {"x = 12", "x = 1.5e3"}) EXPECT_EQ(zel::run(text), "") << text;
  EXPECT_EQ(zel::run("f ();" + std::string(16384, ' ') + "\n1 2"),
            "test:2: syntax error: expected ';', found '2'");
}

// What the prompt offers after a receiver: the messages its class and the
// classes above answer, procedures replaced counted once; nothing for a
// receiver that is no class and holds no object.
TEST_F(Lang, CompletionsFollowTheReceiver) {
  ASSERT_EQ(zel::run("zel$object:subclass \"Shape\", \"\"; procedure Shape:area (); return 1; end\n"
                     "procedure Shape:area (); return 2; end procedure top_level (); end\n"
                     "s = Shape:new (); c = Shape; gone = nil;"),
            "");
  for (auto [receiver, name, count] : {std::tuple{"", "top_level", 1},
                                       {"", "area", 0},
                                       {"s", "area", 1},
                                       {"c", "area", 1},
                                       {"c", "new", 1},
                                       {"s", "new", 0}}) {
    const std::vector<std::string> names = zel::lang::completions(receiver);
    EXPECT_EQ(std::count(names.begin(), names.end(), name), count) << receiver << ":" << name;
  }
  EXPECT_TRUE(zel::lang::completions("gone").empty());
  EXPECT_TRUE(zel::lang::completions("nosuch").empty());
}

// A library's exec runs one line of text at top level: 0 when it ran, else -1
// with the error written. A step budget ends loops and recursion.
TEST_F(Lang, ExecReportsItsErrorAndTheStepBudgetEndsLoops) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(exec("ran = 5;"), 0);
  EXPECT_EQ(exec("nosuch ();"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "<exec>:1: unknown routine nosuch\n");
  EXPECT_EQ(zel::run("if ran isnt 5 then nosuch (); end"), "");

  zel::lang::set_step_budget(1000);
  EXPECT_EQ(zel::run("i = 0; while 1 do i = i + 1; end"), "test:1: step budget exhausted");
  zel::lang::set_step_budget(50);
  EXPECT_EQ(zel::run("procedure r (n); if n > 0 then r (n - 1); end end\nr (10);\nr (100);"),
            "test:1: step budget exhausted");
  zel::lang::set_step_budget(0);
  EXPECT_EQ(zel::run("i = 0; while i < 5000 do i = i + 1; end"), "");
}

}  // namespace
