#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvin::CsvReader {

// Visits each row of CSV bytes: "," between fields, double quotes toggle quoting ("" is a
// quote inside a quoted field), LF, CR or CR LF end a row outside quotes. Fields arrive as
// UTF-8 with invalid sequences replaced by U+FFFD. Rows whose fields are all empty are
// skipped; a last row still inside quotes is dropped. The visitor returns false to stop,
// which makes the whole read a failure (false).
using RowVisitor = std::function<bool(std::vector<std::string>& fields)>;
bool forEachRow(std::string_view data, const RowVisitor& visit);

// Invalid UTF-8 sequences replaced by U+FFFD.
std::string repairedUtf8(std::string_view bytes);

}  // namespace quorvin::CsvReader
