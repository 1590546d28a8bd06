#include "state/state_files.h"

#include <cctype>
#include <fstream>
#include <limits>
#include <random>
#include <string>

#include "common/leading_int32.h"
#include "state/kept_files.h"

namespace {

namespace fs = std::filesystem;

// Files are written as bytes with explicit CR LF so that they are the same
// whichever runtime writes them.
constexpr const char kLineEnd[] = "\r\n";

constexpr char kRolls[] = "rolls.txt";
constexpr char kRoll[] = "roll.txt";
constexpr char kLastRev[] = "lastrev.txt";
constexpr char kServiceRev[] = "service_rev.txt";

fs::path RollsPath(const fs::path& dir) { return dir / kRolls; }
fs::path RollPath(const fs::path& dir) { return dir / kRoll; }
fs::path LastRevPath(const fs::path& dir) { return dir / kLastRev; }

// White space and leading zeros read before a file counts as holding no
// number: far more than any tool writes, and a huge file of blanks is not
// read to its end.
constexpr size_t kMaxPadding = 1024 * 1024;

// Reads the file's number as formatted extraction does: white space skipped,
// an optional sign, then the digits up to the first other character, wherever
// they start. 0 when there is no number or it does not fit in 32 bits.
int32_t ReadNumberFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return 0;
  std::streambuf& file = *in.rdbuf();
  constexpr int kEnd = std::char_traits<char>::eof();
  size_t padding = 0;
  int c = file.sgetc();
  for (; c != kEnd && std::isspace(c); c = file.snextc()) {
    if (++padding > kMaxPadding) return 0;
  }
  std::string number;
  if (c == '+' || c == '-') {
    number += static_cast<char>(c);
    c = file.snextc();
  }
  bool anyDigit = false;
  for (; c == '0'; c = file.snextc()) {
    anyDigit = true;
    if (++padding > kMaxPadding) return 0;
  }
  // Eleven significant digits already exceed 32 bits.
  for (; c != kEnd && c >= '0' && c <= '9'; c = file.snextc()) {
    anyDigit = true;
    if (number.size() > 11) return 0;
    number += static_cast<char>(c);
  }
  if (!anyDigit) return 0;
  if (number.empty() || number == "+" || number == "-") number += '0';
  return ParseLeadingInt32(number).value_or(0);
}

// Every write replaces the whole file durably (kept_files.h); one that
// fails leaves the file as it was.
void WriteNumberFile(const fs::path& dir, const char* name, int32_t value) {
  WriteKeptFile(dir, name, std::to_string(value));
}

std::mt19937 SeededGenerator() {
  std::random_device device;
  return std::mt19937(device());
}

int32_t PickFrom(const std::vector<int32_t>& pool, std::mt19937& generator) {
  std::uniform_int_distribution<size_t> index(0, pool.size() - 1);
  return pool[index(generator)];
}

// Draws a fresh pool, writes it and then a roll from it. Returns false when
// rolls.txt could not be written (roll.txt is then left alone as well).
bool WritePool(const fs::path& dir, const std::vector<int32_t>& pool) {
  std::string text;
  for (int32_t roll : pool) text += std::to_string(roll) + kLineEnd;
  return WriteKeptFile(dir, kRolls, text);
}

bool DrawPool(const fs::path& dir) {
  std::mt19937 generator = SeededGenerator();
  std::uniform_int_distribution<int32_t> draw(RollMin, RollMax);
  std::vector<int32_t> pool(RollCount);
  for (int32_t& roll : pool) roll = draw(generator);
  if (!WritePool(dir, pool)) return false;
  WriteNumberFile(dir, kRoll, PickFrom(pool, generator));
  return true;
}

}  // namespace

std::optional<std::vector<int32_t>> ReadRolls(const fs::path& stateDirectory) {
  std::vector<int32_t> pool;
  std::ifstream in(RollsPath(stateDirectory), std::ios::binary);
  if (!in) return pool;
  std::string line;
  while (std::getline(in, line)) {
    std::optional<int32_t> value = ParseLeadingInt32(line);
    if (!value) return std::nullopt;
    pool.push_back(*value);
  }
  return pool;
}

void EnsureRolls(const fs::path& stateDirectory) {
  std::optional<std::vector<int32_t>> pool = ReadRolls(stateDirectory);
  if (pool && pool->size() == RollCount) return;
  DrawPool(stateDirectory);
}

void Reroll(const fs::path& stateDirectory) {
  std::optional<std::vector<int32_t>> pool = ReadRolls(stateDirectory);
  if (!pool || pool->empty()) {
    // Drawing a pool also draws roll.txt from it.
    DrawPool(stateDirectory);
    return;
  }
  std::mt19937 generator = SeededGenerator();
  WriteNumberFile(stateDirectory, kRoll, PickFrom(*pool, generator));
}

int32_t ReadRoll(const fs::path& stateDirectory) {
  return ReadNumberFile(RollPath(stateDirectory));
}

int32_t ReadLastRev(const fs::path& stateDirectory) {
  return ReadNumberFile(LastRevPath(stateDirectory));
}

void WriteLastRev(const fs::path& stateDirectory, int32_t rev) {
  WriteNumberFile(stateDirectory, kLastRev, rev);
}

void WriteServiceRev(const fs::path& stateDirectory) {
  WriteNumberFile(stateDirectory, kServiceRev, ServiceVersion);
}

StateValues ReadStateValues(const fs::path& stateDirectory,
                            const std::function<bool(const fs::path&)>& mayRead) {
  StateValues values;
  const auto present = [&](const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error) && mayRead(path);
  };
  if (present(RollsPath(stateDirectory))) {
    std::optional<std::vector<int32_t>> pool = ReadRolls(stateDirectory);
    if (pool && pool->size() == RollCount) values.rolls = std::move(pool);
  }
  if (present(RollPath(stateDirectory))) values.roll = ReadRoll(stateDirectory);
  if (present(LastRevPath(stateDirectory))) values.lastRev = ReadLastRev(stateDirectory);
  return values;
}

void WriteStateValues(const fs::path& stateDirectory, const StateValues& values) {
  if (values.rolls) WritePool(stateDirectory, *values.rolls);
  if (values.roll) WriteNumberFile(stateDirectory, kRoll, *values.roll);
  if (values.lastRev) WriteLastRev(stateDirectory, *values.lastRev);
}
