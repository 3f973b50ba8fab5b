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
  // Each piece, the lines it completes and the buffers held after it (this one's and the count).
  const std::tuple<std::string, Lines, long> steps[] = {
      {fill, {}, 0}, {"j", {}, 1}, {"k\n", {fill + "jk"}, 0}, {std::string(500, 'p'), {}, 1}};
  for (const auto& [piece, cut, held] : steps) {
    EXPECT_EQ(cut, Cut(lines, {piece})) << piece.size();
    EXPECT_EQ(std::make_pair(held == 1, before + held),
              std::make_pair(lines.HoldsBuffer(), LineAssembler::BuffersHeld()))
        << piece.size();
  }
  lines.Drop();
  EXPECT_EQ(std::make_tuple(false, size_t{0}, before),
            std::make_tuple(lines.HoldsBuffer(), lines.Pending(), LineAssembler::BuffersHeld()));

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
