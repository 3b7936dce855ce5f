#include "velmora/outside/mirel2_engine.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "velmora/engines.h"
#include "velmora/errors.hpp"
#include "velmora/log.hpp"
#include "velmora/module.h"
#include "velmora/outside/bundled_host.h"
#include "velmora/outside/host_link.h"
#include "velmora/session.hpp"

namespace velmora::detail {

// The host of one engine, and what it takes to start another.
struct HostSlot {
  std::string host;
  std::string source;
  Mirel2Options options;
  std::shared_ptr<HostLink> link;

  // The host for a new stream: one that has ended (it crashed, or was ended at a time limit or when it did not
  // answer an interrupt) is replaced by a new one, Cancelled when `stop` is asked while it starts. Refused in
  // a process that did not start the host.
  std::shared_ptr<HostLink> for_stream(const std::stop_token& stop) {
    if (!link->ours()) link->start_stream();  // refuses
    if (!link->usable()) {
      if (stop.stop_requested()) throw Cancelled();
      velmora_log().debug("velmora: starting a new render host in place of the one that ended");
      link = std::make_shared<HostLink>(host, source, options, stop);
    }
    return link;
  }
};

namespace {

Generator<Frame> host_frames(std::shared_ptr<HostSlot> slot, Generator<Pcm> chunks, std::stop_token stop) {
  const std::shared_ptr<HostLink> link = slot->for_stream(stop);
  // A stop asked from another thread wakes a wait for the host; the stream then ends with Cancelled.
  std::stop_callback wake_on_stop(stop, [raw = link.get()] { raw->wake(); });
  link->start_stream();
  while (std::optional<Pcm> chunk = chunks.next()) {
    link->queue_chunk(std::move(*chunk));
    // Every frame the host owes for the audio so far comes out before the next chunk is pulled: a live source
    // is never read ahead, and no finished frame waits in the pipe for the source's next item.
    while (link->writing() || link->frames_owed()) {
      if (stop.stop_requested()) throw Cancelled();
      link->pump();
      while (std::optional<Frame> f = link->take_frame()) co_yield std::move(*f);
    }
  }
  link->queue_flush();
  while (link->writing() || link->answer_owed()) {
    if (stop.stop_requested()) throw Cancelled();
    link->pump();
    while (std::optional<Frame> f = link->take_frame()) co_yield std::move(*f);
  }
  while (std::optional<Frame> f = link->take_frame()) co_yield std::move(*f);
  link->stream_done();
}

}  // namespace

Mirel2Options mirel2_options_from_env() {
  static const Mirel2Options from_env = [] {
    Mirel2Options o;
    o.start_timeout_s = env_seconds(START_TIMEOUT_ENV, o.start_timeout_s);
    o.stall_timeout_s = env_seconds(STALL_TIMEOUT_ENV, o.stall_timeout_s);
    return o;
  }();
  return from_env;
}

Mirel2Engine::Mirel2Engine(const std::string& source, Mirel2Options options, std::stop_token stop) {
  const std::optional<std::string> host = options.host ? options.host : bundled_host();
  if (!host) {
    throw session::EngineUnavailable(CANNOT_RUN,
                                     "no tarnhost program beside the library, in its installation's bin folder or on PATH");
  }
  if (stop.stop_requested()) throw Cancelled();
  slot_ = std::make_shared<HostSlot>(HostSlot{*host, source, options, nullptr});
  slot_->link = std::make_shared<HostLink>(*host, source, options, stop);
}

Mirel2Engine::~Mirel2Engine() = default;

Generator<Frame> Mirel2Engine::frames(Generator<Pcm> chunks) { return host_frames(slot_, std::move(chunks), {}); }

Generator<Frame> Mirel2Engine::frames(Generator<Pcm> chunks, std::stop_token stop) {
  return host_frames(slot_, std::move(chunks), std::move(stop));
}

void Mirel2Engine::interrupt() { slot_->link->recover(); }

void Mirel2Engine::close() { slot_->link->finish(); }

std::optional<double> Mirel2Engine::frames_per_second() const { return slot_->link->fps(); }

std::optional<std::string> Mirel2Engine::stop_reason() const { return slot_->link->stop_reason(); }

}  // namespace velmora::detail
