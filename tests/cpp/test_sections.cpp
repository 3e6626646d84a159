#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "multipart/sections.hpp"

namespace {

using Parts = std::vector<std::pair<std::string, std::string>>;

Parts split(const std::string& body, const std::string& delimiter) {
  const sorbek::multipart::Searcher searcher(delimiter);
  Parts parts;
  sorbek::multipart::split_sections(body, searcher, [&](std::string_view head, std::string_view payload) {
    parts.emplace_back(std::string(head), std::string(payload));
  });
  return parts;
}

// The described behaviour, written the obvious way: split, drop the
// preamble, stop at "--", trim one CRLF on each side, cut at the blank line.
Parts reference(const std::string& body, const std::string& delimiter) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = body.find(delimiter, start);
    if (at == std::string::npos) break;
    pieces.push_back(body.substr(start, at - start));
    start = at + delimiter.size();
  }
  pieces.push_back(body.substr(start));
  Parts parts;
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    std::string section = pieces[i];
    if (section.rfind("--", 0) == 0) break;
    if (section.rfind("\r\n", 0) == 0) section.erase(0, 2);
    const std::size_t blank = section.find("\r\n\r\n");
    if (blank == std::string::npos) continue;
    std::string payload = section.substr(blank + 4);
    if (payload.size() >= 2 && payload.compare(payload.size() - 2, 2, "\r\n") == 0) payload.resize(payload.size() - 2);
    parts.emplace_back(section.substr(0, blank), payload);
  }
  return parts;
}

TEST(Sections, DocumentedExamples) {
  EXPECT_EQ(split("pre\r\n--XyZ\r\nName: a\r\n\r\n1\r\n--XyZ\r\nName: b\r\n\r\ntwo\r\n--XyZ--\r\npost", "--XyZ"),
            (Parts{{"Name: a", "1"}, {"Name: b", "two"}}));
  EXPECT_EQ(split("--b--\r\n--b\r\nH\r\n\r\nx\r\n", "--b"), Parts{});
  EXPECT_EQ(split("--b\r\n--x\r\n\r\ny", "--b"), (Parts{{"--x", "y"}}));
  EXPECT_EQ(split("--b\r\n\r\n\r\npayload\r\n--b--", "--b"), (Parts{{"", "payload"}}));
  EXPECT_EQ(split("===h\r\n\r\np", "=="), (Parts{{"=h", "p"}}));
  EXPECT_EQ(split("--b\r\nH\r\n\r\ndata\r\n\r\n--b--", "--b"), (Parts{{"H", "data\r\n"}}));
}

TEST(Sections, RandomAgainstReference) {
  std::mt19937_64 rng(3);
  const char* atoms[] = {"\r\n", "\r", "\n", "--", "-", "a", "H: v", "\r\n\r\n", "x"};
  for (int i = 0; i < 30000; ++i) {
    const std::string delimiter = std::vector<std::string>{"--b", "b", "--", "-", "\r\n", "ab", "--bound"}[rng() % 7];
    std::string body;
    // Up to 700 pieces, so that some bodies span several occurrence batches.
    const int n = static_cast<int>(i % 50 == 0 ? rng() % 700 : rng() % 20);
    for (int k = 0; k < n; ++k) body += rng() % 4 == 0 ? delimiter : std::string(atoms[rng() % 9]);
    ASSERT_EQ(split(body, delimiter), reference(body, delimiter)) << body;
  }
}

}  // namespace
