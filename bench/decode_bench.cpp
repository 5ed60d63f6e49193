// Decoding getNotification answers of 1 MiB and 10 MiB: splitText of the body
// into records, and decodeNotifications into an empty list and into a list
// that already holds every id (each later poll while the guests wait).
// Linear decoding keeps the 10 MiB time near ten times the 1 MiB time.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "reception_client.h"
#include "split_text.h"

namespace {

struct Answer {
  std::string body;
  std::size_t records = 0;
};

std::string recordFor(long id) {
  return std::to_string(100000 + id) + "|Guest " + std::to_string(id) + " is waiting|Meeting room " +
         std::to_string(id % 12) + "|" + std::to_string(8 + id % 10) + "|" + std::to_string(id % 60) + "|" +
         std::to_string(id * 7 % 60);
}

// Whole records, about 60 bytes each, up to the given size; built once per size.
const Answer& answerOf(std::size_t bytes) {
  static std::map<std::size_t, Answer> answers;
  Answer& answer = answers[bytes];
  if (answer.records > 0) return answer;
  answer.body.reserve(bytes);
  for (long id = 1;; ++id) {
    std::string record = recordFor(id);
    if (answer.body.size() + record.size() + 1 > bytes) break;
    if (answer.records > 0) answer.body += ',';
    answer.body += record;
    ++answer.records;
  }
  return answer;
}

std::size_t sizeArgument(const benchmark::State& state) { return static_cast<std::size_t>(state.range(0)); }

// Times fill(body, list) on an empty list; emptying it again is not timed.
template <typename List, typename Fill>
void fillEmptyList(benchmark::State& state, Fill fill, const char* wrongCount) {
  const Answer& answer = answerOf(sizeArgument(state));
  List list;
  for (auto _ : state) {
    fill(answer.body.c_str(), list);
    state.PauseTiming();
    bool complete = list.size() == answer.records;
    List().swap(list);
    state.ResumeTiming();
    if (!complete) {
      state.SkipWithError(wrongCount);
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * answer.body.size()));
}

void splitAnswer(benchmark::State& state) {
  fillEmptyList<TextList>(
      state, [](const char* body, TextList& records) { splitText(body, records, ","); },
      "splitText gave the wrong number of records");
}

void decodeIntoEmptyList(benchmark::State& state) {
  fillEmptyList<NotificationList>(state, decodeNotifications,
                                  "decodeNotifications gave the wrong number of notifications");
}

void decodeIntoFullList(benchmark::State& state) {
  const Answer& answer = answerOf(sizeArgument(state));
  NotificationList list;
  decodeNotifications(answer.body.c_str(), list);
  for (auto _ : state) {
    decodeNotifications(answer.body.c_str(), list);
    if (list.size() != answer.records) {
      state.SkipWithError("decodeNotifications appended an id the list already held");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * answer.body.size()));
}

constexpr std::int64_t oneMiB = std::int64_t{1024} * 1024;

}  // namespace

BENCHMARK(splitAnswer)->Arg(oneMiB)->Arg(10 * oneMiB)->Unit(benchmark::kMillisecond);
BENCHMARK(decodeIntoEmptyList)->Arg(oneMiB)->Arg(10 * oneMiB)->Unit(benchmark::kMillisecond);
BENCHMARK(decodeIntoFullList)->Arg(oneMiB)->Arg(10 * oneMiB)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bool defaultHeap = argc == 2 && std::strcmp(argv[1], "--default-heap") == 0;
  if (argc > 1 && !defaultHeap) {
    std::fprintf(stderr, "usage: decode_bench [--default-heap] [--benchmark_... flags]\n");  // NOLINT(cert-err33-c): exits next
    return 2;
  }
  // By default glibc returns the 10 MiB case's freed pages to the kernel and
  // faults them in again on the next iteration, while the 1 MiB case reuses
  // its heap: the ratio would then compare cold memory with warm. Keeping
  // freed memory in the process measures both sizes alike (the notifier's
  // Windows heap has other rules anyway). --default-heap keeps glibc's.
  if (!defaultHeap) {
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
