// How an option's value is read into ReceptionOptions: small rule makers that
// the option table's rows are written with. Each rule checks the value, stores
// it and answers "" or the message that names the option.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

struct ReceptionOptions;

// Applies a value (unused by flags) to the options; "" or a message naming the option.
using ValueRule =
    std::function<std::string(const std::string& name, const std::string& value, ReceptionOptions& options)>;

// Where a rule stores its value: a field of ReceptionOptions or of one of its rooms.
template <typename T>
using Field = std::function<T&(ReceptionOptions&)>;

template <typename T>
Field<T> at(T ReceptionOptions::*member) {
  return [member](ReceptionOptions& options) -> T& { return options.*member; };
}

template <typename Part, typename T>
Field<T> at(Part ReceptionOptions::*room, T Part::*member) {
  return [room, member](ReceptionOptions& options) -> T& { return (options.*room).*member; };
}

// A whole number in decimal digits only, from low to high; false otherwise.
bool parseWholeNumber(const std::string& text, long long low, long long high, long long& value);
// "ADDRESS[:PORT]"; the port stays as it is when absent. "" or a message.
std::string applyEndpoint(const std::string& name, const std::string& value, const char* example, std::string& address,
                          std::uint16_t& port);

// A flag: the option sets the field to true and takes no value.
ValueRule flag(Field<bool> field);

// Any text but the empty one, which "needs <what>".
ValueRule text(Field<std::string> field, const char* what = "a value");
ValueRule fileName(Field<std::string> field);
// Text that passes check, else "<name><problem>", with "{}" in problem standing for the value.
ValueRule checked(Field<std::string> field, bool (*check)(const std::string&), const char* problem);
// One of a few words, else "<name><problem>".
ValueRule oneOf(Field<std::string> field, std::initializer_list<const char*> words, const char* problem);
// A repeatable option: each value is added to the list, when check (if any) passes.
ValueRule eachOf(Field<std::vector<std::string>> field, bool (*check)(const std::string&) = nullptr,
                 const char* problem = "");

// "a whole number" or "a number", as each option's message has said it.
enum class NumberWord { whole, plain };

// A whole number from low to high.
template <typename T>
ValueRule number(Field<T> field, long long low, long long high, NumberWord word = NumberWord::plain) {
  return [field = std::move(field), low, high, word](const std::string& name, const std::string& value,
                                                     ReceptionOptions& options) {
    long long parsed = 0;
    if (!parseWholeNumber(value, low, high, parsed)) {
      return name + ": \"" + value + "\" is not " + (word == NumberWord::whole ? "a whole number" : "a number") +
             " from " + std::to_string(low) + " to " + std::to_string(high);
    }
    field(options) = static_cast<T>(parsed);
    return std::string();
  };
}

// The rule, but an empty value "needs a value" (the message those options have always given).
ValueRule nonEmpty(ValueRule rule);

ValueRule port(Field<std::uint16_t> field);
// "ADDRESS[:PORT]"; example completes "<name> needs an address, for example ".
ValueRule endpoint(Field<std::string> address, Field<std::uint16_t> port, const char* example);
