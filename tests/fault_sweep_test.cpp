// Every failure point of a run tried alone: each run is made once to count its allocations and
// system calls, then again for every N, with the Nth call of one class failing once, and failing
// from then on, in every way tests/fault_simulator.h knows for it. Each outcome must be the run's
// own (exact output) or a failure with the status or transcript that fits the call, with no
// crash, no leak (LeakSanitizer, in the sanitized build), no incomplete destination and the
// source untouched; interrupted calls, short counts and a thread that cannot start change nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "ravmolt/ravmolt_c.h"
#include "tests/fault_simulator.h"
#include "tests/test_file.h"
#include "tests/tool_process.h"
#include "tools/corpus.h"
#include "tools/encoder.h"

namespace ravmolt::testing {
namespace {

using faults::Call;
using Bytes = std::vector<std::uint8_t>;

struct Sample {
  const char* name;
  Bytes file;
  Bytes original;  // empty for a file that is not valid
  bool valid = true;
  bool twoThreads = false;  // large enough for the two-thread driver of the file runs
};

std::vector<Sample> samples() {
  const Bytes text = tools::makeCorpus(tools::CorpusKind::englishText, 256 << 10);
  const Bytes large = tools::makeCorpus(tools::CorpusKind::englishText, 4 << 20, 7);
  Bytes everyByte(std::size_t{16} << 10);
  for (std::size_t i = 0; i < everyByte.size(); ++i) everyByte[i] = static_cast<std::uint8_t>(i);
  FrequencyTable caterpillar{};
  caterpillar.fill(INT32_MAX);
  const Bytes small(100, 'x');
  return {
      {"an invalid file", TestFile().entry('a', 1).checksum(7).bits("0").bytes(), {}, false},
      {"an empty payload", TestFile().entry('a', 1).bytes(), {}},
      {"a small file", TestFile().entry('x', 100).entry('y', 1).bits(std::string(100, '1')).bytes(),
       small},
      {"one thread", tools::encode(text).value(), text},
      {"two threads", tools::encode(large).value(), large, true, true},
      {"codes of 255 bits", tools::encodeWithTable(caterpillar, everyByte).value(), everyByte},
  };
}

// What one run under a plan did.
struct Outcome {
  int status = 0;      // the C status, or the command's exit status
  std::string text;    // the command's console text and standard error
  bool exact = false;  // the destination holds exactly the original
  bool clean = false;  // no destination, or an empty one
  bool sourceKept = false;
};

// The tally of one sweep, for the closing figures.
struct Tally {
  std::size_t points = 0, transient = 0, persistent = 0, wrong = 0;
  std::size_t threadStarts = 0;  // in the run without faults
};

// The C statuses a fault of `call` may end a file run with, besides the run's own.
std::set<int> failuresOf(Call call) {
  switch (call) {
    case Call::allocate:
      return {RAVMOLT_OUT_OF_MEMORY};
    case Call::open:
    case Call::fstat:
      return {RAVMOLT_SOURCE_NOT_FOUND, RAVMOLT_DESTINATION_UNWRITABLE};
    case Call::read:
      return {RAVMOLT_INVALID_FORMAT};
    case Call::lock:
    case Call::truncate:
      return {RAVMOLT_DESTINATION_UNWRITABLE, RAVMOLT_WRITE_FAILED};
    case Call::write:
    case Call::close:
      return {RAVMOLT_WRITE_FAILED};
    default:
      return {};  // the run must not notice
  }
}

// The same for a command run, as the line it ends with.
std::set<std::string> transcriptsOf(Call call) {
  std::set<std::string> texts;
  for (int status : failuresOf(call)) {
    if (status == RAVMOLT_INVALID_FORMAT)
      texts.insert(invalidTranscript());
    else if (status == RAVMOLT_SOURCE_NOT_FOUND)
      texts.insert(fileNotFoundTranscript());
    else
      texts.insert(unableToWriteTranscript());
  }
  return texts;
}

// Runs `run` once to count, then under every plan; `judge` says what is wrong with an outcome.
using RunUnder =
    std::function<Outcome(const faults::Plan&, std::array<std::size_t, faults::kCallClasses>*)>;
using Judge =
    std::function<std::string(const Outcome& baseline, const Outcome&, const faults::Plan&)>;

Tally sweep(const RunUnder& run, const Judge& judge) {
  std::array<std::size_t, faults::kCallClasses> counts{};
  const Outcome baseline = run({}, &counts);
  EXPECT_TRUE(baseline.sourceKept);
  EXPECT_TRUE(baseline.exact || baseline.clean) << baseline.text;
  Tally tally;
  tally.threadStarts = counts[static_cast<std::size_t>(Call::threadStart)];
  for (std::size_t c = 0; c < faults::kCallClasses; ++c) {
    const auto call = static_cast<Call>(c);
    tally.points += counts[c];
    for (std::size_t n = 1; n <= counts[c]; ++n) {
      for (const faults::Fault& fault : faults::faultsOf(call)) {
        for (const bool persistent : {false, true}) {
          // An interruption or a one-byte move that never ends is no fault a system makes.
          if (persistent &&
              (fault.error == EINTR || fault.shortCount == faults::Fault::Short::oneByte)) {
            continue;
          }
          const faults::Plan plan{call, n, fault, persistent};
          ++(persistent ? tally.persistent : tally.transient);
          const std::string wrong = judge(baseline, run(plan, nullptr), plan);
          if (wrong.empty()) continue;
          ++tally.wrong;
          ADD_FAILURE() << faults::nameOf(call) << " " << n << " failing "
                        << (persistent ? "from then on" : "once") << " with " << fault.name()
                        << ": " << wrong;
        }
      }
    }
  }
  return tally;
}

// The outcome rules shared by the file call and the command: `same` is whether the run's result
// is its own, `allowed` whether a failure fits the call.
std::string judgeFiles(const Outcome& baseline, const Outcome& outcome, const faults::Plan& plan,
                       bool same, bool allowed) {
  if (!outcome.sourceKept) return "the source changed";
  if (same) {
    if (baseline.exact && !outcome.exact) return "wrong output";
    if (!baseline.exact && !outcome.clean) return "output left behind";
    return "";
  }
  if (plan.fault.retryable() || failuresOf(plan.call).empty()) return "failed: " + outcome.text;
  if (!allowed) return "wrong failure: " + outcome.text;
  if (!outcome.clean) return "incomplete destination left";
  return "";
}

void report(const char* run, const Tally& tally) {
  std::printf("fault sweep, %s: %zu fault points, %zu tried once, %zu from then on, %zu wrong\n",
              run, tally.points, tally.transient, tally.persistent, tally.wrong);
}

struct Files {
  TempDir dir;
  std::filesystem::path source = dir / "in.rvm";
  std::filesystem::path destination = dir / "out";
  explicit Files(const Sample& sample) { writeBytes(source, sample.file); }
  void inspect(const Sample& sample, Outcome& outcome) const {
    const bool exists = std::filesystem::exists(destination);
    const Bytes restored = exists ? readBytes(destination) : Bytes{};
    outcome.exact = exists && restored == sample.original;
    outcome.clean = restored.empty();
    outcome.sourceKept = readBytes(source) == sample.file;
    std::filesystem::remove(destination);
  }
};

// Sweeps the file call on `sample`, whose source path `open` gives before each run (after the
// files are written, before the faults are armed) and `close` ends after it.
Tally sweepFileCall(const Sample& sample, const Files& files,
                    const std::function<std::string()>& open, const std::function<void()>& close) {
  const auto run = [&](const faults::Plan& plan, auto* counts) {
    Outcome outcome;
    const std::string source = open();
    faults::arm(plan);
    outcome.status = ravmolt_decompress_file(source.c_str(), files.destination.c_str());
    faults::disarm();
    close();
    if (counts != nullptr) {
      for (std::size_t c = 0; c < faults::kCallClasses; ++c) {
        (*counts)[c] = faults::calls(static_cast<Call>(c));
      }
    }
    outcome.text = ravmolt_status_text(outcome.status);
    files.inspect(sample, outcome);
    return outcome;
  };
  return sweep(run, [](const Outcome& baseline, const Outcome& outcome, const faults::Plan& plan) {
    return judgeFiles(baseline, outcome, plan, outcome.status == baseline.status,
                      failuresOf(plan.call).count(outcome.status) > 0);
  });
}

TEST(FaultSweep, TheFileCall) {
  for (const Sample& sample : samples()) {
    SCOPED_TRACE(sample.name);
    const Files files(sample);
    const Tally tally = sweepFileCall(
        sample, files, [&files] { return files.source.string(); }, [] {});
    report((std::string("file call, ") + sample.name).c_str(), tally);
    EXPECT_EQ(tally.threadStarts > 0, sample.twoThreads);
  }
}

// The same call reading a pipe that holds the whole file: the path of a source that cannot seek,
// read whole into memory.
TEST(FaultSweep, TheFileCallFromAPipe) {
  constexpr std::size_t kPipeSize = std::size_t{1} << 20;
  for (const Sample& sample : samples()) {
    if (sample.file.size() > kPipeSize) continue;
    SCOPED_TRACE(sample.name);
    const Files files(sample);
    int reading = -1;
    const auto open = [&] {
      int ends[2];
      if (::pipe(ends) != 0) ADD_FAILURE() << "no pipe";
      if (::fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(kPipeSize)) < 0 ||
          ::write(ends[1], sample.file.data(), sample.file.size()) !=
              static_cast<ssize_t>(sample.file.size())) {
        ADD_FAILURE() << "pipe not filled";
      }
      ::close(ends[1]);
      reading = ends[0];
      return "/proc/self/fd/" + std::to_string(reading);
    };
    const Tally tally = sweepFileCall(sample, files, open, [&reading] { ::close(reading); });
    report((std::string("file call from a pipe, ") + sample.name).c_str(), tally);
  }
}

// Restored bytes kept in room set aside before the decode, so that the sink allocates nothing.
struct Collected {
  Bytes bytes;
  std::size_t size = 0;
};

int collect(void* context, const unsigned char* data, std::size_t size) {
  auto* collected = static_cast<Collected*>(context);
  if (size > collected->bytes.size() - collected->size) return 0;
  std::memcpy(collected->bytes.data() + collected->size, data, size);
  collected->size += size;
  return 1;
}

// Sweeps a call that restores `sample` from memory into `collected` through `decode`; its
// allocations are all that can fail, and running out of memory hands nothing on.
Tally sweepMemoryCall(const Sample& sample, Collected& collected,
                      const std::function<int()>& decode) {
  const auto run = [&](const faults::Plan& plan, auto* counts) {
    Outcome outcome;
    collected.size = 0;
    faults::arm(plan);
    outcome.status = decode();
    faults::disarm();
    if (counts != nullptr) (*counts)[0] = faults::calls(Call::allocate);
    outcome.exact =
        collected.size == sample.original.size() &&
        std::equal(sample.original.begin(), sample.original.end(), collected.bytes.begin());
    outcome.clean = collected.size == 0;
    outcome.sourceKept = true;
    outcome.text = ravmolt_status_text(outcome.status);
    return outcome;
  };
  return sweep(run, [](const Outcome& baseline, const Outcome& outcome, const faults::Plan& plan) {
    return judgeFiles(baseline, outcome, plan, outcome.status == baseline.status,
                      outcome.status == RAVMOLT_OUT_OF_MEMORY);
  });
}

// The buffer call makes no system call: its allocations are what can fail, and running out of
// memory hands nothing on.
TEST(FaultSweep, TheBufferCall) {
  for (const Sample& sample : samples()) {
    SCOPED_TRACE(sample.name);
    Collected collected{Bytes(sample.original.size() + 1), 0};
    const Tally tally = sweepMemoryCall(sample, collected, [&] {
      return ravmolt_decompress_buffer(sample.file.data(), sample.file.size(), collect, &collected);
    });
    report((std::string("buffer call, ") + sample.name).c_str(), tally);
  }
}

// The streaming call: the decoder's creation and its table builds are what allocate, and each
// failing alone ends the run as out of memory with nothing restored, or not at all (a decoder
// that cannot get its lanes' buffers decodes without them). The input comes in 64 KiB pieces into
// rooms of 256 KiB held by the caller, so that the run itself allocates nothing.
TEST(FaultSweep, TheStreamingCall) {
  for (const Sample& sample : samples()) {
    SCOPED_TRACE(sample.name);
    Collected collected{Bytes(sample.original.size() + 1), 0};
    const auto decode = [&]() -> int {
      ravmolt_decoder* decoder = ravmolt_decoder_create();
      if (decoder == nullptr) return RAVMOLT_OUT_OF_MEMORY;
      ravmolt_input in{sample.file.data(), 0, 0};
      ravmolt_status status = RAVMOLT_NEEDS_INPUT;
      while (status == RAVMOLT_NEEDS_INPUT || status == RAVMOLT_OUTPUT_PENDING) {
        if (in.used == in.size) in.size = std::min(in.size + (64 << 10), sample.file.size());
        ravmolt_output out{
            collected.bytes.data() + collected.size,
            std::min<std::size_t>(256 << 10, collected.bytes.size() - collected.size), 0};
        status = ravmolt_stream_decode(decoder, &in, &out, in.size == sample.file.size());
        collected.size += out.made;
      }
      ravmolt_decoder_free(decoder);
      return status;
    };
    const Tally tally = sweepMemoryCall(sample, collected, decode);
    report((std::string("streaming call, ") + sample.name).c_str(), tally);
  }
}

// The command, built with the simulator, run for every plan through its environment; a run that
// hangs is ended by an alarm, which counts as a crash.
TEST(FaultSweep, TheCommand) {
  for (const Sample& sample : samples()) {
    SCOPED_TRACE(sample.name);
    const Files files(sample);
    const auto countsFile = files.dir / "counts";
    const auto run = [&](const faults::Plan& plan, auto* counts) {
      const std::string planText = faults::format(plan);
      const RunResult result = runTool({files.source.string(), files.destination.string()}, [&] {
        ::setenv("RAVMOLT_FAULT", planText.c_str(), 1);
        if (counts != nullptr) ::setenv("RAVMOLT_FAULT_COUNTS", countsFile.c_str(), 1);
        ::alarm(120);
        return true;
      });
      Outcome outcome;
      outcome.status = result.exited ? result.exitCode : 128 + result.signal;
      outcome.text = result.out + result.err;
      files.inspect(sample, outcome);
      if (counts != nullptr) {
        std::ifstream in(countsFile);
        for (auto& count : *counts) in >> count;
      }
      return outcome;
    };
    const std::string own = sample.valid ? successTranscript() : invalidTranscript();
    const Tally tally = sweep(run, [&](const Outcome& baseline, const Outcome& outcome,
                                       const faults::Plan& plan) {
      if (outcome.status > 1)
        return "ended by status " + std::to_string(outcome.status) + ": " + outcome.text;
      return judgeFiles(baseline, outcome, plan, outcome.text == own,
                        outcome.status == 1 && transcriptsOf(plan.call).count(outcome.text) > 0);
    });
    report((std::string("command, ") + sample.name).c_str(), tally);
    EXPECT_EQ(tally.threadStarts > 0, sample.twoThreads);
  }
}

}  // namespace
}  // namespace ravmolt::testing
