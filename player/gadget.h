// The virtual player as a USB device: the player's side of a FunctionFS
// function (a mounted functionfs instance, DIR), driven by the same emulator
// core as the socket daemon.
//
// DIR/ep0 gets the player's descriptors (one vendor-class interface with a
// bulk IN and a bulk OUT endpoint, 64-byte packets at full speed, 512 at high
// speed) and its strings; ep0's events tell when the host configured the
// device. Then DIR/ep1 (bulk IN) and DIR/ep2 (bulk OUT) carry the
// conversations: a command block, the status reply, the data phase, the
// completion block, one USB transfer each, as on a real player.
//
// The endpoints are driven with the kernel's asynchronous I/O, completions
// signalled on an eventfd, so that the daemon's one poll loop serves the bus
// beside its control socket and nothing ever blocks it. Nothing here prints.
#pragma once

#include <linux/aio_abi.h>

#include <chrono>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include <poll.h>

#include "player_core.h"

namespace player {

// The block written first to ep0 (FUNCTIONFS_DESCRIPTORS_MAGIC_V2, full and
// high speed) and the strings block written after it.
std::vector<std::uint8_t> GadgetDescriptors();
std::vector<std::uint8_t> GadgetStrings();

struct GadgetOptions {
  std::string dir;      // the mounted functionfs instance
  std::string udcFile;  // the gadget's UDC file in configfs; empty when not given
};

class Gadget {
 public:
  Gadget(PlayerCore& core, GadgetOptions options);
  ~Gadget();
  Gadget(const Gadget&) = delete;
  Gadget& operator=(const Gadget&) = delete;

  // Opens ep0, hands it the descriptors and strings, opens the two
  // endpoints. False with `*error` set when the function refuses them.
  bool Open(std::string* error);
  void Close();

  // The descriptors the poll loop watches for this bus, and what to do when
  // one of them is ready.
  void AddPollFds(std::vector<pollfd>* fds) const;
  bool Owns(int fd) const { return fd >= 0 && (fd == ep0_ || fd == events_); }
  void OnReady(int fd);
  // Milliseconds until a conversation left half-way must be dropped; -1 when
  // none is in progress. OnTick drops it once the time is up.
  int TimeoutMs() const;
  void OnTick();

  // The cable: with a UDC file the gadget is unbound from its controller and
  // bound again; without one the function's files are closed (the kernel then
  // takes the gadget off its controller) and opened again on Plug.
  bool Unplug(std::string* text);
  bool Plug(std::string* text);
  // The next command with a data phase halts the endpoint of that phase.
  void StallNextDataPhase() { stallArmed_ = true; }
  // The process was stopped (SIGSTOP, Ctrl-Z) and goes on: everything in
  // flight then, commands that arrived meanwhile among them, belongs to a
  // host that gave up on it, and is dropped unanswered. NoteContinued is
  // what the SIGCONT handler calls (it only sets a flag); CheckContinued acts
  // on it, and is called again before any command is answered, so that a
  // stale one is never answered however the loop was stopped.
  static void NoteContinued();
  void CheckContinued();
  // Lines for the daemon's status.
  std::string Status() const;

 private:
  struct Transfer {
    iocb cb{};
    std::vector<std::uint8_t> buf;
    bool in = false;
    bool dropped = false;    // cancelled: its completion is ignored
    bool haltAfter = false;  // once the host took it, halt the IN endpoint
  };

  void ReadEvents();
  void ReapTransfers();
  void Completed(Transfer* t, long long result);
  void OnHostMessage(const std::uint8_t* data, std::size_t size);
  void Send(std::vector<std::uint8_t> bytes, bool haltAfter = false);
  bool Submit(Transfer* t);
  void ArmRead();
  void DropReplies();
  void DropAll();
  void Resync();
  // 0 when the endpoint is halted, else the errno of the refusal.
  int Halt(int fd);

  PlayerCore& core_;
  GadgetOptions options_;
  int ep0_ = -1;
  int in_ = -1;   // ep1, bulk IN
  int out_ = -1;  // ep2, bulk OUT
  int events_ = -1;
  aio_context_t aio_ = 0;
  std::list<Transfer> transfers_;
  Transfer* read_ = nullptr;  // the OUT read that awaits the host
  int failedReads_ = 0;
  bool bound_ = false;
  bool enabled_ = false;
  bool stallArmed_ = false;
  bool haltInPending_ = false;  // the IN pipe halts once the host took the status
  std::chrono::steady_clock::time_point haltInSince_;
  unsigned haltsIn_ = 0, haltsOut_ = 0;  // the endpoints halted so far
  bool active_ = false;  // a conversation is in progress
  std::chrono::steady_clock::time_point activeSince_;
  std::string udcName_;  // the controller the gadget was bound to before an unplug
};

}  // namespace player
