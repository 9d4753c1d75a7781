#include "tools/corpus.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <string>

namespace ravmolt::tools {
namespace {

// splitmix64: small, fast and the same everywhere, unlike the standard distributions.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }

 private:
  std::uint64_t state_;
};

// Picks words with Zipf-like weights (word i of n weighs 1 / (i + 1)) and joins them.
class WordSource {
 public:
  explicit WordSource(std::vector<std::string_view> words) : words_(std::move(words)) {
    double total = 0;
    for (std::size_t i = 0; i < words_.size(); ++i) {
      total += 1.0 / static_cast<double>(i + 1);
      cumulative_.push_back(total);
    }
  }
  std::string_view pick(Random& random) const {
    const double target =
        cumulative_.back() * static_cast<double>(random.next() >> 11) / 9007199254740992.0;
    const auto at = std::upper_bound(cumulative_.begin(), cumulative_.end(), target);
    return words_[std::min<std::size_t>(static_cast<std::size_t>(at - cumulative_.begin()),
                                        words_.size() - 1)];
  }

 private:
  std::vector<std::string_view> words_;
  std::vector<double> cumulative_;
};

const WordSource& englishWords() {
  static const WordSource words({
      "the",
      "of",
      "and",
      "to",
      "a",
      "in",
      "is",
      "that",
      "it",
      "for",
      "was",
      "on",
      "are",
      "as",
      "with",
      "be",
      "this",
      "by",
      "not",
      "or",
      "have",
      "from",
      "which",
      "you",
      "at",
      "but",
      "they",
      "all",
      "one",
      "their",
      "were",
      "there",
      "can",
      "we",
      "been",
      "if",
      "more",
      "when",
      "will",
      "would",
      "who",
      "so",
      "no",
      "file",
      "program",
      "may",
      "software",
      "other",
      "any",
      "time",
      "people",
      "could",
      "into",
      "than",
      "only",
      "under",
      "license",
      "work",
      "free",
      "must",
      "source",
      "without",
      "between",
      "system",
      "should",
      "through",
      "because",
      "each",
      "called",
      "version",
      "copy",
      "terms",
      "public",
      "general",
      "conditions",
      "distribute",
      "modify",
      "Library",
      "Foundation",
      "however",
      "whether",
      "provided",
      "following",
      "received",
      "warranty",
      "example",
      "question",
      "quickly",
      "jumping",
      "explained",
      "beyond",
      "lighthouse",
      "keeper",
      "harbour",
      "evening",
      "weather",
      "written",
      "notice",
      "permission",
      "reasonable",
      "merchantability",
  });
  return words;
}

void appendProse(std::string& out, Random& random, std::size_t size) {
  std::size_t sentence = 0;
  while (out.size() < size) {
    std::string_view word = englishWords().pick(random);
    if (sentence == 0 && !word.empty()) {
      out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(word[0]))));
      word.remove_prefix(1);
    }
    out += word;
    ++sentence;
    if (sentence > 6 + random.below(12)) {
      out += random.below(5) == 0 ? ".\n" : ". ";
      sentence = 0;
    } else {
      out += random.below(12) == 0 ? ", " : " ";
    }
  }
}

void appendManPages(std::string& out, Random& random, std::size_t size) {
  static const WordSource macros({".PP\n", ".B ", ".I ", ".TP\n", ".SH DESCRIPTION\n", ".BR ",
                                  ".IP \\(bu 2\n", ".SH OPTIONS\n", ".RS\n", ".RE\n", ".SH NAME\n",
                                  ".TH FILE 1\n", ".SH SEE ALSO\n"});
  static const WordSource inline_({"\\fB", "\\fR", "\\fI", "\\-", "\\(em", "\\e", "\\&"});
  while (out.size() < size) {
    out += macros.pick(random);
    const std::size_t words = 4 + random.below(14);
    for (std::size_t i = 0; i < words; ++i) {
      if (random.below(6) == 0) out += inline_.pick(random);
      out += englishWords().pick(random);
      out += ' ';
    }
    out += "\n";
  }
}

