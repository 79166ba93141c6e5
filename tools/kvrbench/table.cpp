#include "table.h"

#include <algorithm>

#include "text.h"

namespace kvrbench {

namespace {
constexpr std::string_view kGap = "  ";
constexpr char kRule = '-';
}  // namespace

void Table::print(std::ostream& out, std::string_view indent) const
{
    std::vector<size_t> width(columns_.size());
    for (size_t c = 0; c < columns_.size(); ++c) width[c] = display_width(columns_[c].header);
    for (const auto& row : rows_)
        for (size_t c = 0; c < row.size() && c < width.size(); ++c) width[c] = std::max(width[c], display_width(row[c]));

    const auto line = [&](const std::vector<std::string>& cells) {
        std::string s(indent);
        for (size_t c = 0; c < columns_.size(); ++c) {
            const std::string cell = c < cells.size() ? cells[c] : "";
            const bool last = c + 1 == columns_.size();
            if (c) s += kGap;
            if (columns_[c].align == Right) s += pad_left(cell, width[c]);
            else s += last ? cell : pad_right(cell, width[c]);  // no trailing blanks
        }
        out << s << '\n';
    };
    std::vector<std::string> header, rule;
    for (size_t c = 0; c < columns_.size(); ++c) {
        header.push_back(columns_[c].header);
        rule.emplace_back(width[c], kRule);
    }
    line(header);
    line(rule);
    for (const auto& row : rows_) line(row);
}

}  // namespace kvrbench
