#pragma once
// The LiteRT interpreter chain: the neural models of one identity. One or two model files offer the signatures
// "enc" (audio encoder), "tok14" (tokenizer: 14 audio tokens), "step" (next latent from the context history and
// one token), "dec16" and "dec8" (frame decoders for batches of 16 and 8 rows). Built once per process; every
// stream reuses it. The context history is the caller's: made by new_hist, advanced by run_step + shift_hist.
//
// Single-threaded: one thread builds and drives the chain (LiteRT may use `threads` workers inside each call).
// Nothing here catches an error; every failure reaches the caller.
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/reusable_buffer.h"
#include "mirel2/litert/interpreter.h"
#include "mirel2/litert/library.h"
#include "mirel2/litert/tensor.h"
#include "mirel2/ostrand/constants.h"

namespace velmora::ostrand {

// Values of a context history: (1, LC, CTX, LH, LW) float32, slot 0 the oldest, slot CTX - 1 the newest.
inline constexpr std::size_t HIST_VALUES = std::size_t{LC} * CTX * PLANE;
// Tokens of one window: (14, NA, CA).
inline constexpr int TOK_ROWS = 14;
// Values of one decoded frame: (3, FH, FW) float32, planes R, G, B, nominally in [0, 1].
inline constexpr std::size_t FRAME_VALUES = std::size_t{3} * FH * FW;

// The decoded frames of one chunk, in the order of their input rows. The storage is kept across chunks and
// grows only past the largest chunk so far, so a steady stream decodes without allocating.
class DecodedFrames {
 public:
  int size() const { return n_; }
  std::span<float> frame(int k) { return values_.span().subspan(static_cast<std::size_t>(k) * FRAME_VALUES, FRAME_VALUES); }
  std::span<const float> frame(int k) const {
    return values_.span().subspan(static_cast<std::size_t>(k) * FRAME_VALUES, FRAME_VALUES);
  }
  // All frames, one after another.
  std::span<float> values() { return values_.span(); }

  // Makes room for `n` frames; their contents are unspecified until written.
  void resize(int n) {
    values_.resize(static_cast<std::size_t>(n) * FRAME_VALUES);
    n_ = n;
  }

 private:
  ReusableBuffer<float> values_;
  int n_ = 0;
};

class LitertChain {
 public:
  // Loads every file of `tflite_paths`, in order, into an interpreter with `threads` threads (passed to LiteRT
  // unchanged) and allocates its tensors; the first file that offers a signature serves it. Then releases the
  // staged copies among the paths (release_staged), checks that all of SIGS are offered, picks the step's input
  // names and copies `canon` (CANON_SIZE values). Throws std::runtime_error when LiteRT or a file cannot be
  // loaded (staged copies then stay for the exit hook), when signatures are missing, and std::invalid_argument
  // for a canon of another size.
  LitertChain(const std::vector<std::string>& tflite_paths, std::span<const float> canon, int threads);
  // The same over a given LiteRT library instead of the process's.
  LitertChain(std::shared_ptr<const litert::Library> lib, const std::vector<std::string>& tflite_paths,
              std::span<const float> canon, int threads);

  LitertChain(const LitertChain&) = delete;
  LitertChain& operator=(const LitertChain&) = delete;
  ~LitertChain();

  // A new context history with the canon latent in every slot.
  std::vector<float> new_hist() const;
  // The same, written into a history the caller keeps (HIST_VALUES values).
  void fill_hist(std::span<float> hist) const;
  // Moves every slot one towards the front (the oldest is dropped) and writes `lat` (CANON_SIZE values) as the
  // newest. Throws std::invalid_argument for spans of other sizes.
  static void shift_hist(std::span<float> hist, std::span<const float> lat);

  // Audio features of one stretched window of TEMPO_SAMPLES samples, into `feats` (type and shape as the
  // encoder gives them; its storage is reused).
  void run_enc(std::span<const float> tempo, litert::Tensor& feats);
  // The 14 audio tokens of `feats`, into `tok` as (14, NA, CA) in the tokenizer's output type.
  void run_tok(const litert::Tensor& feats, litert::Tensor& tok);
  // Row `j` of `tok`, seen as one token (1, NA, CA) for run_step.
  static litert::TensorView token(const litert::Tensor& tok, int j);
  // The next latent for history `hist` (HIST_VALUES values, unchanged) and token `atok` (NA x CA values), into
  // `lat` (CANON_SIZE values) as float32.
  void run_step(std::span<const float> hist, const litert::TensorView& atok, std::span<float> lat);
  // Decodes rows 0..n-1 of `xs` (n x 36 x PLANE float32, see dec_inputs.h) into `frames`: batches of 16 while
  // more than 8 rows remain, else 8; a short last batch is padded with zero rows whose frames are dropped. Each
  // batch's output is copied once, as float32, into `frames`. A decoder output not shaped (B, 3, FH, FW) is an
  // error (std::runtime_error), never frames.
  void run_dec_frames(std::span<const float> xs, int n, DecodedFrames& frames);
  // The same decoding without the copy: after each batch, `take(first, frames)` receives its frames (rows first
  // .. first + frames.size() / FRAME_VALUES - 1) straight from the decoder's output, valid only during the call
  // (a float32 output is handed over as it is; another type is converted into a buffer the chain keeps).
  using BatchSink = std::function<void(int first, std::span<const float> frames)>;
  void run_dec_batches(std::span<const float> xs, int n, const BatchSink& take);

  // The canon latent (LC x PLANE values), the chain's own copy.
  std::span<const float> canon() const { return canon_; }
  // The step's input names for the history and for the token.
  const std::string& hist_key() const { return hist_key_; }
  const std::string& atok_key() const { return atok_key_; }
  std::size_t interpreter_count() const { return its_.size(); }

 private:
  std::shared_ptr<const litert::Library> lib_;
  std::vector<litert::Interpreter> its_;
  // Declared after the interpreters, so that runners are released first.
  std::vector<std::pair<std::string, litert::SignatureRunner>> runners_;
  litert::SignatureRunner* enc_ = nullptr;
  litert::SignatureRunner* tok_ = nullptr;
  litert::SignatureRunner* step_ = nullptr;
  litert::SignatureRunner* dec16_ = nullptr;
  litert::SignatureRunner* dec8_ = nullptr;
  std::string hist_key_;
  std::string atok_key_;
  // The decoding schedule: batches of 16 while more than 8 rows remain, else 8, padded with zero rows;
  // on_output(first row, rows taken, the batch's output) after each batch's invoke.
  using OutputSink = std::function<void(int first, int take, const litert::TensorView& out)>;
  void decode_batches(std::span<const float> xs, int n, const OutputSink& on_output);

  std::vector<float> canon_;
  ReusableBuffer<float> converted_;  // a batch of decoder output of another type than float32, as float32
};

}  // namespace velmora::ostrand
