#include "velmora/support/fake_engine.h"

#include <algorithm>
#include <cstring>

namespace velmora::testing {
namespace {

Frame make_frame(EngineLog& log) {
  const auto index = static_cast<std::int64_t>(log.made.size());
  auto pixels = std::make_shared<std::vector<std::byte>>(sizeof index);
  std::memcpy(pixels->data(), &index, sizeof index);
  Frame f;
  f.data = std::shared_ptr<const std::byte>(pixels, pixels->data());
  f.bytes = pixels->size();
  f.shape = {1, sizeof index, 1};
  f.index = index;
  log.made.push_back(f);
  log.events.push_back("frame");
  return f;
}

void pulled(EngineLog& log, const Pcm& chunk) {
  log.chunks.push_back(chunk);
  log.events.push_back("pull");
}

void fail_if_due(const EngineScript& script, std::int64_t made) {
  if (script.on_frame && made == script.fail_after) std::rethrow_exception(script.on_frame);
}

Generator<Frame> fake_frames(EngineScript script, std::shared_ptr<EngineLog> log, Generator<Pcm> chunks) {
  std::int64_t made = 0;
  try {
    if (script.frame_count) {
      while (auto chunk = chunks.next()) pulled(*log, *chunk);
      for (; made < *script.frame_count;) {
        fail_if_due(script, made);
        Frame f = make_frame(*log);
        ++made;
        co_yield std::move(f);
      }
    } else {
      while (auto chunk = chunks.next()) {
        pulled(*log, *chunk);
        const std::size_t due = chunk->size() / script.bytes_per_frame;
        for (std::size_t i = 0; i < due; ++i) {
          fail_if_due(script, made);
          Frame f = make_frame(*log);
          ++made;
          co_yield std::move(f);
        }
      }
    }
    fail_if_due(script, made);
  } catch (const GeneratorExit&) {
    log->events.push_back("exit");
    throw;
  }
  log->events.push_back("end");
}

}  // namespace

int EngineLog::count(const std::string& event) const {
  return static_cast<int>(std::count(events.begin(), events.end(), event));
}

std::vector<std::string> EngineLog::after(const std::string& event) const {
  auto it = std::find(events.begin(), events.end(), event);
  if (it == events.end()) return events;
  return std::vector<std::string>(it + 1, events.end());
}

Generator<Frame> FakeEngine::frames(Generator<Pcm> chunks) {
  log_->events.push_back("frames");
  if (script_.on_call) std::rethrow_exception(script_.on_call);
  return fake_frames(script_, log_, std::move(chunks));
}

void FakeEngine::interrupt() {
  log_->events.push_back("interrupt");
  if (script_.on_interrupt) std::rethrow_exception(script_.on_interrupt);
}

void FakeEngine::close() {
  log_->events.push_back("close");
  if (script_.on_close) std::rethrow_exception(script_.on_close);
}

std::function<double()> ScriptedClock::fn() const {
  return [s = state_] {
    const std::size_t i = std::min<std::size_t>(static_cast<std::size_t>(s->reads), s->readings.size() - 1);
    ++s->reads;
    return s->readings[i];
  };
}

}  // namespace velmora::testing
