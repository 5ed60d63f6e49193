#include "commands/option_rules.h"

#include <utility>

#include "text/text.h"

namespace {

std::string withValue(const std::string& name, const char* problem, const std::string& value) {
  std::string message = name + problem;
  std::size_t mark = message.find("{}");
  if (mark != std::string::npos) message.replace(mark, 2, value);
  return message;
}

}  // namespace

bool parseWholeNumber(const std::string& text, long long low, long long high, long long& value) {
  std::int64_t parsed = 0;
  if (!parseDecimal(text, 9, parsed)) return false;
  value = parsed;
  return value >= low && value <= high;
}

std::string applyEndpoint(const std::string& name, const std::string& value, const char* example, std::string& address,
                          std::uint16_t& port) {
  std::size_t colon = value.rfind(':');
  address = value.substr(0, colon);
  if (address.empty()) return name + " needs an address, for example " + example;
  long long number = 0;
  if (colon != std::string::npos) {
    if (!parseWholeNumber(value.substr(colon + 1), 0, 65535, number)) {
      return name + ": \"" + value.substr(colon + 1) + "\" is not a port number (0 to 65535)";
    }
    port = static_cast<std::uint16_t>(number);
  }
  return "";
}

ValueRule flag(Field<bool> field) {
  return [field = std::move(field)](const std::string&, const std::string&, ReceptionOptions& options) {
    field(options) = true;
    return std::string();
  };
}

ValueRule text(Field<std::string> field, const char* what) {
  return
      [field = std::move(field), what](const std::string& name, const std::string& value, ReceptionOptions& options) {
        field(options) = value;
        return value.empty() ? name + " needs " + what : std::string();
      };
}

ValueRule fileName(Field<std::string> field) { return text(std::move(field), "a file name"); }

ValueRule checked(Field<std::string> field, bool (*check)(const std::string&), const char* problem) {
  return [field = std::move(field), check, problem](const std::string& name, const std::string& value,
                                                    ReceptionOptions& options) {
    if (value.empty()) return name + " needs a value";
    if (!check(value)) return withValue(name, problem, value);
    field(options) = value;
    return std::string();
  };
}

ValueRule oneOf(Field<std::string> field, std::initializer_list<const char*> words, const char* problem) {
  std::vector<std::string> allowed(words.begin(), words.end());
  return [field = std::move(field), allowed = std::move(allowed), problem](
             const std::string& name, const std::string& value, ReceptionOptions& options) {
    for (const std::string& word : allowed) {
      if (value == word) {
        field(options) = value;
        return std::string();
      }
    }
    return name + problem;
  };
}

ValueRule eachOf(Field<std::vector<std::string>> field, bool (*check)(const std::string&), const char* problem) {
  return [field = std::move(field), check, problem](const std::string& name, const std::string& value,
                                                    ReceptionOptions& options) {
    if (value.empty()) return name + " needs a value";
    if (check != nullptr && !check(value)) return withValue(name, problem, value);
    field(options).push_back(value);
    return std::string();
  };
}

ValueRule port(Field<std::uint16_t> field) {
  return [field = std::move(field)](const std::string& name, const std::string& value, ReceptionOptions& options) {
    long long number = 0;
    if (!parseWholeNumber(value, 0, 65535, number))
      return name + ": \"" + value + "\" is not a port number (0 to 65535)";
    field(options) = static_cast<std::uint16_t>(number);
    return std::string();
  };
}

ValueRule endpoint(Field<std::string> address, Field<std::uint16_t> port, const char* example) {
  return [address = std::move(address), port = std::move(port), example](
             const std::string& name, const std::string& value, ReceptionOptions& options) {
    return applyEndpoint(name, value, example, address(options), port(options));
  };
}

ValueRule nonEmpty(ValueRule rule) {
  return [rule = std::move(rule)](const std::string& name, const std::string& value, ReceptionOptions& options) {
    return value.empty() ? name + " needs a value" : rule(name, value, options);
  };
}
