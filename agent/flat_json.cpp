#include "agent/flat_json.hpp"

#include <algorithm>

namespace agent::flat_json {
namespace {

class Scanner {
public:
    Scanner(const char* text, std::size_t length) : at_(text), end_(text + length) {}

    bool object(std::vector<Member>* members)
    {
        std::vector<std::string> names;
        if (!take('{')) return false;
        space();
        if (take('}')) return true;
        for (;;) {
            space();
            std::string name;
            if (!string(&name)) return false;
            names.push_back(name);
            space();
            if (!take(':')) return false;
            space();
            const char* from = at_;
            Member m;
            if (!value(members ? &m : nullptr)) return false;
            if (members) {
                m.name = std::move(name);
                m.raw = std::string_view(from, static_cast<std::size_t>(at_ - from));
                members->push_back(std::move(m));
            }
            space();
            if (take('}')) break;
            if (!take(',')) return false;
        }
        std::sort(names.begin(), names.end());
        return std::adjacent_find(names.begin(), names.end()) == names.end();
    }

    void space()
    {
        while (at_ != end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) ++at_;
    }

    bool at_end()
    {
        space();
        return at_ == end_;
    }

private:
    bool take(char c)
    {
        if (at_ == end_ || *at_ != c) return false;
        ++at_;
        return true;
    }

    bool word(const char* w)
    {
        for (; *w; ++w)
            if (!take(*w)) return false;
        return true;
    }

    bool value(Member* m)
    {
        if (at_ == end_) return false;
        Kind kind;
        switch (*at_) {
        case '{': kind = Kind::Object; if (!object(nullptr)) return false; break;
        case '[': kind = Kind::Array; if (!array()) return false; break;
        case '"': kind = Kind::String; if (!string(m ? &m->text : nullptr)) return false; break;
        case 't': kind = Kind::True; if (!word("true")) return false; break;
        case 'f': kind = Kind::False; if (!word("false")) return false; break;
        case 'n': kind = Kind::Null; if (!word("null")) return false; break;
        default: if (!number(kind)) return false;
        }
        if (m) m->kind = kind;
        return true;
    }

    bool array()
    {
        take('[');
        space();
        if (take(']')) return true;
        for (;;) {
            space();
            if (!value(nullptr)) return false;
            space();
            if (take(']')) return true;
            if (!take(',')) return false;
        }
    }

    bool digits()
    {
        const char* from = at_;
        while (at_ != end_ && *at_ >= '0' && *at_ <= '9') ++at_;
        return at_ != from;
    }

    bool number(Kind& kind)
    {
        kind = Kind::Integer;
        take('-');
        if (at_ == end_) return false;
        if (*at_ == '0') ++at_;
        else if (!digits()) return false;
        if (take('.')) {
            kind = Kind::Real;
            if (!digits()) return false;
        }
        if (at_ != end_ && (*at_ == 'e' || *at_ == 'E')) {
            ++at_;
            kind = Kind::Real;
            if (!take('+')) take('-');
            if (!digits()) return false;
        }
        return true;
    }

    bool hex4(uint32_t& out)
    {
        if (end_ - at_ < 4) return false;
        out = 0;
        for (int i = 0; i < 4; ++i, ++at_) {
            const char c = *at_;
            const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (v < 0) return false;
            out = out << 4 | static_cast<uint32_t>(v);
        }
        return true;
    }

    static void utf8(uint32_t cp, std::string& out)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    // A string's content into `out` (when given), escapes decoded as
    // jsoncpp decodes them: a high surrogate needs its low half.
    bool string(std::string* out)
    {
        if (!take('"')) return false;
        for (;;) {
            const char* from = at_;
            while (at_ != end_ && *at_ != '"' && *at_ != '\\') ++at_;
            if (out) out->append(from, static_cast<std::size_t>(at_ - from));
            if (at_ == end_) return false;
            if (*at_++ == '"') return true;
            if (at_ == end_) return false;
            const char e = *at_++;
            char plain = 0;
            switch (e) {
            case '"': plain = '"'; break;
            case '\\': plain = '\\'; break;
            case '/': plain = '/'; break;
            case 'b': plain = '\b'; break;
            case 'f': plain = '\f'; break;
            case 'n': plain = '\n'; break;
            case 'r': plain = '\r'; break;
            case 't': plain = '\t'; break;
            case 'u': {
                uint32_t cp = 0;
                if (!hex4(cp)) return false;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    uint32_t low = 0;
                    if (!take('\\') || !take('u') || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                    cp = 0x10000 + ((cp & 0x3FF) << 10) + (low & 0x3FF);
                }
                if (out) utf8(cp, *out);
                continue;
            }
            default: return false;
            }
            if (out) *out += plain;
        }
    }

    const char* at_;
    const char* end_;
};

}  // namespace

bool read_object(const char* text, std::size_t length, std::vector<Member>& members)
{
    members.clear();
    Scanner scan(text, length);
    std::vector<Member> read;
    read.reserve(16);
    scan.space();
    if (!scan.object(&read) || !scan.at_end()) return false;
    members = std::move(read);
    return true;
}

Whole whole_value(std::string_view raw, int64_t& value)
{
    const bool negative = !raw.empty() && raw.front() == '-';
    uint64_t magnitude = 0;
    for (std::size_t i = negative ? 1 : 0; i < raw.size(); ++i) {
        const uint64_t digit = static_cast<uint64_t>(raw[i] - '0');
        if (magnitude > (UINT64_MAX - digit) / 10) return Whole::NotWhole;
        magnitude = magnitude * 10 + digit;
    }
    constexpr uint64_t kInt64Max = static_cast<uint64_t>(INT64_MAX);
    if (negative) {
        if (magnitude > kInt64Max + 1) return Whole::NotWhole;
        value = magnitude == kInt64Max + 1 ? INT64_MIN : -static_cast<int64_t>(magnitude);
        return Whole::Ok;
    }
    if (magnitude > kInt64Max) return Whole::OutOfInt64;
    value = static_cast<int64_t>(magnitude);
    return Whole::Ok;
}

}  // namespace agent::flat_json
