#include "buffer_format.hpp"

#include <gtest/gtest.h>

#include <string>

namespace zuli::fmt {
namespace {

struct Case {
    const char* format;
    const ElementType* want;
    Verdict verdict;
    bool expected_end = false;
    std::string got = "";
    char bad = 0;
};

void PrintTo(const Case& c, std::ostream* os) { *os << '"' << c.format << "\" as " << c.want->name; }

class CheckFormat : public ::testing::TestWithParam<Case> {};

TEST_P(CheckFormat, Verdict) {
    const Case& c = GetParam();
    const FormatCheck r = check_format(c.format, *c.want);
    ASSERT_EQ(r.verdict, c.verdict);
    if (r.verdict == Verdict::Mismatch) {
        EXPECT_EQ(r.expected_end, c.expected_end);
        EXPECT_EQ(std::string(r.got), c.got);
    }
    if (r.verdict == Verdict::UnknownChar) {
        EXPECT_EQ(r.bad_char, c.bad);
    }
}

const ElementType* D = &kDouble;
const ElementType* U = &kUByte;
constexpr Verdict Ok = Verdict::Ok, Mis = Verdict::Mismatch;

INSTANTIATE_TEST_SUITE_P(
    Accepted, CheckFormat,
    ::testing::Values(Case{"d", D, Ok}, Case{"@d", D, Ok}, Case{"=d", D, Ok}, Case{"<d", D, Ok},
                      Case{"^d", D, Ok}, Case{" d\n", D, Ok}, Case{"1d", D, Ok}, Case{"(1)d", D, Ok},
                      Case{"T{d}", D, Ok}, Case{"T{<d:x:}", D, Ok}, Case{"xd", D, Ok},
                      Case{"d:name:", D, Ok}, Case{"(1)<d", D, Ok}, Case{"0iT{}d", D, Ok}, Case{"B", U, Ok},
                      Case{"?", U, Ok}, Case{"c", U, Ok}, Case{"<B", U, Ok},
                      Case{"999999999999999999999999T{}B", U, Ok}));

INSTANTIATE_TEST_SUITE_P(
    Refused, CheckFormat,
    ::testing::Values(
        Case{"f", D, Mis, false, "'float'"}, Case{"i", D, Mis, false, "'int'"},
        Case{"l", D, Mis, false, "'long'"}, Case{"=l", D, Mis, false, "'long'"},
        Case{"L", D, Mis, false, "'unsigned long'"}, Case{"Q", D, Mis, false, "'unsigned long long'"},
        Case{"h", D, Mis, false, "'short'"}, Case{"H", D, Mis, false, "'unsigned short'"},
        Case{"I", D, Mis, false, "'unsigned int'"}, Case{"?", D, Mis, false, "'bool'"},
        Case{"c", D, Mis, false, "'char'"}, Case{"b", D, Mis, false, "'signed char'"},
        Case{"B", D, Mis, false, "'unsigned char'"}, Case{"O", D, Mis, false, "Python object"},
        Case{"s", D, Mis, false, "a string"}, Case{"p", D, Mis, false, "a string"},
        Case{"g", D, Mis, false, "'long double'"}, Case{"Zf", D, Mis, false, "'complex float'"},
        Case{"Zd", D, Mis, false, "'complex double'"}, Case{"Zg", D, Mis, false, "'complex long double'"},
        Case{"Zi", D, Mis, false, "unparsable format string"}, Case{"b", U, Mis, false, "'signed char'"},
        Case{"H", U, Mis, false, "'unsigned short'"}, Case{"", D, Mis, false, "end"},
        Case{"  <", D, Mis, false, "end"}, Case{"0d", D, Mis, false, "end"},
        Case{"dd", D, Mis, true, "'double'"}, Case{"2d", D, Mis, true, "'double'"},
        Case{"(2,1)d", D, Mis, true, "'double'"}, Case{"di", D, Mis, true, "'int'"},
        Case{"2T{di}", D, Mis, true, "'int'"}, Case{"T{d}T{f}", D, Mis, true, "'float'"},
        Case{"q", D, Mis, false, "'long long'"}, Case{">d", D, Verdict::BigEndian}, Case{"!d", D, Verdict::BigEndian},
        Case{"d>", D, Verdict::BigEndian}, Case{"e", D, Verdict::UnknownChar, false, "", 'e'},
        Case{"n", D, Verdict::UnknownChar, false, "", 'n'}, Case{"}", D, Verdict::UnknownChar, false, "", '}'},
        Case{"=g", D, Verdict::NoStandardLongDouble}, Case{"<Zg", D, Verdict::NoStandardLongDouble},
        Case{"T{d", D, Verdict::Truncated}, Case{"d:abc", D, Verdict::Truncated},
        Case{"(2", D, Verdict::Truncated}, Case{"(2;)d", D, Verdict::UnknownChar, false, "", ';'}, Case{"(2)>d", D, Verdict::BigEndian},
        Case{"T{<d:x:(8)<c:pad:}", D, Mis, true, "'char'"},
        Case{"Z", D, Verdict::Truncated}));

TEST(CheckFormat, NestingIsBounded) {
    std::string deep;
    for (int i = 0; i < 10000; ++i) deep += "T{";
    EXPECT_EQ(check_format(deep.c_str(), kDouble).verdict, Verdict::TooDeep);
    std::string ok;
    for (int i = 0; i < kMaxNesting; ++i) ok += "T{";
    ok += "d";
    for (int i = 0; i < kMaxNesting; ++i) ok += "}";
    EXPECT_EQ(check_format(ok.c_str(), kDouble).verdict, Verdict::Ok);
}

TEST(CheckFormat, NativeAndStandardSizes) {
    // 'l' is 8 bytes natively on LP64 and 4 in standard mode.
    const ElementType long_like = {Group::Signed, sizeof(long), "long"};
    const ElementType four = {Group::Signed, 4, "int"};
    EXPECT_EQ(check_format("l", long_like).verdict, Verdict::Ok);
    EXPECT_EQ(check_format("<l", four).verdict, Verdict::Ok);
    EXPECT_EQ(check_format("<l", long_like).verdict, sizeof(long) == 4 ? Verdict::Ok : Verdict::Mismatch);
}

}  // namespace
}  // namespace zuli::fmt
