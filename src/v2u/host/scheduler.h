#pragma once
// The per-stream eye-event scheduler. Motion rows arrive block by block with two driving feature streams;
// for every frame outside the refractory time after an onset, a logistic hazard of the time since the latest
// onset and of windowed means of the features decides, by a draw from the stream's own generator, whether an
// eye event starts there, and the drawn event's profile is stamped (element-wise maximum) onto the event
// track. pop() hands the pending rows back with their 12 eye columns rewritten from the track (through the
// eye map and the delta path), a head-pose regression and AR(2) noise, plus an eye level per frame.
//
// E3COpen picks one level per eye on the level table; E3XBOpen maps the keys through an eye calibration and
// picks one common level. Both draw the same onsets from the same arguments. A scheduler belongs to one
// stream and one thread at a time; nothing is shared with other streams but the read-only arrays.
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/ndarray.h"
#include "common/numpy_random.h"
#include "v2u/host/e3params.h"
#include "v2u/host/eye_map.h"
#include "v2u/host/noise.h"

namespace velmora::v2u {

namespace detail {
// The hysteresis choice of a level for `key`: the nearest of `levels` (|key - level|, NumPy's argmin: the
// first NaN distance, else the lowest index among the nearest), unless the previous choice lies at most the
// nearest distance divided by `ehyst` away. `levels` must not be empty; `prev` must index it.
std::int64_t choose_level(double key, std::span<const double> levels, std::optional<std::int64_t> prev, double ehyst);
}  // namespace detail

// What pop() hands back for the frames done .. n - 1.
struct EyePop {
  NdArray out;  // float32 (T, 69): the rows with the eye columns rewritten
  NdArray sL;   // int64 (T): level index of the left eye per frame
  NdArray sR;   // int64 (T): level index of the right eye per frame (its own array, also when equal to sL)
};

class E3COpen {
 public:
  static constexpr std::int64_t F_HEADROOM = 4096;  // frames of event track made beyond what is needed
  static constexpr std::int64_t CS_CUT = 2048;      // running-sum rows that must be droppable before a cut

  // `g` is read here only (its arrays are shared, not copied); `emap` is copied. `P`: the E >= 1 eye levels;
  // `d` (K, >= 12) and `c` (K): the delta path and its knots, as path_delta takes them; all read as float64.
  // The generator is default_rng(seed mod 2**32). `noise` is owned from here on and must have one channel per
  // row of the residual model's "V".
  //
  // Throws std::invalid_argument (nothing is made) for: no hazard windows, a window that is not a pair, a
  // negative keep_onsets, an empty P, a delta path path_delta rejects or with fewer than 12 columns, "B" not
  // 3 x 12, "V" not (noise channels) x 12; KeyError for a missing "B" or "V". An event pool may be empty
  // (an empty library, or flutter events only): only a draw from it fails (pop).
  E3COpen(const E3Params& g, const EyeMap& emap, const NdArray& P, const NdArray& d, const NdArray& c,
          const SeedInt& seed, double shift, AR2Noise noise, double ehyst = 0.95, std::int64_t keep_onsets = 64);
  virtual ~E3COpen() = default;
  E3COpen(const E3COpen&) = delete;
  E3COpen& operator=(const E3COpen&) = delete;

  // Appends T frames: `rows` (T, 69) of any real type (kept as float32), `fp` T values or (T, m - 1), `fe`
  // T values; the driving block is fp's columns then fe, read as float64. m is fixed by the first add of
  // frames and must then fit the hazard weights (26 + m * windows values). T = 0 changes nothing. Throws
  // std::invalid_argument, before anything changes, for other shapes, another m or weights that do not fit.
  void add(const NdArray& rows, const NdArray& fp, const NdArray& fe);

  // Evaluates the hazard of every frame added since the last evaluation, then hands out the pending frames,
  // or nothing when none are pending. `EYE4`: the 12 eye columns (integers in 0 .. 68; with a repeated column
  // the later entry's value is written). Throws std::invalid_argument for another EYE4 before anything
  // changes; a failure after the hazard evaluation leaves the frames pending. An onset that has to draw from
  // an empty event pool throws std::runtime_error naming its frame; that frame's evaluation is undone (its
  // draws included), so the scheduler is as it was before that frame.
  virtual std::optional<EyePop> pop(const NdArray& EYE4);

