// Comma-separated text as spreadsheets and directory exports write it:
// UTF-8 with or without a byte order mark, "," or ";" between fields, fields
// in double quotes holding separators, doubled quotes and line breaks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct CsvRecord {
  std::size_t line = 0;  // where the record starts, counting from 1
  std::vector<std::string> fields;
  bool unclosedQuote = false;  // the text ended inside a quoted field
};

// The separator of the first line: ";" when it holds more semicolons than
// commas outside quotes, otherwise ",".
char csvSeparator(std::string_view text);

// Every record of the text; empty lines are skipped. A quote inside an
// unquoted field, or after a closing quote, is kept as it is.
std::vector<CsvRecord> readCsv(std::string_view text);

// One field for a file that spreadsheets open: quoted when it holds a
// separator, quote or line break or starts with a byte order mark, and a text that starts like a formula
// ("=", "+", "-", "@", tab, carriage return) gets a leading "'" so that a
// spreadsheet shows it instead of evaluating it.
std::string csvField(std::string_view value);
// The fields joined by "," and ended by CR LF.
std::string csvLine(const std::vector<std::string>& fields);
