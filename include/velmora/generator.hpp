#pragma once
// velmora::Generator<T>: a lazy pull generator written as a C++20 coroutine (a function whose body uses
// co_yield). The Avatar API hands frames out through one (FrameStream) and takes live audio through one
// (AudioInput::stream), and engines are written with them.
//
// How it behaves:
// - nothing of the body runs until the first next();
// - next() gives the next yielded value, nothing once the body has ended (and on every later call), and
//   rethrows what the body threw;
// - close() of a generator that never started just ends it; of a suspended one it resumes the body with
//   GeneratorExit thrown at its co_yield, so the body's destructors and clean-up run. GeneratorExit (or a
//   normal end) out of the body makes close() return; any other exception leaves close(); a body that yields
//   again gets std::logic_error out of close();
// - the destructor closes and swallows whatever close() throws, then frees the body's state;
// - once the body has ended, its state (parameters and locals) is released at once, so a generator passed in
//   is closed as soon as its consumer ends.
//
// Writing a live audio source. A render pulls the next item only when its engine wants more audio, so a
// source that waits for its input (a microphone, a network stream) is never read ahead. The frames do not come
// one per item, nor evenly: each engine makes them as its audio completes them (Avatar::render says when), a
// mirel-2 avatar in bursts, 22 frames once 1.6 s of audio are in and then 32 for every further 1.6 s. While a
// burst is made the source is not read, so the device keeps capturing into its own buffer; and to show the
// frames at their rate (20 a second for mirel-2), queue them and play the queue from the first burst on:
//
//   velmora::Generator<velmora::AudioItem> microphone(std::shared_ptr<Mic> mic) {
//     // Blocks until the next 20 ms (320 samples) have been captured; nothing once the microphone is closed.
//     while (std::optional<std::vector<std::int16_t>> block = mic->read_block()) {
//       velmora::AudioItem item = velmora::AudioItem::samples(*block);
//       co_yield std::move(item);
//     }
//   }
//
//   for (const velmora::Frame& frame : avatar.render(velmora::AudioInput::stream(microphone(mic)))) {
//     player->queue(frame);  // shown one every 50 ms by the player's own thread
//   }
//
// Any item size works, as the frames wait for the engine's units of audio rather than for items; an item
// delays the frames it completes by at most its own length, so 20 to 100 ms (320 to 1,600 samples) suit.
//
// Rules for a coroutine body:
// - Take every parameter by value (std::shared_ptr for shared objects), never by reference, pointer to a local,
//   std::string_view or std::span: the body runs after the call that made the generator has returned, so
//   anything it refers to must live in the generator itself.
// - Write generators as named functions, not as lambdas: a lambda's captures stay in the lambda object, which
//   is usually gone by the time the body runs.
// - co_yield a named local (`co_yield std::move(item);`), not an expression with temporaries in it, and never
//   inside a catch handler (C++ forbids it): keep what the handler found and yield after it.
// - A consumer may stop at any co_yield (the render was closed, cancelled or failed): the body then gets
//   GeneratorExit there. Let it pass: it is not a std::exception, so `catch (const std::exception&)` does not
//   take it; a `catch (...)` must rethrow it. Clean up with destructors.
// - An exception thrown by the body ends the render and comes out of FrameStream::next(): an AvatarError,
//   Cancelled or anything that is not a std::exception as it is; any other std::exception as Failed "the
//   render stopped" with it as the detail.
//
// Thread safety: one thread at a time uses a generator, and its body runs on the thread that calls next() or
// close() (for a render's audio source: the thread that pulls the frames). A suspended generator may be moved
// to another thread. Not copyable.
#include <coroutine>
#include <exception>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <utility>

#include "velmora/export.hpp"

namespace velmora {

// Thrown into a generator's body by close(). Deliberately not a std::exception: a body's
// `catch (const std::exception&)` must not swallow it.
struct VELMORA_API GeneratorExit {};

template <class T>
class Generator {
 public:
  struct promise_type;
  using handle_type = std::coroutine_handle<promise_type>;

