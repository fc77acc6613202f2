#include "buffer_format.hpp"

namespace zuli::fmt {

namespace {

struct Element {
    Group group;
    size_t size;
    const char* description;
};

constexpr Element kEnd = {Group::Unknown, 0, "end"};

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Saturating, so a huge repeat count stays "many" instead of wrapping.
size_t saturating_mul(size_t a, size_t b) {
    constexpr size_t kMany = size_t{1} << 40;
    if (a == 0 || b == 0) return 0;
    return a > kMany / b ? kMany : a * b;
}

// Reads the format from the start and stops as soon as the verdict is known:
// at the first error, or at the second element (the rule wants exactly one).
// Struct bodies are walked once per repetition, but a repetition that yields
// no element ends the repeats, so the walk stays linear in the format length.
class Scanner {
public:
    Scanner(const char* format, const ElementType& want) : p_(format), want_(want) {}

    FormatCheck run() {
        if (sequence(false, 0, false) && found_ == 0) return mismatch(false, kEnd.description);
        return result_;
    }

private:
    const char* p_;
    const ElementType& want_;
    bool standard_ = false;
    int found_ = 0;
    FormatCheck result_ = {Verdict::Ok, false, nullptr, 0};

    FormatCheck mismatch(bool expected_end, const char* got) {
        return {Verdict::Mismatch, expected_end, got, 0};
    }
    bool fail(Verdict v, char c = 0) {
        result_ = {v, false, nullptr, c};
        return false;
    }

    // Records one element; false once the verdict is settled.
    bool element(const Element& e) {
        if (++found_ == 1) {
            const bool group_ok = e.group == want_.group || e.group == Group::Char ||
                                  want_.group == Group::Char;
            if (group_ok && e.size == want_.size) return true;
            result_ = mismatch(false, e.description);
            return false;
        }
        result_ = mismatch(true, e.description);
        return false;
    }

    size_t number() {
        size_t n = 0;
        while (is_digit(*p_)) n = saturating_mul(n, 10) + static_cast<size_t>(*p_++ - '0');
        return n;
    }

    // "(d0,d1,...)": the product of the extents.
    bool shape(size_t& count) {
        ++p_;
        for (;;) {
            while (is_space(*p_)) ++p_;
            if (!is_digit(*p_)) return *p_ ? fail(Verdict::UnknownChar, *p_) : fail(Verdict::Truncated);
            count = saturating_mul(count, number());
            while (is_space(*p_)) ++p_;
            if (*p_ == ',') { ++p_; continue; }
            if (*p_ == ')') { ++p_; return true; }
            return *p_ ? fail(Verdict::UnknownChar, *p_) : fail(Verdict::Truncated);
        }
    }

    // Parses one type character (after any 'Z') into an element.
    bool type_char(Element& e) {
        const bool complex = *p_ == 'Z';
        if (complex) ++p_;
        const char c = *p_;
        if (c == 0) return fail(Verdict::Truncated);
        ++p_;
        const bool std = standard_;
        switch (c) {
            case 'f': e = {Group::Real, 4, "'float'"}; break;
            case 'd': e = {Group::Real, 8, "'double'"}; break;
            case 'g':
                if (std) return fail(Verdict::NoStandardLongDouble);
                e = {Group::Real, sizeof(long double), "'long double'"};
                break;
            default:
                if (complex) {
                    e = {Group::Unknown, 0, "unparsable format string"};
                    --p_;  // only the 'Z' was consumed
                    return true;
                }
                switch (c) {
                    case '?': e = {Group::Unsigned, 1, "'bool'"}; break;
                    case 'c': e = {Group::Char, 1, "'char'"}; break;
                    case 'b': e = {Group::Signed, 1, "'signed char'"}; break;
                    case 'B': e = {Group::Unsigned, 1, "'unsigned char'"}; break;
                    case 'h': e = {Group::Signed, 2, "'short'"}; break;
                    case 'H': e = {Group::Unsigned, 2, "'unsigned short'"}; break;
                    case 'i': e = {Group::Signed, 4, "'int'"}; break;
                    case 'I': e = {Group::Unsigned, 4, "'unsigned int'"}; break;
                    case 'l': e = {Group::Signed, std ? 4 : sizeof(long), "'long'"}; break;
                    case 'L': e = {Group::Unsigned, std ? 4 : sizeof(long), "'unsigned long'"}; break;
                    case 'q': e = {Group::Signed, 8, "'long long'"}; break;
                    case 'Q': e = {Group::Unsigned, 8, "'unsigned long long'"}; break;
                    case 's':
                    case 'p': e = {Group::Signed, 1, "a string"}; break;
                    case 'O': e = {Group::Object, sizeof(void*), "Python object"}; break;
                    default: return fail(Verdict::UnknownChar, c);
                }
                return true;
        }
        if (complex) {
            e.group = Group::Complex;
            e.size *= 2;
            e.description = c == 'f' ? "'complex float'"
                            : c == 'd' ? "'complex double'"
                                       : "'complex long double'";
        }
        return true;
    }

    // Items up to the end of the format (or the '}' closing a struct body).
    // `muted` walks a zero-times-repeated body for its syntax only.
    bool sequence(bool in_struct, int depth, bool muted) {
        for (;;) {
            const char c = *p_;
            if (c == 0) return in_struct ? fail(Verdict::Truncated) : true;
            if (is_space(c)) { ++p_; continue; }
            if (c == '}') {
                if (!in_struct) return fail(Verdict::UnknownChar, c);
                ++p_;
                return true;
            }
            if (c == '@' || c == '^') { standard_ = false; ++p_; continue; }
            if (c == '=' || c == '<') { standard_ = true; ++p_; continue; }
            if (c == '>' || c == '!') return fail(Verdict::BigEndian);
            if (c == ':') {  // a field name, ":name:"
                ++p_;
                while (*p_ && *p_ != ':') ++p_;
                if (!*p_) return fail(Verdict::Truncated);
                ++p_;
                continue;
            }
            size_t count = 1;
            if (is_digit(c)) count = number();
            if (*p_ == '(' && !shape(count)) return false;
            // A byte-order mark may sit between a shape and its type, "(8)<c".
            for (;; ++p_) {
                if (*p_ == '@' || *p_ == '^') standard_ = false;
                else if (*p_ == '=' || *p_ == '<') standard_ = true;
                else if (*p_ == '>' || *p_ == '!') return fail(Verdict::BigEndian);
                else if (!is_space(*p_)) break;
            }
            if (*p_ == 'x') {  // pad bytes describe no element
                ++p_;
                continue;
            }
            if (*p_ == 'T' && p_[1] == '{') {
                if (depth + 1 > kMaxNesting) return fail(Verdict::TooDeep);
                p_ += 2;
                const char* body = p_;
                if (count == 0 || muted) {
                    if (!sequence(true, depth + 1, true)) return false;
                    continue;
                }
                const char* after = nullptr;
                for (size_t rep = 0; rep < count; ++rep) {
                    p_ = body;
                    const int before = found_;
                    if (!sequence(true, depth + 1, false)) return false;
                    after = p_;
                    if (found_ == before) break;
                }
                p_ = after;
                continue;
            }
            Element e;
            if (!type_char(e)) return false;
            if (muted) continue;
            for (size_t rep = 0; rep < count; ++rep) {
                if (!element(e)) return false;
            }
        }
    }
};

}  // namespace

FormatCheck check_format(const char* format, const ElementType& want) {
    return Scanner(format, want).run();
}

}  // namespace zuli::fmt
