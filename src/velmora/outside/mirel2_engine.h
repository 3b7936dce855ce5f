#pragma once
// The mirel-2 engine adapter: renders a mirel-2 avatar through the render host program, started as a child
// process on the avatar and spoken to through its stream protocol (hello line, sample steps, flush and reset
// requests in; frame records and end-of-flush markers out), all pipes served together by one poll loop.
#include <cstddef>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "common/child_process.h"
#include "velmora/engine.hpp"
#include "velmora/generator.hpp"

namespace velmora::detail {

// Environment variables of the time limits, in seconds (0 or less: no limit), read once per process.
inline constexpr const char* START_TIMEOUT_ENV = "VELMORA_MIREL2_START_TIMEOUT";
inline constexpr const char* STALL_TIMEOUT_ENV = "VELMORA_MIREL2_STALL_TIMEOUT";

struct Mirel2Options {
  std::optional<std::string> host;   // the render host program; unset: bundled_host()
  std::size_t step_samples = 16000;  // samples per sample step (at most the protocol's limit)
  // From the start to the hello line: the host loads and warms up its models meanwhile. 0 or less: no limit.
  double start_timeout_s = 120.0;
  // The longest wait for the host, while it owes frames or input waits for it, before it counts as hung (a
  // chunk takes well under a second). 0 or less: no limit.
  double stall_timeout_s = 60.0;
  // The waits below: 0 or less (or NaN) is none, and a wait beyond a billion seconds waits that long.
  // How long close() lets the host end by itself once its input is closed.
  double close_wait_s = 0.5;
  // How long an interrupt lets the host come back to a clean stream before it ends the host (the next stream
  // then starts a new one).
  double interrupt_wait_s = 0.4;
  // Wherever the host is ended (close(), an interrupt it does not answer in time, a time limit, the
  // destructor): SIGCONT and SIGTERM go to its process group (the host and whatever it started), which has this
  // long for its clean-up (a host deletes its staged model copies) before SIGKILL.
  double term_wait_s = EndWaits{}.term_s;
};

// The defaults with the time limits that START_TIMEOUT_ENV and STALL_TIMEOUT_ENV set, read at the first call in
// the process (text that is not a finite number keeps the default, with a warning logged then).
Mirel2Options mirel2_options_from_env();

struct HostSlot;

class Mirel2Engine : public Engine {
 public:
  // Starts the host on `source` and reads its hello line. Throws EngineUnavailable (with the cannot-run
  // message) when there is no host program; std::system_error when it cannot be started; InvalidAvatar "that
  // is not a usable avatar" (detail: its FATAL line) when it refuses the avatar (status 3 before its hello);
  // EngineFailed (detail: its status or the limit, and its last lines of standard error) when it ends otherwise
  // before its hello line, sends none within the start limit (it is ended), or its hello does not describe a
  // frame stream at 16 kHz. Cancelled when `stop` is asked before the hello line: the host is then ended as
  // close() ends it (SIGTERM to its group, term_wait_s for its clean-up, SIGKILL).
  explicit Mirel2Engine(const std::string& source, Mirel2Options options = {}, std::stop_token stop = {});
  // Ends a host still running, as close() does once its wait is over.
  ~Mirel2Engine() override;

  // One stream: a reset, each chunk as float32 sample steps (s16 / 32768), and after each chunk every frame
  // record the host owes for the audio so far is read before the next chunk is pulled (a live source is never
  // read ahead, and no finished frame waits for it); then a flush, read to its end marker. Frames are 8-bit
  // RGB, height x width x 3, with the host's index; those the flush renders beyond the audio's last frame are
  // dropped, and audio of no samples gives no frame. An odd byte at the end of a chunk is the start of the
  // next chunk's first sample. EngineFailed when the host ends during the stream or gives nothing for the
  // stall limit (it is ended); Cancelled once `stop` is asked to stop, also while waiting for the host. A
  // stream after the host's end (a crash, a time limit, an interrupt it did not answer, or an end between
  // streams, which is logged) starts a new host first, failing as the constructor does and watching `stop`
  // as it starts. In a process that did not start the host (a copy made by fork()), EngineFailed "this avatar
  // renders only in the process that opened it", and nothing is sent to the host.
  Generator<Frame> frames(Generator<Pcm> chunks) override;
  Generator<Frame> frames(Generator<Pcm> chunks, std::stop_token stop) override;
  // Leaves the host with a clean stream: the step being written is completed with silence, then a reset, a
  // flush read to its end marker (every frame owed dropped), and a reset, all within interrupt_wait_s. A host
  // that does not answer in time is ended (SIGTERM to its group, term_wait_s, SIGKILL), and the next stream
  // starts a new one, so an interrupt takes at most interrupt_wait_s + term_wait_s whatever the host does.
  // Never throws; does nothing in a process that did not start the host.
  void interrupt() override;
  // Ends the host: its input is closed and it is given close_wait_s to exit, then SIGTERM to its group and
  // term_wait_s, then SIGKILL and a second for its group to go (a host that no signal can reach, or that is
  // still there then, is left running, with a warning); what happened is logged. Never throws. In a process
  // that did not start the host, it only closes this process's descriptors to it.
  void close() override;

  // The hello line's frame rate.
  std::optional<double> frames_per_second() const override;
  // "unfinished", "end-of-flush marker", "no audio", "render host stalled", or "render host exited with
  // status N".
  std::optional<std::string> stop_reason() const override;

 private:
  std::shared_ptr<HostSlot> slot_;
};

}  // namespace velmora::detail
