// The README's export table is what a host programmer binds by: it must list every export of the
// table with its ordinal, family and the stack bytes it removes, and nothing else.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "common/exports.h"

namespace {

TEST(Readme, ExportTableMatchesTheLibraries)
{
    std::ifstream in(std::string(KVR_SOURCE_DIR) + "/README.md");
    ASSERT_TRUE(in) << "README.md not found";
    // | `name` | ordinal | family | arguments | result | stack bytes | reaches |
    const std::regex row(R"(^\| `(\w+)` \| (\d+) \| ([a-z ]+) \| [^|]+\| [^|]+\| (\d+) \|)");
    std::map<std::string, std::string> listed;
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_search(line, m, row)) {
            EXPECT_TRUE(listed.emplace(m[1], m[2].str() + "/" + m[3].str() + "/" + m[4].str()).second) << m[1];
        }
    }
    std::map<std::string, std::string> expected;
    for (const kvr::Export& e : kvr::kExports) {
        std::ostringstream v;
        v << e.ordinal << '/' << kvr::family_name(e.family) << '/' << kvr::stack_bytes(e);
        expected[e.name] = v.str();
    }
    EXPECT_EQ(listed, expected);
}

}  // namespace
