// receive_bench.cpp - how fast the receive path takes a monitor's dump.
//
// Every received character goes through AddRxChar on the main thread, and
// every decoded byte is written to the capture file on its own. The path must
// keep up with the fastest line the program is used on with room to spare:
// 921600 baud is about 92 000 characters a second, so the target is ten times
// that, 920 000 characters a second, capture writes included.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "core/settings.h"
#include "core/shared_state.h"
#include "sequence/command_handoff.h"
#include "files/capture_and_map.h"
#include "receive/line_assembler.h"
#include "receive/receive_loop.h"

namespace {

// One block's answer as the monitor prints it: eight dump lines and the prompt.
std::string BlockAnswer() {
  std::string szAnswer = "\r\n";
  for (int iLine = 0; iLine < 8; ++iLine) {
    char szLine[128];
    snprintf(szLine, sizeof szLine,
             "0001C%03X 00 11 22 33 44 55 66 77-88 99 AA BB CC DD EE FF  ................\r\n",
             iLine * 16);
    szAnswer += szLine;
  }
  return szAnswer + ">";
}

void ReceiveDumpAnswer(benchmark::State &oState) {
  char szPath[] = "/tmp/vexlor-bench-XXXXXX";
  int iFd = mkstemp(szPath);
  if (iFd >= 0) close(iFd);
  SwapCaptureFile(CreateCaptureFile(szPath));
  FillSettings().bOutToConsole = 0;
  std::string szAnswer = BlockAnswer();
  for (auto _ : oState) {
    AwaitPrompt(">");
    for (char c : szAnswer) HandleRxByte(static_cast<unsigned char>(c));
  }
  oState.counters["chars_per_second"] = benchmark::Counter(
      static_cast<double>(szAnswer.size()) * static_cast<double>(oState.iterations()),
      benchmark::Counter::kIsRate);
  unlink(szPath);
}
BENCHMARK(ReceiveDumpAnswer);

void AssembleLongLine(benchmark::State &oState) {
  CloseCaptureFile(SwapCaptureFile(nullptr));
  for (auto _ : oState) {
    for (int i = 0; i < 4096; ++i) AddRxChar('x');
    AddRxChar('\n');
  }
  oState.counters["chars_per_second"] = benchmark::Counter(
      4097.0 * static_cast<double>(oState.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(AssembleLongLine);

}  // namespace

BENCHMARK_MAIN();
