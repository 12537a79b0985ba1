// One JSON object read without building a document: its members by name,
// each with its kind and its text, every nested value checked against the
// grammar and skipped. The record messages the ingest takes in by the ten
// thousand a second go through here; it accepts what jsoncpp's strict mode
// accepts (no comments, no duplicate names at any depth, nothing after the
// object) and never reads past `length`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace agent::flat_json {

enum class Kind { String, Integer, Real, True, False, Null, Object, Array };

struct Member {
    std::string name;
    Kind kind = Kind::Null;
    std::string_view raw;  // the value's text in the payload
    std::string text;      // a string's content, escapes decoded
};

// False for anything but one JSON object. Nesting is not bounded here: the
// caller checks its depth first (a skipped value recurses once per level).
bool read_object(const char* text, std::size_t length, std::vector<Member>& members);

enum class Whole { Ok, NotWhole, OutOfInt64 };
// An Integer member's value as jsoncpp types it: past the 64 bits of an
// unsigned number, or below -2^63, it is a fraction (NotWhole); between
// 2^63 and 2^64 it is a whole number outside int64 (OutOfInt64).
Whole whole_value(std::string_view raw, int64_t& value);

}  // namespace agent::flat_json
