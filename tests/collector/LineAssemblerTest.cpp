#include "LineAssembler.h"
#include "TestCommon.h"

namespace {

using Lines = std::vector<std::string>;

// Feeds each piece in turn, as separate reads would bring them.
Lines Cut(LineAssembler& lines, const Lines& pieces) {
  Lines out;
  for (const std::string& piece : pieces) {
    std::string scratch = piece;
    lines.Feed(&scratch[0], scratch.size(), [&](const char* line) {
      out.emplace_back(line);
      return true;
    });
  }
  return out;
}

TEST(LineAssemblerTest, StreamIsCutIntoLinesAsTheReaderCutsThem) {
  const size_t max = LineAssembler::kMaxLine;
  const std::string full(max, 'a');
  const std::tuple<const char*, Lines, Lines, size_t> cases[] = {
      {"plain", {"one\ntwo\n"}, {"one", "two"}, 0},
      {"carriage returns anywhere", {"wa\rtch\r\n\r\rbe\rta\n"}, {"watch", "beta"}, 0},
      {"split across reads",
       {"be", "gin", "watch\nps", "name: x\n"},
       {"beginwatch", "psname: x"},
       0},
      {"partial tail waits", {"a\nbc"}, {"a"}, 2},
      {"empty lines", {"\n\n"}, {"", ""}, 0},
      {"first NUL ends the line", {std::string("ab\0cd\nef\n", 9)}, {"ab", "ef"}, 0},
      {"exactly the longest line", {full + "\n"}, {full, ""}, 0},
      {"longest line in pieces", {full.substr(0, 100), full.substr(100) + "\n"}, {full, ""}, 0},
      {"longer line is cut", {full + "bcd\n"}, {full, "bcd"}, 0},
      {"carriage return after a cut", {full + "\r\n"}, {full, ""}, 0},
      {"two cuts in one read", {full + full + "z"}, {full, full}, 1},
  };
  for (const auto& [name, pieces, cut, pending] : cases) {
    SCOPED_TRACE(name);
    LineAssembler lines;
    EXPECT_EQ(cut, Cut(lines, pieces));
    EXPECT_EQ(pending, lines.Pending());
  }
}

// Idle connections must hold no heap buffer.
TEST(LineAssemblerTest, BufferIsTakenOnlyWhileALongLineWaitsAndRefusalStopsTheFeed) {
  const long before = LineAssembler::BuffersHeld();
  LineAssembler lines;
  const std::string fill(LineAssembler::kInlineBytes, 'i');
  EXPECT_EQ(Lines{}, Cut(lines, {fill}));
  EXPECT_FALSE(lines.HoldsBuffer());
  Cut(lines, {"j"});
  EXPECT_TRUE(lines.HoldsBuffer());
  EXPECT_EQ(before + 1, LineAssembler::BuffersHeld());
  EXPECT_EQ(Lines{fill + "jk"}, Cut(lines, {"k\n"}));
  EXPECT_FALSE(lines.HoldsBuffer());
  Cut(lines, {std::string(500, 'p')});
  EXPECT_TRUE(lines.HoldsBuffer());
  lines.Drop();
  EXPECT_FALSE(lines.HoldsBuffer());
  EXPECT_EQ(0u, lines.Pending());
  EXPECT_EQ(before, LineAssembler::BuffersHeld());

  std::string scratch = "first\nsecond\nthird\n";
  Lines seen;
  EXPECT_FALSE(lines.Feed(&scratch[0], scratch.size(), [&](const char* line) {
    seen.emplace_back(line);
    return seen.size() < 2;
  }));
  EXPECT_EQ((Lines{"first", "second"}), seen);
  EXPECT_EQ(0u, lines.Pending());
}

}  // namespace
