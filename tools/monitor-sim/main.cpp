// monitor-sim: stands in for the target device.  Creates a pseudo-terminal,
// announces the slave path on stdout and plays the device's memory monitor
// on the master side until it is signalled, stdin ends (on request) or the
// configured hang-up point is reached.  With --vanish-after the device
// drops off the line once and comes back on a new pseudo-terminal.  With
// --relay it plays no monitor and passes a real device's bytes instead
// (sim_relay.cpp).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "sim_dialogue.h"
#include "sim_faults.h"
#include "sim_line_rate.h"
#include "sim_memory.h"
#include "sim_options.h"
#include "sim_output.h"
#include "sim_pty.h"
#include "sim_relay.h"
#include "sim_uboot.h"

namespace {

volatile sig_atomic_t gbStopRequested = 0;

// Before a hang-up or a vanish: how long the slave's input queue must have
// been seen empty (closing the master flushes the pty's own buffers), and
// how long to wait at most for a client that does not read.
const int64_t kDrainQuietNs = 30000000;
const int64_t kDrainTimeoutNs = 3000000000ll;
// While a hang-up or vanish waits for the client to read, look again this
// often.
const int64_t kDrainPollNs = 10000000;

struct SimState {
  const SimOptions *pOptions = nullptr;
  SimPty oPty;
  FILE *pTranscript = nullptr;
  Dialogue *pDialogue = nullptr;
  OutputQueue *pOutput = nullptr;
  LinkFaults *pFaults = nullptr;
  LineRate *pLineRate = nullptr;  // U-Boot's: nullptr with the other dialect
  int64_t iReadPausedUntilNs = 0;
  int64_t iDrainDeadlineNs = 0;
  int64_t iDrainQuietSinceNs = 0;
  int64_t iBackAtNs = 0;  // while the device is away: when it comes back; 0: present
};

void OnStopSignal(int) { gbStopRequested = 1; }

// The stop signals stay blocked except while waiting in ppoll, so a signal
// can never slip in between checking the flag and sleeping.
void BlockStopSignals(sigset_t *pWaitMask) {
  sigset_t oBlocked;
  sigemptyset(&oBlocked);
  sigaddset(&oBlocked, SIGTERM);
  sigaddset(&oBlocked, SIGINT);
  sigprocmask(SIG_BLOCK, &oBlocked, pWaitMask);
  sigdelset(pWaitMask, SIGTERM);
  sigdelset(pWaitMask, SIGINT);
  struct sigaction oAction {};
  oAction.sa_handler = OnStopSignal;
  sigemptyset(&oAction.sa_mask);
  sigaction(SIGTERM, &oAction, nullptr);
  sigaction(SIGINT, &oAction, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

bool OpenTranscript(const SimOptions &oOptions, FILE **ppTranscript) {
  if (oOptions.sTranscriptPath.empty()) return true;
  *ppTranscript = std::fopen(oOptions.sTranscriptPath.c_str(), "a");
  if (*ppTranscript) return true;
  std::fprintf(stderr, "monitor-sim: cannot open transcript %s: %s\n",
               oOptions.sTranscriptPath.c_str(), std::strerror(errno));
  return false;
}

// Opens a pty, names it with the link and tells whoever started us where it
// is: at start-up and again when a vanished device comes back.
bool BringUpDevice(SimState *pState) {
  return AnnouncePty(&pState->oPty, pState->pOptions->sLinkPath);
}

// Reads everything available from the master: what the client typed, in
// the transcript (which keeps bytes that an overrun then loses) and, what
// the overrun leaves of it, to the monitor. Returns false on a fatal error.
bool ReadMaster(SimState *pState) {
  uint8_t aBuffer[4096];
  int64_t iArrivalNs = 0;
  for (;;) {
    // The client's rate as the bytes were sent: looked at before they are
    // read, so that a client that changes its rate after its bytes are
    // taken (the transcript shows when) never has them judged by the new.
    bool bGarbled = pState->pLineRate && !LineMatches(*pState->pLineRate, pState->oPty.iMaster);
    ssize_t iRead = ReadTyped(pState->oPty.iMaster, aBuffer, sizeof aBuffer, pState->pTranscript,
                              &iArrivalNs, &pState->iReadPausedUntilNs);
    if (iRead <= 0) return iRead == 0;
    for (ssize_t i = 0; i < iRead; ++i) {
      if (LoseArrivingByte(pState->pFaults, iArrivalNs, aBuffer[i])) continue;
      if (UbootTakesByte(pState->pDialogue, bGarbled, &aBuffer[i])) continue;
      HandleReceivedByte(pState->pDialogue, aBuffer[i]);
    }
  }
}

// Decides whether a due hang-up or vanish can happen now: the answers are
// written and the client has read them (or has had its chance to).
bool DrainDone(SimState *pState, int64_t iNowNs, const char *szWhat) {
  const OutputQueue &oOutput = *pState->pOutput;
  if (pState->iDrainDeadlineNs == 0)
    pState->iDrainDeadlineNs =
        iNowNs + kDrainTimeoutNs + static_cast<int64_t>(PendingOutput(oOutput)) * oOutput.iCharNs;
  if (iNowNs >= pState->iDrainDeadlineNs) {
    std::fprintf(stderr, "monitor-sim: %s with output unread by the client\n", szWhat);
    return true;
  }
  if (PendingOutput(oOutput) > 0) return false;
  int iUnread = 0;
  if (ioctl(pState->oPty.iSlave, TIOCINQ, &iUnread) != 0) return true;
  if (iUnread > 0) {
    pState->iDrainQuietSinceNs = 0;
    return false;
  }
  if (pState->iDrainQuietSinceNs == 0) pState->iDrainQuietSinceNs = iNowNs;
  return iNowNs - pState->iDrainQuietSinceNs >= kDrainQuietNs;
}

// The adapter was pulled: the client's port hangs up and its name is gone
// until the device comes back.
void Vanish(SimState *pState, int64_t iNowNs) {
  const SimOptions &oOptions = *pState->pOptions;
  ReportFault(oOptions, "vanish after command %lld for %lld ms",
              static_cast<long long>(pState->pDialogue->iLinesAnswered),
              static_cast<long long>(oOptions.iVanishForMs));
  ClosePty(&pState->oPty);
  RemoveLink(oOptions.sLinkPath, pState->oPty.sSlavePath);
  DiscardOutput(pState->pOutput);
  pState->iDrainDeadlineNs = 0;
  pState->iDrainQuietSinceNs = 0;
  // Never 0, which means "present".
  pState->iBackAtNs = iNowNs + oOptions.iVanishForMs * 1000000 + 1;
}

bool ComeBack(SimState *pState) {
  if (!BringUpDevice(pState)) return false;
  ForgetAfterVanish(pState->pDialogue);
  ForgetArrivals(pState->pFaults);
  pState->iBackAtNs = 0;
  pState->iReadPausedUntilNs = 0;
  return true;
}

// How long ppoll may sleep (-1: until something happens) and what to wait
// for on the master.
int64_t PlanWait(const SimState &oState, int64_t iNowNs, short *pMasterEvents) {
  *pMasterEvents = 0;
  if (oState.iBackAtNs != 0) return oState.iBackAtNs - iNowNs;
  int64_t iWait = OutputWaitNs(*oState.pOutput, iNowNs);
  if (iWait == 0) *pMasterEvents |= POLLOUT;
  if (iNowNs >= oState.iReadPausedUntilNs)
    *pMasterEvents |= POLLIN;
  else if (iWait < 0 || iWait > oState.iReadPausedUntilNs - iNowNs)
    iWait = oState.iReadPausedUntilNs - iNowNs;
  const Dialogue &oDialogue = *oState.pDialogue;
  if ((oDialogue.bHangupDue || oDialogue.bVanishDue) && (iWait < 0 || iWait > kDrainPollNs))
    iWait = kDrainPollNs;
  return iWait;
}

// Carries out what is due before the next wait.  Returns -1 to go on, or
// the exit status.
int DoDueEnds(SimState *pState, int64_t iNowNs) {
  const Dialogue &oDialogue = *pState->pDialogue;
  if (oDialogue.bHangupDue && DrainDone(pState, iNowNs, "hanging up")) return 0;
  if (oDialogue.bVanishDue && pState->iBackAtNs == 0 && DrainDone(pState, iNowNs, "vanishing"))
    Vanish(pState, iNowNs);
  if (pState->iBackAtNs != 0 && iNowNs >= pState->iBackAtNs && !ComeBack(pState)) return 1;
  return -1;
}

// Writes what is due, garbled while the client's port runs at another
// rate than the board's, and switches the board's rate once its
// announcement is out.  False on a write error.
bool WriteAtLineRate(SimState *pState) {
  LineRate *pRate = pState->pLineRate;
  if (pRate) {
    ApplyDueSwitch(pRate, pState->pOutput);
    pState->pOutput->pGarble = LineMatches(*pRate, pState->oPty.iMaster) ? nullptr : GarbleByte;
  }
  if (!WriteDueOutput(pState->pOutput, pState->oPty.iMaster, NowNs())) return false;
  if (pRate) ApplyDueSwitch(pRate, pState->pOutput);
  return true;
}

// The poll loop.  Returns the exit status.
int RunMonitor(SimState *pState, const sigset_t &oWaitMask) {
  while (!gbStopRequested) {
    int64_t iNow = NowNs();
    int iStatus = DoDueEnds(pState, iNow);
    if (iStatus >= 0) return iStatus;
    pollfd aFds[2] = {};
    int64_t iWait = PlanWait(*pState, iNow, &aFds[0].events);
    // A hung-up or absent master would report POLLHUP all the time.
    aFds[0].fd = aFds[0].events != 0 ? pState->oPty.iMaster : -1;
    PollOutcome eOutcome =
        WaitForEvents(aFds, 1, pState->pOptions->bExitOnStdinEof, iWait, &oWaitMask);
    if (eOutcome == kPollAgain) continue;
    if (eOutcome != kPollReady) return eOutcome == kPollStdinEnded ? 0 : 1;
    if ((aFds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !ReadMaster(pState)) return 1;
    if (pState->oPty.iMaster >= 0 && !WriteAtLineRate(pState)) return 1;
  }
  return 0;
}

// Serves the memory on a pty until the end, or relays the real device's
// bytes when there is one; the console may write to it.  Returns the exit
// status.
int ServeMemory(const SimOptions &oOptions, SimMemory *pMemory) {
  SimState oState;
  oState.pOptions = &oOptions;
  // The device is opened before our pty is announced: a client never gets
  // a line with nobody at its other end.
  int iRelayed = -1;
  if (!oOptions.sRelayCommand.empty()) {
    if ((iRelayed = SpawnRelayedCommand(oOptions.sRelayCommand)) < 0) return 1;
  } else if (!oOptions.sRelayPath.empty() &&
             (iRelayed = OpenRelayedDevice(oOptions.sRelayPath)) < 0) {
    return 1;
  }
  if (!OpenTranscript(oOptions, &oState.pTranscript)) {
    if (iRelayed >= 0) close(iRelayed);
    return 1;
  }
  sigset_t oWaitMask;
  BlockStopSignals(&oWaitMask);
  int iStatus = 1;
  if (iRelayed >= 0) {
    if (BringUpDevice(&oState))
      iStatus = RunRelay(oOptions, &oState.oPty, iRelayed, oState.pTranscript, oWaitMask,
                         &gbStopRequested);
    close(iRelayed);
  } else if (BringUpDevice(&oState)) {
    OutputQueue oOutput;
    SetUpOutput(&oOutput, oOptions.iBaud, oOptions.iBelEvery, oOptions.iLatencyMs);
    LinkFaults oFaults;
    SetUpFaults(&oFaults, oOptions);
    Dialogue oDialogue;
    SetUpDialogue(&oDialogue, oOptions, pMemory, &oOutput, &oFaults);
    LineRate oLineRate;
    std::vector<int64_t> aiTable;
    if (oOptions.eDialect == kDialectUboot) {
      ParseBaudTable(oOptions.sBaudTable.empty() ? kDefaultBaudTable : oOptions.sBaudTable,
                     &aiTable);
      SetUpLineRate(&oLineRate, oOptions.iBaud, aiTable, oOptions.iLineLimit);
      oDialogue.pLineRate = &oLineRate;
      oState.pLineRate = &oLineRate;
    }
    oState.pOutput = &oOutput;
    oState.pFaults = &oFaults;
    oState.pDialogue = &oDialogue;
    iStatus = RunMonitor(&oState, oWaitMask);
  }
  RemoveLink(oOptions.sLinkPath, oState.oPty.sSlavePath);
  ClosePty(&oState.oPty);
  if (oState.pTranscript) std::fclose(oState.pTranscript);
  return iStatus;
}

}  // namespace

int main(int iArgc, char **apszArgv) {
  SimOptions oOptions;
  switch (ParseOptions(iArgc, apszArgv, &oOptions)) {
    case kParseExitOk: return 0;
    case kParseUsageError: return 2;
    case kParseRun: break;
  }
  std::vector<int64_t> aiTable;
  if (!oOptions.sBaudTable.empty() && !ParseBaudTable(oOptions.sBaudTable, &aiTable)) {
    std::fprintf(stderr,
                 "monitor-sim: --baud-table: \"%s\" is not a list of rates such as "
                 "9600,115200 (see --help)\n",
                 oOptions.sBaudTable.c_str());
    return 2;
  }
  if (oOptions.bWritePattern)
    return WritePatternFile(oOptions.sPatternPath, oOptions.iPatternStart, oOptions.iPatternEnd,
                            oOptions.bFirmware, static_cast<uint32_t>(oOptions.iSeed));
  SimMemory oMemory;
  if (!oOptions.sImagePath.empty() && !LoadImage(&oMemory, oOptions.sImagePath, oOptions.iBase))
    return 1;
  return ServeMemory(oOptions, &oMemory);
}
