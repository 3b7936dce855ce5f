"""The LiteRT stand-in from Python: its model files, and its kernels in NumPy, operation for operation.

standin_litert.h documents the model format and the kernels; standin_models.h writes the same files from C++.
Fixture generators and reference pipelines import this module (run with /usr/bin/python3, Debian's NumPy).
"""

import json

import numpy as np

F32 = np.float32

# ---- model files -----------------------------------------------------------------------------------------------


def tensor(name, dtype, dims):
    return {"name": name, "type": dtype, "dims": list(dims)}


def signature(key, kernel, inputs, outputs):
    return {"key": key, "kernel": kernel, "inputs": inputs, "outputs": outputs}


def enc_signature(kernel="identity"):
    return signature("enc", kernel, [tensor("args_0", "float32", (1, 35200))],
                     [tensor("output_0", "float32", (1, 35200))])


def tok_signature(out_type="float32"):
    return signature("tok14", "tokmix", [tensor("args_0", "float32", (1, 35200))],
                     [tensor("output_0", out_type, (14, 16, 384))])


def step_signature(hist_name="args_0", tok_name="args_1"):
    return signature("step", "step",
                     [tensor(hist_name, "float32", (1, 16, 16, 90, 52)), tensor(tok_name, "float32", (1, 16, 384))],
                     [tensor("output_0", "float32", (1, 16, 90, 52))])


def dec_signature(batch, kernel="probe", out_type="float32"):
    return signature("dec16" if batch == 16 else "dec8", kernel,
                     [tensor("args_0", "float32", (batch, 36, 90, 52))],
                     [tensor("output_0", out_type, (batch, 3, 720, 416))])


def combined_signatures(dec_kernel="probe", dec_type="float32"):
    return [enc_signature(), tok_signature(), step_signature(),
            dec_signature(16, dec_kernel, dec_type), dec_signature(8, dec_kernel, dec_type)]


def model_json(signatures):
    return json.dumps({"format": "litert-standin", "signatures": signatures}, indent=1)


def write_model(path, signatures):
    with open(path, "w", encoding="utf-8") as f:
        f.write(model_json(signatures))
    return path


# ---- kernels ---------------------------------------------------------------------------------------------------


def _as_f32(x):
    return np.asarray(x).astype(F32)


def identity(x):
    return np.array(x, copy=True)


def tokmix(x, out_shape, out_dtype=np.float32):
    x = _as_f32(x).reshape(-1)
    m = int(np.prod(out_shape))
    i = np.arange(m, dtype=np.int64)
    out = x[(i * 7919) % x.size] * F32(0.5) + (i % 101).astype(F32) * F32(0.0078125)
    return out.reshape(out_shape).astype(out_dtype)


def step(h, a, out_shape=(1, 16, 90, 52), out_dtype=np.float32):
    """h: the 5-D history (1, C, S, H, W); a: the token (any shape)."""
    h = _as_f32(h)
    _, c, s, hh, ww = h.shape
    p = hh * ww
    hf = h.reshape(c, s, p)
    af = _as_f32(a).reshape(-1)
    idx = np.arange(c * p, dtype=np.int64).reshape(c, p) % af.size
    out = (hf[:, s - 1] * F32(0.5) + hf[:, 0] * F32(0.25)) + af[idx] * F32(0.125)
    return out.reshape(out_shape).astype(out_dtype)


def probe(x, oh=720, ow=416, out_dtype=np.float32):
    """x: decoder rows (B, 2L + 4, h, w); returns (B, 3, oh, ow)."""
    x = _as_f32(x)
    _, cin, h, w = x.shape
    lat = (cin - 4) // 2
    sy, sx = oh // h, ow // w
    yy = np.arange(oh)[:, None]
    xx = np.arange(ow)[None, :]
    cy, cx = yy // sy, xx // sx
    ch = ((yy % sy) * sx + xx % sx) % lat
    r = x[:, ch, cy, cx] * F32(0.5) + F32(0.25)
    g = x[:, lat + ch, cy, cx] * F32(0.5) + F32(0.25)
    b = x[:, 2 * lat + (xx % 4), cy, cx] * F32(1.25) + F32(-0.125)
    return np.stack([r, g, b], axis=1).astype(out_dtype)
