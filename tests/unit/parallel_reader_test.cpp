// The parallel data reader: its word-at-a-time number conversion against the
// one-character-at-a-time one and the general conversion, the white-space
// mask, and files of many chunks read with one and two threads.
#include "io/parallel_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "io/input_files.h"
#include "io/number_scanner.h"
#include "kernels/kernel_table.h"
#include "runtime/error.h"
#include "runtime/thread_pool.h"
#include "support/test_support.h"

namespace zelmor {
namespace {

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A decimal of 1 to 19 digits with the point anywhere or nowhere, sometimes
// signed, sometimes with leading zeros.
std::string randomDecimal(std::mt19937& random) {
  const int digits = std::uniform_int_distribution<int>(1, 19)(random);
  const int point = std::uniform_int_distribution<int>(-1, digits)(random);
  const int zeros = random() % 4 == 0 ? std::uniform_int_distribution<int>(1, digits)(random) : 0;
  std::string token = random() % 2 ? "-" : (random() % 8 == 0 ? "+" : "");
  for (int i = 0; i < digits; ++i) {
    if (i == point) token += '.';
    token += static_cast<char>(i < zeros ? '0' : '0' + random() % 10);
  }
  if (point == digits) token += '.';
  return token;
}

// A point halfway between two floats, written out in full where it has few
// enough digits, or a decimal within a last digit of one: where a
// conversion that rounds twice goes wrong.
std::string nearHalfway(std::mt19937& random) {
  const int exponent = std::uniform_int_distribution<int>(-8, 40)(random);
  const float f = std::ldexp(std::uniform_real_distribution<float>(1.0f, 2.0f)(random), exponent);
  const double halfway = (static_cast<double>(f) + std::nextafter(f, INFINITY)) / 2;
  const int whole = halfway < 1 ? 1 : 1 + static_cast<int>(std::log10(halfway));
  // Halfway points below 2^24 have 24 - exponent binary, so as many decimal,
  // fraction digits.
  int precision = std::min(std::max(0, 24 - exponent), 19 - whole);
  if (random() % 4 == 0) precision = std::min(precision, static_cast<int>(random() % 8));
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", precision, halfway);
  std::string token = text;
  char& last = token.back();
  if (random() % 2 && last > '0' && last < '9') last = static_cast<char>(last + (random() % 2 ? 1 : -1));
  return (random() % 2 ? "-" : "") + token;
}

// Tokens a data file may hold, in the forms the general conversion takes
// too: exponents, the float range's limits, mantissas too long to be short.
std::string randomToken(std::mt19937& random) {
  static const std::vector<std::string> kOthers = [] {
    std::istringstream in(
        "3.4028235e38 3.40282346e+38 -1.17549435e-38 1e-45 1.4e-45 7e-46 0.000000 -0 16777217 33554435 .5 5. -.25 "
        "1E3 12345678.5 0.1000000000000000055511151231257827");
    return std::vector<std::string>(std::istream_iterator<std::string>(in), {});
  }();
  const int form = static_cast<int>(random() % 10);
  if (form < 6) return randomDecimal(random);
  if (form < 8) return nearHalfway(random);
  if (form < 9) return kOthers[random() % kOthers.size()];
  char text[64];
  std::snprintf(text, sizeof text, "%.*e", static_cast<int>(random() % 9),
                std::ldexp(std::uniform_real_distribution<double>(-1.0, 1.0)(random),
                           std::uniform_int_distribution<int>(-140, 127)(random)));
  return text;
}

std::string randomSpace(std::mt19937& random) {
  static const char* const kSpaces[] = {" ", "\t", "\n", "\r\n", "\t\n", "  ", "\v", "\f", " \t \r\n"};
  return kSpaces[random() % std::size(kSpaces)];
}

// The numbers of `text` token by token through parseFloatToken.
bool referenceNumbers(const std::string& text, std::vector<float>& out) {
  const auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  for (size_t at = 0, stop; at < text.size(); at = stop) {
    for (stop = at; stop < text.size() && !space(text[stop]);) ++stop;
    if (stop == at) {
      ++stop;
      continue;
    }
    float value;
    if (parseFloatToken(text.data() + at, text.data() + stop, value) != ScanStatus::Ok) return false;
    out.push_back(value);
  }
  return true;
}

// parseNumbers on a copy of `text` in a buffer of exactly its size, into one
// of exactly the room it asks for, so that the address sanitizer sees any
// access past either.
bool parseExactly(const std::string& text, std::vector<float>& out, Isa isa = bestIsa()) {
  const auto size = static_cast<int64_t>(text.size());
  std::unique_ptr<char[]> buffer(new char[size]);
  std::unique_ptr<float[]> values(new float[maxNumbers(size)]);
  std::memcpy(buffer.get(), text.data(), size);
  const int64_t count = parseNumbers(buffer.get(), buffer.get() + size, values.get(), kernelTable(isa));
  out.assign(values.get(), values.get() + std::max<int64_t>(count, 0));
  return count >= 0;
}

void expectSameNumbers(const std::string& text) {
  std::vector<float> expected, got;
  const bool valid = referenceNumbers(text, expected);
  for (const Isa isa : supportedIsas()) {
    ASSERT_EQ(parseExactly(text, got, isa), valid) << isaName(isa) << ": " << text;
    if (!valid) continue;
    ASSERT_EQ(got.size(), expected.size()) << isaName(isa) << ": " << text;
    for (size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(sameBits(got[i], expected[i])) << i << " of " << text;
  }
}

TEST(ScanShortDecimal, WordsAtATimeAgreeWithTheScalarScanAndTheGeneralConversion) {
  std::mt19937 random(11);
  int converted = 0;
  for (int n = 0; n < 300000; ++n) {
    const std::string token = n % 3 ? randomDecimal(random) : nearHalfway(random);
    // At the very end of the text, or with room behind it for whole words.
    const std::string text = token + (n % 4 == 0 ? "" : randomSpace(random) + "1.5 2.5 3.5 4.5 5.5");
    std::unique_ptr<char[]> buffer(new char[text.size()]);
    std::memcpy(buffer.get(), text.data(), text.size());
    const char* end = buffer.get() + text.size();
    float fast = 0.0f, scalar = 0.0f;
    bool fastConverted, scalarConverted;
    const char* fastStop = scanShortDecimal(buffer.get(), end, fast, fastConverted);
    const char* scalarStop = scanShortDecimalScalar(buffer.get(), end, scalar, scalarConverted);
    ASSERT_EQ(fastConverted, scalarConverted) << token;
    if (!fastConverted) continue;
    ++converted;
    ASSERT_EQ(fastStop, scalarStop) << token;
    ASSERT_EQ(fastStop - buffer.get(), static_cast<ptrdiff_t>(token.size())) << token;
    ASSERT_TRUE(sameBits(fast, scalar)) << token;
    float expected;
    ASSERT_EQ(parseFloatToken(token.data(), token.data() + token.size(), expected), ScanStatus::Ok) << token;
    ASSERT_TRUE(sameBits(fast, expected)) << token << ": " << fast << " instead of " << expected;
  }
  EXPECT_GT(converted, 200000);  // all but halfway cases and mantissas beyond 2^53
}

TEST(ParseNumbers, EveryTokenWhateverTheSpacingAndWhereverTheTextEnds) {
  std::mt19937 random(12);
  for (int n = 0; n < 400; ++n) {
    std::string text = n % 2 ? randomSpace(random) : "";
    while (text.size() < 300) text += randomToken(random) + randomSpace(random);
    // Every end, so that tokens and their last digits fall on every place of
    // a word and of a 64-byte block, and the text ends inside a token.
    for (size_t size = text.size() - 80; size <= text.size(); ++size) expectSameNumbers(text.substr(0, size));
  }
  // Every byte value between digits: white space splits tokens, anything
  // else joins them into one token, a number or not.
  for (int c = 0; c < 256; ++c) {
    std::string text;
    while (text.size() < 200) text += std::string("12") + static_cast<char>(c) + "5 ";
    expectSameNumbers(text);
  }
  std::vector<float> values;
  for (const char* bad : {"1 2 x", "1 nan 2", "1e39", "1.5.5", "--1", "1,5", "."}) {
    EXPECT_FALSE(parseExactly(std::string(70, ' ') + bad + " 1", values)) << bad;
  }
}

class ParallelPointReaderFiles : public ::testing::Test {
 protected:
  static constexpr int32_t kD = 3;

  // A file of n points in the forms and layouts of randomToken and
  // randomSpace, the last line without its line end when asked.
  std::string writePoints(int32_t n, unsigned seed, bool finalLineEnd = true) {
    std::mt19937 random(seed);
    std::string text;
    for (int32_t i = 0; i < n * kD; ++i) {
      std::string token;
      do token = randomToken(random);
      while (!std::isfinite(std::strtof(token.c_str(), nullptr)));
      text += token + (i % kD == kD - 1 ? (seed % 2 ? "\r\n" : "\n") : randomSpace(random));
    }
    if (!finalLineEnd) text.erase(text.find_last_not_of("\r\n") + 1);
    const std::string path = dir_.file("points" + std::to_string(seed) + ".txt");
    test::writeFile(path, text);
    return path;
  }

  test::TempDir dir_;
};

TEST_F(ParallelPointReaderFiles, ReadAcrossManySmallChunksAsTheSequentialReaderDoes) {
  constexpr int32_t kN = 40000;  // about 1.6 MB: some 25 chunks of the smallest size
  // And values as dense as they come, one digit and one blank each.
  std::string dense;
  for (int32_t i = 0; i < kN * kD; ++i) dense += std::to_string(i % 10) + (i % kD == kD - 1 ? "\n" : " ");
  test::writeFile(dir_.file("dense.txt"), dense);
  for (const std::string& path :
       {writePoints(kN, 1), writePoints(kN, 2), writePoints(kN, 3, false), dir_.file("dense.txt")}) {
    std::vector<float> expected(size_t{kN} * kD);
    DataFileReader sequential(path.c_str(), kD, kN, "cannot open");
    ASSERT_EQ(sequential.readPoints(expected.data(), kN), kN);
    for (int threads : {1, 2}) {
      for (int64_t block : {1, 777, 16384}) {
        ThreadPool pool(threads);
        ParallelPointReader reader(path.c_str(), kD, kN, "cannot open", pool,
                                   kernelTable(threads == 1 ? Isa::Scalar : bestIsa()),
                                   ParallelPointReader::kSmallestChunkBytes);
        std::vector<float> got(size_t{kN} * kD + block * kD);
        int64_t points = 0;
        while (const int64_t count = reader.readPoints(got.data() + points * kD, block)) points += count;
        ASSERT_EQ(points, kN);
        got.resize(expected.size());
        ASSERT_EQ(std::memcmp(got.data(), expected.data(), expected.size() * sizeof(float)), 0)
            << path << ", " << threads << " threads, blocks of " << block;
      }
    }
  }
}

TEST_F(ParallelPointReaderFiles, ProblemsInLaterChunksEndTheRunWithTheSequentialReadersMessage) {
  constexpr int32_t kN = 20000;
  const auto file = [&](const std::string& name, const std::string& atPoint15000) {
    std::string text;
    for (int32_t i = 1; i <= kN; ++i) {
      if (i == 15000) text += atPoint15000;
      text += std::to_string(i) + ".125\t-" + std::to_string(i % 77) + ".5\t0.000001\n";
    }
    const std::string path = dir_.file(name);
    test::writeFile(path, text);
    return path;
  };
  const std::string good = file("good.txt", "");
  const std::string bad = file("bad.txt", "12x ");
  const std::string longToken = file("long.txt", std::string(200000, '7'));
  // The problem comes back as an Error, with the sequential reader's message.
  const auto problemReading = [](const std::string& path, int32_t n) -> std::string {
    ThreadPool pool(2);
    ParallelPointReader reader(path.c_str(), kD, n, "cannot open", pool, kernelTable(bestIsa()),
                               ParallelPointReader::kSmallestChunkBytes);
    std::vector<float> block(size_t{1000} * kD);
    try {
      while (reader.readPoints(block.data(), 1000) > 0) {
      }
    } catch (const Error& error) {
      EXPECT_EQ(error.status(), kExitFailure);
      return error.what();
    }
    return "";
  };
  for (const auto& [path, n, message] : std::vector<std::tuple<std::string, int32_t, std::string>>{
           {bad, kN, "point 15000 of 20000, value 1 of 3 (line 15000): \"12x\" is not a"},
           {longToken, kN, "point 15000 of 20000, value 1 of 3 (line 15000): \"7777"},
           {good, kN + 1, "it holds 20000 points, but #data is 20001"},
           {good, kN - 1, "it holds more than the 19999 points"},
       }) {
    EXPECT_NE(problemReading(path, n).find(message), std::string::npos) << message;
  }
  EXPECT_EQ(problemReading(good, kN), "");
}

}  // namespace
}  // namespace zelmor
