// Plain-text tables: columns sized to their widest cell (by displayed width, so é counts once),
// left- or right-aligned, two blanks between columns, a header and a rule under it.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kvrbench {

class Table {
public:
    enum Align : bool { Left, Right };
    struct Column {
        std::string header;
        Align align = Left;
    };

    explicit Table(std::vector<Column> columns) : columns_(std::move(columns)) {}
    void add(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
    void print(std::ostream& out, std::string_view indent) const;

private:
    std::vector<Column> columns_;
    std::vector<std::vector<std::string>> rows_;
};

}  // namespace kvrbench
