#include "tools/common/arguments.hpp"

#include <charconv>

long long parse_integer(const std::string& option, const std::string& text, long long low, long long high)
{
    long long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || text.empty())
        throw UsageError(option + " needs an integer, not \"" + text + "\"");
    if (value < low || value > high)
        throw UsageError(option + " must be " + std::to_string(low) + " to " + std::to_string(high) +
                         ", not " + text);
    return value;
}

std::optional<OptionWord> option_word(const std::string& word)
{
    if (word.size() < 3 || word.compare(0, 2, "--") != 0) return std::nullopt;
    const auto equals = word.find('=');
    if (equals == std::string::npos) return OptionWord{word, std::nullopt};
    return OptionWord{word.substr(0, equals), word.substr(equals + 1)};
}

std::string ArgumentWords::value_of(const OptionWord& option)
{
    if (option.value) return *option.value;
    if (done()) throw UsageError(option.name + " needs a value");
    return take();
}

void ArgumentWords::check_switch(const OptionWord& option)
{
    if (option.value) throw UsageError(option.name + " takes no value, not \"" + *option.value + "\"");
}
