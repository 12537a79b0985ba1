// Reading command-line words, alike in qmhost and qmsim.
#pragma once

#include "base/usage_error.hpp"

#include <functional>
#include <map>
#include <optional>
#include <string>

// The whole text as a decimal integer from low to high; UsageError naming
// the option otherwise.
long long parse_integer(const std::string& option, const std::string& text, long long low, long long high);

template <typename Int>
Int parse_integer(const std::string& option, const std::string& text, long long low, long long high)
{
    return static_cast<Int>(parse_integer(option, text, low, high));
}

// An option word: "--name VALUE" and "--name=VALUE" are the same option.
struct OptionWord {
    std::string name;
    std::optional<std::string> value;  // the text after '='
};

// Reads the words after the program's name (and after a subcommand).
class ArgumentWords {
public:
    ArgumentWords(int argc, const char* const* argv, int first) : argc_(argc), argv_(argv), next_(first) {}

    bool done() const { return next_ >= argc_; }
    // The next word, as given.
    std::string take() { return argv_[next_++]; }
    // The value of `option`: after its '=', else the next word.
    std::string value_of(const OptionWord& option);
    // A switch takes no value: "--name=VALUE" is refused.
    static void check_switch(const OptionWord& option);

private:
    int argc_;
    const char* const* argv_;
    int next_;
};

// "--name" or "--name=VALUE"; none for a word that is no option.
std::optional<OptionWord> option_word(const std::string& word);

// Options taking a value, by name, each setting its part of a command line.
template <typename CommandLine>
using OptionSetters = std::map<std::string, std::function<void(CommandLine&, const std::string&)>>;

// The rest of the words, each one of `setters` with its value; "unknown
// option X for COMMAND" for any other word. False at "--help" or "-h",
// which the caller answers.
template <typename CommandLine>
bool take_options(ArgumentWords& words, const OptionSetters<CommandLine>& setters, CommandLine& line,
                  const std::string& command)
{
    while (!words.done()) {
        const std::string word = words.take();
        if (word == "--help" || word == "-h") return false;
        const std::optional<OptionWord> option = option_word(word);
        const auto setter = option ? setters.find(option->name) : setters.end();
        if (setter == setters.end())
            throw UsageError("unknown option " + (option ? option->name : word) + " for " + command);
        setter->second(line, words.value_of(*option));
    }
    return true;
}
