// The readers of the input files: what counts as a number, what separates
// numbers, and how a short or malformed file is reported.
#include "io/input_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "io/number_scanner.h"
#include "io/parallel_reader.h"

namespace zelmor {
namespace {

ScanStatus parse(const std::string& token, float& value) {
  return parseFloatToken(token.data(), token.data() + token.size(), value);
}

TEST(ParseFloatToken, AgreesWithTheCLibraryOnDecimalForms) {
  for (const char* text : {"0", "-0", "1", "+2.5", "-3.25", ".5", "5.", "1e3", "1E+01", "1.23450e-03", "3.4028235e38",
                           "1e-40", "1e-50", "-1e-50", "0.1", "16777217", "2.000000059604644775390625"}) {
    float value = -99.0f;
    ASSERT_EQ(parse(text, value), ScanStatus::Ok) << text;
    const float expected = std::strtof(text, nullptr);
    EXPECT_EQ(std::memcmp(&value, &expected, sizeof value), 0) << text;
  }
  std::mt19937 random(7);
  std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
  std::uniform_int_distribution<int> exponent(-45, 38);
  for (int n = 0; n < 20000; ++n) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*fe%d", 1 + n % 12, mantissa(random), exponent(random));
    float value = 0.0f;
    const ScanStatus status = parse(text, value);
    const float expected = std::strtof(text, nullptr);
    if (!std::isfinite(expected)) {
      EXPECT_EQ(status, ScanStatus::NotFinite) << text;
      continue;
    }
    ASSERT_EQ(status, ScanStatus::Ok) << text;
    EXPECT_EQ(std::memcmp(&value, &expected, sizeof value), 0) << text;
  }
}

TEST(ParseShortDecimal, RoundsLikeTheCLibraryOrDeclines) {
  // Ties at the float precision, long mantissas, and random decimals of every
  // length the files hold.
  std::vector<std::string> tokens = {"0", "-0", "-0.000", "+1.5", "16777216", "16777217", "16777217.0",
                                     "0.1", "33554435", "1.00000005960464477539", "123456789.123456789",
                                     "9999999999999999999", "0.0000000000000000000001", "5e1", "1.2.3", "-", ".",
                                     "12a"};
  std::mt19937 random(8);
  std::uniform_int_distribution<int> length(1, 19);
  std::uniform_int_distribution<int> digit(0, 9);
  for (int n = 0; n < 200000; ++n) {
    std::string t = n % 2 ? "-" : "";
    const int digits = length(random);
    const int point = std::uniform_int_distribution<int>(0, digits)(random);
    for (int i = 0; i < digits; ++i) {
      if (i == point && i > 0) t += '.';
      t += static_cast<char>('0' + digit(random));
    }
    tokens.push_back(t);
  }
  int taken = 0;
  for (const std::string& t : tokens) {
    float value;
    if (!parseShortDecimal(t.data(), t.data() + t.size(), value)) continue;
    ++taken;
    const float expected = std::strtof(t.c_str(), nullptr);
    ASSERT_EQ(std::memcmp(&value, &expected, sizeof value), 0) << t;
  }
  EXPECT_GT(taken, 160000);  // all but mantissas beyond 2^53
}

TEST(ParseFloatToken, RejectsPartialAndNonFiniteTokens) {
  float value = 7.0f;
  for (const char* text : {"abc", "1.5abc", "1,5", "--1", "+-1", "+", "-", "1e", "e5", "."}) {
    EXPECT_EQ(parse(text, value), ScanStatus::NotNumber) << text;
  }
  for (const char* text : {"inf", "-inf", "nan", "NaN", "infinity", "1e39", "-1e99"}) {
    EXPECT_EQ(parse(text, value), ScanStatus::NotFinite) << text;
  }
  EXPECT_EQ(value, 7.0f);
}

TEST(NumberScanner, AnyWhiteSpaceSeparatesValuesAndLinesAreCounted) {
  NumberScanner in;
  in.openText(" 1\t2\r\n\n3 \v4\f5\n\n\n");
  std::vector<float> got;
  float value;
  while (in.next(value) == ScanStatus::Ok) got.push_back(value);
  EXPECT_EQ(got, (std::vector<float>{1, 2, 3, 4, 5}));
  EXPECT_TRUE(in.atEnd());

  in.openText("1 2\n3 x4\n");
  ASSERT_EQ(in.next(value), ScanStatus::Ok);
  ASSERT_EQ(in.next(value), ScanStatus::Ok);
  ASSERT_EQ(in.next(value), ScanStatus::Ok);
  EXPECT_EQ(in.next(value), ScanStatus::NotNumber);
  EXPECT_EQ(in.token(), "x4");
  EXPECT_EQ(in.line(), 2);
}

TEST(NumberScanner, TokensAcrossReadChunksAreWhole) {
  // More than one read chunk of the scanner, so that tokens straddle refills.
  std::string text;
  std::vector<float> expected;
  for (int i = 0; i < 300000; ++i) {
    const float v = static_cast<float>(i) * 0.001f - 7.0f;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.6f%s", v, i % 3 == 2 ? "\n" : "\t");
    text += buffer;
    expected.push_back(std::strtof(buffer, nullptr));
  }
  const std::string path = ::testing::TempDir() + "/scanner_chunks.txt";
  FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);

