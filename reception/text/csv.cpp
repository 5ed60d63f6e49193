#include "text/csv.h"

namespace {

constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

std::string_view withoutByteOrderMark(std::string_view text) {
  return text.substr(0, byteOrderMark.size()) == byteOrderMark ? text.substr(byteOrderMark.size()) : text;
}

// Reads records one character at a time; a line ends at LF, CR LF or a lone CR.
class CsvReader {
 public:
  CsvReader(std::string_view text, char separator) : text_(text), separator_(separator) {}

  std::vector<CsvRecord> records() {
    while (at_ < text_.size()) {
      CsvRecord record = nextRecord();
      bool empty = record.fields.size() == 1 && record.fields[0].empty() && !quotedSeen_;
      if (!empty) records_.push_back(std::move(record));
    }
    return std::move(records_);
  }

 private:
  // Consumes a line end at at_ if there is one.
  bool lineEnd() {
    if (text_[at_] == '\n') {
      ++at_;
    } else if (text_[at_] == '\r') {
      at_ += at_ + 1 < text_.size() && text_[at_ + 1] == '\n' ? 2 : 1;
    } else {
      return false;
    }
    ++line_;
    return true;
  }

  CsvRecord nextRecord() {
    CsvRecord record;
    record.line = line_;
    record.fields.emplace_back();
    quotedSeen_ = false;
    bool fieldStart = true;
    while (at_ < text_.size()) {
      char c = text_[at_];
      if (fieldStart && c == '"') {
        quotedSeen_ = true;
        ++at_;
        if (!quotedPart(record.fields.back())) {
          record.unclosedQuote = true;
          return record;
        }
        fieldStart = false;
      } else if (c == separator_) {
        ++at_;
        record.fields.emplace_back();
        fieldStart = true;
      } else if (lineEnd()) {
        return record;
      } else {
        record.fields.back() += c;
        ++at_;
        fieldStart = false;
      }
    }
    return record;
  }

  // Reads a quoted field's text after its opening quote up to and past the
  // closing one; false when the text ends first.
  bool quotedPart(std::string& field) {
    while (at_ < text_.size()) {
      char c = text_[at_];
      if (c == '"') {
        if (at_ + 1 < text_.size() && text_[at_ + 1] == '"') {
          field += '"';
          at_ += 2;
          continue;
        }
        ++at_;
        return true;
      }
      if (c == '\n' || (c == '\r' && !(at_ + 1 < text_.size() && text_[at_ + 1] == '\n'))) ++line_;
      field += c;
      ++at_;
    }
    return false;
  }

  std::string_view text_;
  char separator_;
  std::size_t at_ = 0;
  std::size_t line_ = 1;
  bool quotedSeen_ = false;
  std::vector<CsvRecord> records_;
};

bool startsLikeFormula(std::string_view value) {
  return !value.empty() && std::string_view("=+-@\t\r").find(value[0]) != std::string_view::npos;
}

}  // namespace

char csvSeparator(std::string_view text) {
  text = withoutByteOrderMark(text);
  std::size_t commas = 0;
  std::size_t semicolons = 0;
  bool quoted = false;
  for (char c : text) {
    if (c == '"') quoted = !quoted;
    if (quoted) continue;
    if (c == '\n' || c == '\r') break;
    commas += c == ',' ? 1 : 0;
    semicolons += c == ';' ? 1 : 0;
  }
  return semicolons > commas ? ';' : ',';
}

std::vector<CsvRecord> readCsv(std::string_view text) {
  return CsvReader(withoutByteOrderMark(text), csvSeparator(text)).records();
}

std::string csvField(std::string_view value) {
  std::string field = startsLikeFormula(value) ? "'" + std::string(value) : std::string(value);
  // A leading byte order mark is quoted too: at the start of a file a reader
  // would take it for the file's own.
  bool leadingMark = field.substr(0, byteOrderMark.size()) == byteOrderMark;
  if (field.find_first_of(",;\"\r\n") == std::string::npos && !leadingMark) return field;
  std::string quoted = "\"";
  for (char c : field) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

std::string csvLine(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += ',';
    line += csvField(fields[i]);
  }
  return line + "\r\n";
}