  // State, for the engine adapter's diagnostics and for tests.
  std::int64_t n() const { return n_; }        // frames added
  std::int64_t done() const { return done_; }  // frames popped
  std::int64_t th() const { return th_; }      // next frame whose hazard is evaluated
  std::int64_t fb() const { return fb_; }      // frame of the event track's first element
  std::int64_t cb() const { return cb_; }      // frame of the first running-sum row
  std::int64_t n_on() const { return n_on_; }  // onsets drawn since construction
  const std::deque<std::int64_t>& on() const { return on_; }  // the latest keep_onsets onset frames
  std::optional<std::int64_t> last() const { return last_; }  // frame of the latest onset
  std::optional<std::pair<std::int64_t, std::int64_t>> prev() const { return prev_; }
  std::span<const double> f() const { return f_; }            // event track from frame fb()
  std::int64_t cs_rows() const { return cs_rows_; }
  const std::vector<std::int64_t>& pool_f() const { return pool_f_; }
  const std::vector<std::int64_t>& pool_s() const { return pool_s_; }
  const Generator& rng() const { return rng_; }

 protected:
  struct Base {
    NdArray out;                // float32 (T, 69), a copy of the pending rows
    std::vector<double> Rr;     // (T, 12): pose regression plus noise
    std::vector<double> track;  // T event amounts
    std::int64_t t1 = 0;
  };

  // Runs the hazard over frames th .. n - 1, then drops running sums no later window can reach.
  void hazard();
  // Makes the event track reach frame hi - 1, dropping popped frames when it regrows.
  void f_need(std::int64_t hi);
  // hazard(), then the pending frames with their regression rows and event amounts; nothing when none are
  // pending. Nothing is handed out yet: commit() does that.
  std::optional<Base> base();
  // Writes the EYE4 columns of `out` from Rr plus the delta path of the left key (path columns 0 .. 5) and of
  // the right key (columns 6 .. 11); `keys` holds T row-major pairs.
  void eyes(NdArray& out, const std::vector<double>& Rr, std::span<const double> keys, const NdArray& EYE4) const;
  // The pending frames up to t1 are handed out; `prev` is the level choice of the last of them.
  void commit(std::int64_t t1, std::pair<std::int64_t, std::int64_t> prev);
  // Throws unless EYE4 is 12 integers in 0 .. 68.
  static void check_eye4(const NdArray& EYE4);

  EyeMap emap_;
  NdArray P_;  // float64 (E)
  double ehyst_;

 private:
  void hazard_frame(std::int64_t t);

  // From the parameters.
  NdArray lib_;  // float64 (events, NX)
  std::int64_t NX_ = 0;
  std::vector<double> B_, V_;  // 3 x 12 and channels x 12, row-major
  std::vector<std::pair<std::int64_t, std::int64_t>> aw_;
  std::int64_t amin_ = 0;  // the smallest window start
  std::int64_t low_ = 0;   // the smallest window offset of either end: what the running sums must keep
  std::int64_t REF_ = 0;
  NdArray w_, mu_x_, sd_x_;  // float64 (NF)
  double b_ = 0, q_ = 0;
  NdArray u_;
  NdArray d_, c_;  // float64
  double shift_;
  std::int64_t keep_onsets_;

  AR2Noise noise_;
  Generator rng_;
  std::vector<std::int64_t> pool_f_, pool_s_;

  std::vector<double> f_;
  std::int64_t fb_ = 0;
  std::deque<std::int64_t> on_;
  std::int64_t n_on_ = 0;
  std::optional<std::int64_t> last_;
  std::int64_t th_ = 0;

  std::int64_t m_ = 0;          // driving columns, 0 until the first add of frames
  std::vector<double> cs_;      // cs_rows_ x m running sums; row k: the sum over the frames before cb + k
  std::int64_t cs_rows_ = 0;
  std::int64_t cb_ = 0;
  std::vector<double> x_;       // hazard features, reused

  std::vector<float> pend_;     // (n - done) x 69
  std::int64_t n_ = 0, done_ = 0;
  std::optional<std::pair<std::int64_t, std::int64_t>> prev_;
};

// The scheduler for identities with an eye calibration: the eye columns come from the calibrated keys, and
// one common level per frame is chosen on the calibration's level scale 0 .. E - 1 from the raw keys' mean
// level. Onsets, event track and draws are those of an E3COpen built with the same arguments.
class E3XBOpen final : public E3COpen {
 public:
  E3XBOpen(const E3Params& g, const EyeMap& emap, const NdArray& P, const NdArray& d, const NdArray& c,
           const SeedInt& seed, double shift, AR2Noise noise, const XCal& xc, double ehyst = 0.95,
           std::int64_t keep_onsets = 64);

  // As E3COpen::pop, with sL and sR both the common level (two distinct arrays).
  std::optional<EyePop> pop(const NdArray& EYE4) override;

  const XCal& xc() const { return xc_; }

 private:
  XCal xc_;
  std::vector<double> steps_;  // 0, 1, .., E - 1: the common level scale
};

}  // namespace velmora::v2u
