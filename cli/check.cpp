// zk27 check: the card's volume examined as it is, and mended on request.
#include <cstdio>

#include "cli.h"
#include "platform.h"
#include "hooks.h"
#include "text.h"

namespace {

// A line that may hold card names, for the terminal.
std::string Printable(const std::string& line) { return Escaped(PcNameFromCard(line)); }

void PrintLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) std::printf("%s\n", Printable(line).c_str());
}

std::string ProblemCount(std::size_t n) { return std::to_string(n) + (n == 1 ? " problem" : " problems"); }

// The card read as it is: the volume mounted and allocation copy 2 read, but
// no card list, which would already mend what it meets. kExitOk or the
// status to end with, said on stderr.
int ReadCardAsItIs(std::uint32_t* cardSectors) {
  // A card with a blank boot sector is reported, never formatted here; one
  // whose size field alone is lost is read at the card's size.
  if (const int s = ReadVolume(MountMode::kSizedByCard); s != kExitOk) return s;
  if (!g_card.ReadForCheck(cardSectors)) return SayState();
  return kExitOk;
}

int Repair(std::uint32_t cardSectors) {
  if (AskYesNo("zk27 check", "repair the card?") != Answer::Yes) {
    std::printf("The card was not repaired.\n");
    return kExitRefused;
  }
  PrintLines(g_card.Repair(cardSectors));
  if (g_card.State() != kDeviceReady) {
    SayNotice(Notice::kRepairFailed);
    return SayState();
  }
  if (const int s = ReadCardAsItIs(&cardSectors); s != kExitOk) return s;
  const VolumeCheck after = g_card.Examine(cardSectors);
  if (after.problems.empty()) {
    std::printf("The card is now clean.\n");
    return kExitOk;
  }
  PrintLines(after.problems);
  std::printf("%s left after the repair.\n", ProblemCount(after.problems.size()).c_str());
  return kExitRefused;
}

}  // namespace

int CmdCheck(const Args& a) {
  const bool repair = Has(a, "--repair");
  g_session.assumeYes = Has(a, "--yes");

  // A repair writes; a check only needs the card to hold still.
  CardSession::Hold lock(repair ? CardLock::kExclusive : CardLock::kShared);
  if (lock.Result() != kLockOk) {
    Error(CardLockRefusal(lock.Result()));
    return kExitDevice;
  }
  if (const int s = CheckDeviceStatus(); s != kExitOk) return s;
  std::uint32_t cardSectors = 0;
  if (const int s = ReadCardAsItIs(&cardSectors); s != kExitOk) return s;

  const VolumeCheck check = g_card.Examine(cardSectors);
  PrintLines(check.problems);
  if (check.problems.empty()) {
    const std::size_t n = check.files.size();
    std::printf("The card is clean: %zu %s.\n", n, n == 1 ? "file" : "files");
    return kExitOk;
  }
  if (!repair) {
    std::printf("%s found; %s mends them.\n", ProblemCount(check.problems.size()).c_str(),
                Hint("check --repair").c_str());
    return kExitRefused;
  }
  std::printf("%s found.\n", ProblemCount(check.problems.size()).c_str());
  std::fflush(stdout);
  // Only a card with something to mend has a question to answer.
  if (!g_session.assumeYes && !platform::IsTerminal(0))
    return UsageError("check --repair asks for confirmation; not on a terminal, give -y");
  return Repair(cardSectors);
}