  struct promise_type {
    std::optional<T> value;
    std::exception_ptr error;
    bool closing = false;
    bool started = false;
    bool running = false;

    Generator get_return_object() { return Generator(handle_type::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { error = std::current_exception(); }

    struct YieldAwaiter {
      promise_type* promise;
      bool await_ready() const noexcept { return false; }
      void await_suspend(handle_type) const noexcept {}
      void await_resume() const {
        if (promise->closing) throw GeneratorExit{};
      }
    };
    YieldAwaiter yield_value(const T& v) {
      value.emplace(v);
      return YieldAwaiter{this};
    }
    YieldAwaiter yield_value(T&& v) {
      value.emplace(std::move(v));
      return YieldAwaiter{this};
    }
  };

  // An empty generator: already ended.
  Generator() = default;
  Generator(Generator&& other) noexcept : h_(std::exchange(other.h_, {})), current_(std::move(other.current_)) {}
  Generator& operator=(Generator&& other) noexcept {
    if (this != &other) {
      finalise();
      h_ = std::exchange(other.h_, {});
      current_ = std::move(other.current_);
    }
    return *this;
  }
  Generator(const Generator&) = delete;
  Generator& operator=(const Generator&) = delete;
  ~Generator() { finalise(); }

  // The next value, or nothing when the body has ended (and on every later call). Rethrows an exception
  // that leaves the body; the generator has ended then. Calling it from inside its own body is an error.
  std::optional<T> next() {
    if (!h_) return std::nullopt;
    auto& p = h_.promise();
    if (p.running) throw std::logic_error("generator already executing");
    resume();
    if (h_.done()) {
      std::exception_ptr error = std::exchange(p.error, nullptr);
      release();
      if (error) std::rethrow_exception(error);
      return std::nullopt;
    }
    std::optional<T> out(std::move(p.value));
    p.value.reset();
    return out;
  }

  // Ends the generator; see the header comment.
  void close() {
    if (!h_) return;
    auto& p = h_.promise();
    if (p.running) throw std::logic_error("generator already executing");
    if (!p.started) {
      release();
      return;
    }
    p.closing = true;
    resume();
    if (!h_.done()) {
      p.value.reset();
      p.closing = false;  // a later next() resumes the body normally
      throw std::logic_error("generator ignored GeneratorExit");
    }
    std::exception_ptr error = std::exchange(p.error, nullptr);
    release();
    if (!error) return;
    try {
      std::rethrow_exception(error);
    } catch (const GeneratorExit&) {
    }
  }

  // True once the body has ended or the generator was closed.
  bool finished() const { return !h_; }

  // Input range over the remaining values: `for (T& v : gen)`. Leaving the loop early leaves the generator
  // suspended; it is closed when it is destroyed.
  struct sentinel {};
  class iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    explicit iterator(Generator* g) : g_(g) {}
    T& operator*() const { return *g_->current_; }
    T* operator->() const { return &*g_->current_; }
    iterator& operator++() {
      g_->current_ = g_->next();
      return *this;
    }
    void operator++(int) { ++*this; }
    bool at_end() const { return !g_->current_; }
    friend bool operator==(const iterator& it, sentinel) { return it.at_end(); }

   private:
    Generator* g_;
  };
  iterator begin() {
    current_ = next();
    return iterator(this);
  }
  sentinel end() { return {}; }

 private:
  explicit Generator(handle_type h) : h_(h) {}

  void resume() {
    auto& p = h_.promise();
    p.started = true;
    p.running = true;
    h_.resume();
    p.running = false;
  }

  void release() {
    if (h_) std::exchange(h_, {}).destroy();
  }

  void finalise() noexcept {
    if (!h_) return;
    try {
      close();
    } catch (...) {
    }
    release();
  }

  handle_type h_{};
  std::optional<T> current_;
};

}  // namespace velmora
