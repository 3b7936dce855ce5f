#include "velmora/session_engine.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <utility>

#include "common/file_read.h"
#include "common/json.h"
#include "common/pytext.h"
#include "velmora/errors.hpp"
#include "velmora/materialise.h"
#include "velmora/module.h"
#include "velmora/outside.h"

namespace velmora::detail {
namespace {

constexpr const char* UNFINISHED = "unfinished";
constexpr const char* NO_SPEECH = "no-speech-in-utterance";
constexpr const char* IDLE_FRAME = "idle-frame (avatar returned to rest)";
constexpr double EMPTY_PULL_PAUSE_S = 0.005;

json::Value read_manifest_json(const std::string& folder) {
  const std::string text = read_file(path_join(folder, "manifest.json"));
  try {
    return json::parse(text);
  } catch (const json::Error& e) {
    throw ValueError(e.what());
  }
}

}  // namespace

double SessionOptions::quiet_default() { return quiet_seconds(); }

void SessionOptions::sleep_for(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

std::string quiet_stop_text(double quiet) {
  char digits[400];  // %.0f of the largest double has 309 digits
  std::snprintf(digits, sizeof digits, "%.0f", quiet);
  return std::string("quiet-deadline (") + digits + "s with no frame)";
}

SessionEngine::SessionEngine(const std::string& source, SessionOptions options, std::stop_token stop)
    : options_(std::move(options)) {
  const auto services = outside();
  const auto& make_session = need(services->session_runtime, SESSION);
  const std::string folder = materialise(source, std::move(stop));
  const json::Value manifest = read_manifest_json(folder);
  s_ = make_session(folder, manifest);
  if (!s_) throw std::logic_error("the session runtime gave no session");
}

SessionEngine::SessionEngine(std::unique_ptr<session::Session> session, SessionOptions options)
    : s_(std::move(session)), options_(std::move(options)) {
  if (!s_) throw std::invalid_argument("a session engine needs a session");
}

Generator<Frame> SessionEngine::frames(Generator<Pcm> chunks) { return run(s_, run_, std::move(chunks), options_, {}); }

Generator<Frame> SessionEngine::frames(Generator<Pcm> chunks, std::stop_token stop) {
  return run(s_, run_, std::move(chunks), options_, std::move(stop));
}

Generator<Frame> SessionEngine::run(std::shared_ptr<session::Session> s, std::shared_ptr<RunState> state,
                                    Generator<Pcm> chunks, SessionOptions options, std::stop_token stop) {
  s->reset();
  state->stop_reason = UNFINISHED;
  bool speaking = false;
  while (std::optional<Pcm> chunk = chunks.next()) {
    s->push(*chunk);
    while (true) {
      std::optional<session::Pulled> got = s->pull();
      if (!got) {
        s->check_render();
        break;
      }
      if (!speaking && got->kind != session::LE_UTT_SPEECH) continue;  // nothing before the first speech frame
      speaking = true;
      Frame frame = std::move(got->frame);
      co_yield std::move(frame);
    }
  }
  s->end();
  double deadline = options.now() + options.quiet;
  while (true) {
    if (stop.stop_requested()) throw Cancelled();
    std::optional<session::Pulled> got = s->pull();
    if (!got) {
      if (options.now() > deadline) {
        s->check_render();
        state->stop_reason = quiet_stop_text(options.quiet);
        co_return;
      }
      options.sleep(EMPTY_PULL_PAUSE_S);
      continue;
    }
    if (!speaking) {
      if (got->kind != session::LE_UTT_SPEECH) {
        // Frames before any speech do not move the deadline.
        if (options.now() > deadline) {
          s->check_render();
          state->stop_reason = NO_SPEECH;
          co_return;
        }
        continue;
      }
      speaking = true;
    } else if (got->kind == session::LE_UTT_IDLE) {
      state->stop_reason = IDLE_FRAME;  // the rest frame itself is not handed out
      co_return;
    }
    // Set before the yield: the time the consumer keeps a frame counts against the next wait.
    deadline = options.now() + options.quiet;
    Frame frame = std::move(got->frame);
    co_yield std::move(frame);
  }
}

void SessionEngine::interrupt() {
  try {
    s_->reset();
  } catch (const std::exception&) {
  }
}

void SessionEngine::close() { s_->close(); }

}  // namespace velmora::detail