  NumberScanner in;
  ASSERT_TRUE(in.open(path.c_str()));
  float value;
  size_t n = 0;
  for (; in.next(value) == ScanStatus::Ok; ++n) {
    ASSERT_LT(n, expected.size());
    ASSERT_EQ(value, expected[n]) << n;
  }
  EXPECT_EQ(n, expected.size());
  std::remove(path.c_str());
}

TEST(NumberScanner, LastTokenOfAFileWithoutLineEnd) {
  const std::string path = ::testing::TempDir() + "/scanner_last.txt";
  FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fputs("1.5 -2 3e1", file);
  std::fclose(file);
  NumberScanner in;
  ASSERT_TRUE(in.open(path.c_str()));
  float value;
  std::vector<float> got;
  while (in.next(value) == ScanStatus::Ok) got.push_back(value);
  EXPECT_EQ(got, (std::vector<float>{1.5f, -2.0f, 30.0f}));
  std::remove(path.c_str());
}

TEST(ReadMicroclusters, LayoutDoesNotMatterAndSurplusIsIgnored) {
  float tabbed[6];
  float oneLine[6];
  std::string problem;
  NumberScanner in;
  in.openText("1\t2\t3\t\n4\t5\t6\t\n");
  ASSERT_TRUE(readMicroclusters(in, 2, 3, tabbed, problem));
  in.openText("1 2 3 4 5 6 7 8 9");
  ASSERT_TRUE(readMicroclusters(in, 2, 3, oneLine, problem));
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(tabbed[i], i + 1);
    EXPECT_EQ(oneLine[i], i + 1);
  }
}

TEST(ReadMicroclusters, ShortOrMalformedInputIsDescribed) {
  float means[6];
  std::string problem;
  NumberScanner in;
  in.openText("1 2 3\n4 5\n");
  EXPECT_FALSE(readMicroclusters(in, 2, 3, means, problem));
  EXPECT_NE(problem.find("ends before microcluster 2 of 2, component 3 of 3"), std::string::npos) << problem;

  in.openText("");
  EXPECT_FALSE(readMicroclusters(in, 1, 1, means, problem));
  EXPECT_NE(problem.find("microcluster 1 of 1, component 1 of 1"), std::string::npos) << problem;

  in.openText("1 2 3\n4 nan 6\n");
  EXPECT_FALSE(readMicroclusters(in, 2, 3, means, problem));
  EXPECT_NE(problem.find("microcluster 2 of 2, component 2 of 3 (line 2): \"nan\" is not a finite number"),
            std::string::npos)
      << problem;
}

}  // namespace
}  // namespace zelmor