void appendSourceCode(std::string& out, Random& random, std::size_t size) {
  static const WordSource tokens(
      {" ",     "(",        ")",        ";\n",     "    ",    ",",          "=",     "self",
       ".",     "{\n",      "}\n",      "return",  "if",      "int",        "const", "std::",
       "0",     "1",        "def ",     "size",    "buffer",  "#include <", ">\n",   "->",
       "None",  "char",     "struct ",  "static ", "void",    "for",        "in",    "_",
       "value", "else",     "import ",  "\"",      "/* ",     " */\n",      "# ",    "len",
       "data",  "__init__", "unsigned", "long",    "define ", "NULL",       "while", "x",
       "i",     "n",        "[",        "]",       ":\n",     "True",       "False", "+",
       "-",     "*",        "&",        "&&",      "||"});
  while (out.size() < size) {
    out += tokens.pick(random);
    if (random.below(9) == 0) out += englishWords().pick(random);
  }
}

void appendExecutable(std::vector<std::uint8_t>& out, Random& random, std::size_t size) {
  // Zero runs and a few frequent opcode and ModRM bytes over a spread of all values.
  static constexpr std::uint8_t kFrequent[] = {0x48, 0x89, 0x8B, 0xE8, 0x0F, 0x83, 0x24, 0x45,
                                               0x85, 0xC0, 0x74, 0x75, 0x01, 0x08, 0x4C, 0xFF,
                                               0x44, 0x10, 0x20, 0x41, 0xC3, 0x90, 0x31, 0x8D};
  while (out.size() < size) {
    const std::size_t pick = random.below(100);
    if (pick < 22) {
      out.push_back(0x00);
    } else if (pick < 60) {
      out.push_back(kFrequent[random.below(sizeof kFrequent)]);
    } else {
      out.push_back(static_cast<std::uint8_t>(random.next() >> 56));
    }
  }
}

}  // namespace

std::string_view corpusName(CorpusKind kind) {
  switch (kind) {
    case CorpusKind::englishText:
      return "english";
    case CorpusKind::manPages:
      return "manpages";
    case CorpusKind::sourceCode:
      return "source";
    case CorpusKind::executable:
      return "executable";
    case CorpusKind::randomBytes:
      return "random";
    case CorpusKind::skewedGeometric:
      return "geometric";
    case CorpusKind::fibonacciWeights:
      return "fibonacci";
  }
  return "unknown";
}

FrequencyTable fibonacciCounts() {
  FrequencyTable counts{};
  std::int32_t previous = 1;
  std::int32_t current = 1;
  for (std::size_t symbol = 0; symbol < 40; ++symbol) {
    counts[symbol] = current;
    const std::int32_t next = previous + current;
    previous = current;
    current = next;
  }
  return counts;
}

std::vector<std::uint8_t> makeCorpus(CorpusKind kind, std::size_t size, std::uint64_t seed) {
  Random random(seed);
  std::vector<std::uint8_t> out;
  out.reserve(size + 64);
  switch (kind) {
    case CorpusKind::englishText:
    case CorpusKind::manPages:
    case CorpusKind::sourceCode: {
      std::string text;
      text.reserve(size + 64);
      if (kind == CorpusKind::englishText) appendProse(text, random, size);
      if (kind == CorpusKind::manPages) appendManPages(text, random, size);
      if (kind == CorpusKind::sourceCode) appendSourceCode(text, random, size);
      out.assign(text.begin(), text.end());
      break;
    }
    case CorpusKind::executable:
      appendExecutable(out, random, size);
      break;
    case CorpusKind::randomBytes:
      while (out.size() < size) out.push_back(static_cast<std::uint8_t>(random.next() >> 56));
      break;
    case CorpusKind::skewedGeometric:
      while (out.size() < size) {
        out.push_back(static_cast<std::uint8_t>(std::countr_one(random.next())));
      }
      break;
    case CorpusKind::fibonacciWeights: {
      // Byte i with probability F(i + 1) / sum: the heaviest symbols are the commonest.
      const FrequencyTable counts = fibonacciCounts();
      std::uint64_t total = 0;
      for (std::int32_t count : counts) total += static_cast<std::uint64_t>(std::max(count, 0));
      while (out.size() < size) {
        std::uint64_t target = random.next() % total;
        std::size_t symbol = 39;
        while (target >= static_cast<std::uint64_t>(counts[symbol])) {
          target -= static_cast<std::uint64_t>(counts[symbol]);
          --symbol;
        }
        out.push_back(static_cast<std::uint8_t>(symbol));
      }
      break;
    }
  }
  out.resize(size);
  return out;
}

}  // namespace ravmolt::tools
