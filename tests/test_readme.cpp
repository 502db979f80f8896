// The README's table of parameters against the constants the scheme is built from: a change to
// either that leaves the other behind fails here.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "params.h"

namespace {

std::string trim(const std::string &s) {
  const size_t a = s.find_first_not_of(' ');
  return a == std::string::npos ? std::string() : s.substr(a, s.find_last_not_of(' ') - a + 1);
}

// The first two cells of each row of the table that follows the marker line (its header and
// rule rows left out), in the order met; a name met twice is kept twice.
std::multimap<std::string, std::string> table_after(const std::string &text, const std::string &marker) {
  std::multimap<std::string, std::string> rows;
  const size_t at = text.find(marker);
  if (at == std::string::npos) return rows;
  std::istringstream in(text.substr(at));
  std::string line;
  std::getline(in, line);  // the marker
  for (int row = 0; std::getline(in, line) && line.rfind('|', 0) == 0; ++row) {
    if (row < 2) continue;
    std::istringstream cells(line.substr(1));
    std::string name, value;
    std::getline(cells, name, '|');
    std::getline(cells, value, '|');
    rows.emplace(trim(name), trim(value));
  }
  return rows;
}

}  // namespace

TEST(Readme, ParameterTableIsTheCodes) {
  std::ifstream file(std::string(TAVIK_TEST_SOURCE_DIR) + "/../README.md");
  ASSERT_TRUE(file) << "README.md not found beside tests/";
  std::stringstream text;
  text << file.rdbuf();
  const auto rows = table_after(text.str(), "<!-- parameters: checked against src/params.h");
  const std::map<std::string, uint64_t> code = {
      {"N", tavik::N},           {"Q", tavik::Q},         {"K", tavik::K},
      {"L", tavik::L},           {"ETA", tavik::ETA},     {"D", tavik::D},
      {"GAMMA1", tavik::GAMMA1}, {"GAMMA2", tavik::GAMMA2}, {"BETA", tavik::BETA},
      {"TAU", tavik::TAU},       {"OMEGA", tavik::OMEGA}, {"public key", tavik::PK_BYTES},
      {"secret key", tavik::SK_BYTES}, {"signature", tavik::SIG_BYTES}};
  // Every constant once with the code's value, and no row the code does not have.
  for (const auto &[name, value] : code) {
    EXPECT_EQ(rows.count(name), 1u) << "README's parameter table should have one row for " << name;
    const auto it = rows.find(name);
    if (it != rows.end()) {
      EXPECT_EQ(it->second, std::to_string(value)) << name << " in README.md";
    }
  }
  for (const auto &row : rows) EXPECT_EQ(code.count(row.first), 1u) << "row " << row.first << " is no constant checked here";
}
