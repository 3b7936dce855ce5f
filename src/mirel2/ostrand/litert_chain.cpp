#include "mirel2/ostrand/litert_chain.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "common/pytext.h"
#include "mirel2/ostrand/dec_inputs.h"
#include "mirel2/ostrand/staging.h"

namespace velmora::ostrand {
namespace {

using litert::Dims;
using litert::TensorView;

std::invalid_argument reshape_error(std::size_t size, const Dims& dims) {
  return std::invalid_argument(litert::reshape_message(size, dims));
}

void check_size(std::size_t size, const Dims& dims) {
  if (size != dims.elements()) throw reshape_error(size, dims);
}

const Dims TEMPO_DIMS{1, TEMPO_SAMPLES};
const Dims TOK_DIMS{TOK_ROWS, NA, CA};
const Dims TOKEN_DIMS{1, NA, CA};
const Dims HIST_DIMS{1, LC, CTX, LH, LW};
const Dims LATENT_DIMS{LC, LH, LW};

void check_dec_input(std::span<const float> xs, int n) {
  if (n > 0 && xs.size() < static_cast<std::size_t>(n) * DEC_ROW_VALUES)
    throw std::invalid_argument("decoder input of " + std::to_string(xs.size()) + " values for " +
                                std::to_string(n) + " rows");
}

}  // namespace

LitertChain::LitertChain(const std::vector<std::string>& tflite_paths, std::span<const float> canon, int threads)
    : LitertChain(litert::runtime(), tflite_paths, canon, threads) {}

LitertChain::LitertChain(std::shared_ptr<const litert::Library> lib, const std::vector<std::string>& tflite_paths,
                         std::span<const float> canon, int threads)
    : lib_(std::move(lib)) {
  its_.reserve(tflite_paths.size());
  for (const auto& path : tflite_paths) {
    its_.push_back(litert::Interpreter::create(lib_, path, threads));
    litert::Interpreter& it = its_.back();
    it.allocate_tensors();
    // Every file's runners are made; a signature already served by an earlier file keeps that file's.
    for (const auto& key : it.signature_keys()) {
      litert::SignatureRunner runner = it.runner(key);
      const bool known = std::any_of(runners_.begin(), runners_.end(), [&](const auto& r) { return r.first == key; });
      if (!known) runners_.emplace_back(key, std::move(runner));
    }
  }
  // Every interpreter holds its model now: staged copies can go, whether or not the check below passes.
  release_staged(tflite_paths);

  auto find = [&](std::string_view key) -> litert::SignatureRunner* {
    for (auto& r : runners_)
      if (r.first == key) return &r.second;
    return nullptr;
  };
  std::vector<std::string> missing;
  for (const auto sig : SIGS)
    if (find(sig) == nullptr) missing.emplace_back(sig);
  if (!missing.empty()) {
    std::vector<std::string> have;
    for (const auto& r : runners_) have.push_back(r.first);
    std::sort(have.begin(), have.end());
    throw std::runtime_error("LiteRT chain missing signature(s) " + py_repr(missing) + " across " +
                             py_repr(tflite_paths) + " (have " + py_repr(have) +
                             "); need combined_litert.tflite OR shared-enc.tflite + identity.tflite");
  }
  enc_ = find(SIGS[0]);
  tok_ = find(SIGS[1]);
  step_ = find(SIGS[2]);
  dec16_ = find(SIGS[3]);
  dec8_ = find(SIGS[4]);

  // The history goes to the step's first 5-D input; the token to the other of "args_0" / "args_1".
  hist_key_ = "args_0";
  for (const auto& name : step_->input_names())
    if (step_->input_dims(name).size == 5) {
      hist_key_ = name;
      break;
    }
  atok_key_ = hist_key_ == "args_0" ? "args_1" : "args_0";

  if (canon.size() != static_cast<std::size_t>(CANON_SIZE)) throw reshape_error(canon.size(), Dims{LC, PLANE});
  canon_.assign(canon.begin(), canon.end());
}

LitertChain::~LitertChain() = default;

std::vector<float> LitertChain::new_hist() const {
  std::vector<float> hist(HIST_VALUES);
  fill_hist(hist);
  return hist;
}

void LitertChain::fill_hist(std::span<float> hist) const {
  if (hist.size() != HIST_VALUES) throw reshape_error(hist.size(), HIST_DIMS);
  for (std::size_t c = 0; c < LC; ++c)
    for (std::size_t s = 0; s < CTX; ++s)
      std::memcpy(hist.data() + (c * CTX + s) * PLANE, canon_.data() + c * PLANE, PLANE * sizeof(float));
}

void LitertChain::shift_hist(std::span<float> hist, std::span<const float> lat) {
  if (hist.size() != HIST_VALUES) throw reshape_error(hist.size(), HIST_DIMS);
  if (lat.size() != static_cast<std::size_t>(CANON_SIZE)) throw reshape_error(lat.size(), LATENT_DIMS);
  for (std::size_t c = 0; c < LC; ++c) {
    float* slots = hist.data() + c * CTX * PLANE;
    std::memmove(slots, slots + PLANE, std::size_t{CTX - 1} * PLANE * sizeof(float));
    std::memcpy(slots + std::size_t{CTX - 1} * PLANE, lat.data() + c * PLANE, PLANE * sizeof(float));
  }
}

void LitertChain::run_enc(std::span<const float> tempo, litert::Tensor& feats) {
  check_size(tempo.size(), TEMPO_DIMS);
  enc_->set_input("args_0", TensorView{kTfLiteFloat32, TEMPO_DIMS, tempo.data(), tempo.size_bytes()});
  enc_->invoke();
  feats.assign(enc_->output("output_0"));
}

void LitertChain::run_tok(const litert::Tensor& feats, litert::Tensor& tok) {
  tok_->set_input("args_0", feats.view());
  tok_->invoke();
  tok.assign(tok_->output("output_0"));
  tok.reshape(TOK_DIMS);
}

TensorView LitertChain::token(const litert::Tensor& tok, int j) {
  if (!(tok.dims() == TOK_DIMS)) throw reshape_error(tok.dims().elements(), TOK_DIMS);
  return tok.row(j, TOKEN_DIMS);
}

void LitertChain::run_step(std::span<const float> hist, const TensorView& atok, std::span<float> lat) {
  check_size(hist.size(), HIST_DIMS);
  check_size(atok.dims.elements(), TOKEN_DIMS);
  check_size(lat.size(), LATENT_DIMS);
  TensorView token = atok;
  token.dims = TOKEN_DIMS;
  step_->set_inputs(hist_key_, TensorView{kTfLiteFloat32, HIST_DIMS, hist.data(), hist.size_bytes()}, atok_key_,
                    token);
  step_->invoke();
  const TensorView out = step_->output("output_0");
  check_size(out.dims.elements(), LATENT_DIMS);
  litert::to_float32(out.type, out.data, lat.size(), lat.data());
}

void LitertChain::run_dec_frames(std::span<const float> xs, int n, DecodedFrames& frames) {
  check_dec_input(xs, n);
  frames.resize(std::max(n, 0));
  decode_batches(xs, n, [&frames](int first, int take, const TensorView& out) {
    litert::to_float32(out.type, out.data, static_cast<std::size_t>(take) * FRAME_VALUES, frames.frame(first).data());
  });
}

void LitertChain::run_dec_batches(std::span<const float> xs, int n, const BatchSink& take_frames) {
  check_dec_input(xs, n);
  decode_batches(xs, n, [&](int first, int take, const TensorView& out) {
    const std::size_t values = static_cast<std::size_t>(take) * FRAME_VALUES;
    if (out.type == kTfLiteFloat32) {
      take_frames(first, std::span(static_cast<const float*>(out.data), values));
    } else {
      const std::span<float> converted = converted_.resize(values);
      litert::to_float32(out.type, out.data, values, converted.data());
      take_frames(first, converted);
    }
  });
}

void LitertChain::decode_batches(std::span<const float> xs, int n, const OutputSink& on_output) {
  for (int done = 0; done < n;) {
    const int rem = n - done;
    const int batch = rem > 8 ? 16 : 8;
    const int take = std::min(rem, batch);
    litert::SignatureRunner& dec = batch == 16 ? *dec16_ : *dec8_;

    const litert::InputSpec wanted{"args_0", kTfLiteFloat32, Dims{batch, DEC_CHANNELS, LH, LW}};
    std::span<std::byte> in;
    dec.prepare(std::span(&wanted, 1), std::span(&in, 1));
    const std::size_t row_bytes = DEC_ROW_VALUES * sizeof(float);
    std::memcpy(in.data(), xs.data() + static_cast<std::size_t>(done) * DEC_ROW_VALUES,
                static_cast<std::size_t>(take) * row_bytes);
    std::memset(in.data() + static_cast<std::size_t>(take) * row_bytes, 0,
                static_cast<std::size_t>(batch - take) * row_bytes);
    dec.invoke();

    const TensorView out = dec.output("output_0");
    const Dims want{batch, 3, FH, FW};
    if (!(out.dims == want))
      throw std::runtime_error("LiteRT signature " + py_repr(dec.key()) + " gave output_0 of shape " +
                               out.dims.text() + "; frames need " + want.text());
    // The padding rows' frames are left out.
    on_output(done, take, out);
    done += take;
  }
}

}  // namespace velmora::ostrand
