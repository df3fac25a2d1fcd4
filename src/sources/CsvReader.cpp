#include "sources/CsvReader.h"

#include "core/Utf8Text.h"

#include <unicode/utf8.h>

namespace quorvin::CsvReader {

std::string repairedUtf8(std::string_view bytes) { return quorvin::repairedUtf8(bytes); }

namespace {

bool allEmpty(const std::vector<std::string>& fields) {
  for (const auto& f : fields) {
    if (!f.empty()) return false;
  }
  return true;
}

}  // namespace

bool forEachRow(std::string_view data, const RowVisitor& visit) {
  std::vector<std::string> fields;
  std::string field;
  bool quoted = false;

  auto endField = [&] {
    fields.push_back(repairedUtf8(field));
    field.clear();
  };
  auto endRow = [&]() -> bool {
    endField();
    bool keepGoing = true;
    if (!allEmpty(fields)) keepGoing = visit(fields);
    fields.clear();
    return keepGoing;
  };

  for (size_t i = 0; i < data.size(); ++i) {
    const char c = data[i];
    if (c == '"') {
      if (quoted && i + 1 < data.size() && data[i + 1] == '"') {
        field.push_back('"');
        ++i;
      } else {
        quoted = !quoted;
      }
    } else if (quoted) {
      field.push_back(c);
    } else if (c == ',') {
      endField();
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < data.size() && data[i + 1] == '\n') ++i;
      if (!endRow()) return false;
    } else {
      field.push_back(c);
    }
  }
  // A final row without a line end counts, unless its quote never closed (cut data).
  if (!quoted && (!field.empty() || !fields.empty())) {
    if (!endRow()) return false;
  }
  return true;
}

}  // namespace quorvin::CsvReader
