#include "mirrorhost/mirror_host_protocol.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace corvane {
namespace {

using C = MirrorHostCommandKind;
using E = MirrorHostEventKind;

TEST(MirrorHostProtocol, EncodesCompactLinesInTheFixedKeyOrder) {
  struct Case {
    MirrorHostCommand command;
    const char* line;
  };
  const Case cases[] = {
      {{.cmd = C::attach, .id = 3, .above = 812, .level = 25}, "{\"cmd\":\"attach\",\"id\":3,\"above\":812,\"level\":25}\n"},
      {{.cmd = C::create, .id = 1, .source = 4711, .level = 0}, "{\"cmd\":\"create\",\"id\":1,\"source\":4711,\"level\":0}\n"},
      {{.cmd = C::shm, .id = 2, .path = "/run/user/1000/corvane/corvane-cv-400-12.shm"},
       "{\"cmd\":\"shm\",\"id\":2,\"path\":\"/run/user/1000/corvane/corvane-cv-400-12.shm\"}\n"},
      {{.cmd = C::place, .id = 7, .x = 10, .y = 20.5, .w = 300, .h = 200},
       "{\"cmd\":\"place\",\"id\":7,\"x\":10.0,\"y\":20.5,\"w\":300.0,\"h\":200.0}\n"},
      {{.cmd = C::hide, .id = 9}, "{\"cmd\":\"hide\",\"id\":9}\n"},
  };
  for (const Case& c : cases) {
    auto line = encodeLine(c.command);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, c.line);
    // What is encoded decodes to the same command (the newline is not part of the line).
    EXPECT_EQ(decodeCommand(std::string_view(*line).substr(0, line->size() - 1)), c.command);
  }
  MirrorHostEvent stats{.ev = E::stats, .id = 4, .fps = 59.5, .frames = 120};
  EXPECT_EQ(encodeLine(stats), "{\"ev\":\"stats\",\"id\":4,\"fps\":59.5,\"frames\":120}\n");
  EXPECT_EQ(encodeLine(MirrorHostEvent{.ev = E::hello, .id = 0, .message = ""}),
            "{\"ev\":\"hello\",\"id\":0,\"message\":\"\"}\n");
}

TEST(MirrorHostProtocol, MessagesThatCannotBeEncodedAreDropped) {
  EXPECT_FALSE(encodeLine(MirrorHostCommand{.cmd = C::place, .id = 1, .x = std::nan(""), .y = 0, .w = 1, .h = 1}));
  EXPECT_FALSE(encodeLine(MirrorHostEvent{.ev = E::stats, .id = 1, .fps = std::numeric_limits<double>::infinity()}));
  EXPECT_FALSE(encodeLine(MirrorHostCommand{.cmd = C::shm, .id = 1, .path = std::string("/tmp/\xff\xfe")}));
}

TEST(MirrorHostProtocol, DecodingToleratesOrderAndUnknownKeysButNotWrongShapes) {
  auto event = decodeEvent(R"({"ev":"exclusion","id":2,"result":-999})");
  ASSERT_TRUE(event);
  EXPECT_EQ(*event, (MirrorHostEvent{.ev = E::exclusion, .id = 2, .result = -999}));
  EXPECT_EQ(decodeEvent(R"({"extra":true,"id":4,"ev":"frame"})"), (MirrorHostEvent{.ev = E::frame, .id = 4}));
  EXPECT_EQ(decodeCommand(R"({"level":null,"id":5,"cmd":"show"})"), (MirrorHostCommand{.cmd = C::show, .id = 5}));

  const std::vector<std::string> invalidCommands = {
      R"({"cmd":"resize","id":1})",            // unknown kind
      R"({"id":1})",                           // no kind
      R"({"cmd":"hide"})",                     // no id
      R"({"cmd":"hide","id":"1"})",            // id of the wrong type
      R"({"cmd":"hide","id":1.5})",            // not an integer
      R"({"cmd":"hide","id":18446744073709551615})",  // beyond 64-bit signed
      R"({"cmd":"place","id":1,"x":"10"})",   // a rectangle field of the wrong type
      R"({"cmd":"shm","id":1,"path":7})",
      R"(["cmd","hide"])",                     // not an object
      R"({"cmd":"hide","id":1,"n":[[[[[[[[[1]]]]]]]]]})",  // nested deeper than any message
      "{\"cmd\":\"hide\",\"id\":1",            // half a line
      "",
      "\xff\xfe",
  };
  for (const auto& line : invalidCommands) EXPECT_FALSE(decodeCommand(line)) << line;
  EXPECT_FALSE(decodeEvent(R"({"ev":"stats","id":1,"frames":2.5})"));
  EXPECT_FALSE(decodeEvent(std::string(kMirrorHostMaxLineBytes + 1, ' ')));
}

TEST(MirrorHostProtocol, LineSplitterJoinsChunksAndDropsOverlongLines) {
  std::vector<std::string> lines;
  LineSplitter splitter;
  auto collect = [&](std::string_view line) { lines.emplace_back(line); };
  // Two lines in one chunk, one line split across three chunks.
  splitter.append("a\nb\nc", collect);
  splitter.append("d", collect);
  splitter.append("e\n", collect);
  EXPECT_EQ(lines, (std::vector<std::string>{"a", "b", "cde"}));

  // A line that never ends is not kept whole; the line after its newline comes through.
  lines.clear();
  const std::string chunk(16 * 1024, 'x');
  for (int i = 0; i < 8; ++i) splitter.append(chunk, collect);
  EXPECT_LE(splitter.pendingBytes(), kMirrorHostMaxLineBytes);
  splitter.append("tail\nnext\n", collect);
  EXPECT_EQ(lines, (std::vector<std::string>{"next"}));
}

}  // namespace
}  // namespace corvane
