#pragma once
// The LiteRT stand-in: a shared library named libtensorflowlite_c.so that exports the C functions of
// src/mirel2/litert/c_api.h, so the host runs its interpreter chain in tests without the real runtime.
//
// Model files are JSON (written by model_writer.h or standin_models.py):
//   {"format": "litert-standin", "signatures": [
//     {"key": "enc", "kernel": "identity",
//      "inputs":  [{"name": "args_0", "type": "float32", "dims": [1, 35200]}],
//      "outputs": [{"name": "output_0", "type": "float32", "dims": [1, 35200]}]}, ...]}
// An optional top-level "load_seconds": N makes creating the model take that long (a slow start).
// Signatures keep file order; inputs and outputs are listed in name order, whatever order the file gives.
// Types are NumPy's names (float32, float16, float64, int8, uint8, int16, int32, int64). An input dimension of
// -1 may be resized (it starts as 1); every other dimension is fixed, as in the real runtime's strict resize.
//
// Behaviour the host can observe, as the real runtime has it: the file is read once, when the model is created
// (it may be deleted afterwards); a resize to other dims leaves the signature's tensors without storage until
// the next allocation, and that allocation gives every tensor of the signature new, zeroed storage; an input
// must be written with exactly its byte size; outputs are overwritten by the next invoke.
//
// Kernels (all arithmetic in float32, each operation rounded; inputs of another float type are first converted
// to float32, outputs of another float type are computed in float32 and then converted, as NumPy's astype):
//   identity     output_0 = input bytes unchanged (same type, same element count; dims may differ).
//   tokmix       x = the input flattened (N values), i = 0..M-1 over the output's M values:
//                out[i] = x[(i * 7919) mod N] * 0.5 + float(i mod 101) * 0.0078125
//   step         h = the 5-D input (1, C, S, H, W), a = the other input flattened (K values), P = H * W:
//                out[c, p] = (h[0, c, S-1, p] * 0.5 + h[0, c, 0, p] * 0.25) + a[(c * P + p) mod K] * 0.125
//   probe        x = (B, 2L + 4, h, w) rows, out = (B, 3, OH, OW) with OH = sy * h and OW = sx * w; per pixel
//                (Y, X): cy = Y / sy, cx = X / sx, ch = ((Y mod sy) * sx + X mod sx) mod L,
//                  out[b, 0, Y, X] = x[b, ch, cy, cx] * 0.5 + 0.25
//                  out[b, 1, Y, X] = x[b, L + ch, cy, cx] * 0.5 + 0.25
//                  out[b, 2, Y, X] = x[b, 2L + X mod 4, cy, cx] * 1.25 + (-0.125)
//                so a row's latent, previous latent and phase all show, and values leave [0, 1] both ways.
//   noop         writes nothing: outputs keep what they hold (zeros after allocation). Costs nothing.
//   fail_invoke  every invoke fails.
//   fail_allocate  allocation fails (of the interpreter, and of the signature's runner).
// standin_models.py reproduces every kernel with NumPy, operation for operation.
#include <cstdint>

// The stand-in's TfLiteVersion() text.
#define STANDIN_LITERT_VERSION "2.18.0-standin"

extern "C" {

// Test-only: what the stand-in saw since it was loaded or last cleared, as JSON:
//   {"interpreters": [{"model": path, "threads": n}, ...],          n as given (-1 when never set)
//    "invokes": [{"model": path, "signature": key, "zero_rows": z}, ...]}
// "zero_rows" (probe kernels only) counts the input rows that are all zero. The text stays valid until the next
// call of either function.
const char* StandinLitertReport(void);
void StandinLitertClear(void);

}  // extern "C"
