"""The documented cast rules, written out independently of the library, to
check what a cast tensor comes back as."""

import numpy as np

FP8 = {
    "fp8": dict(ebits=4, k=3, bias=7, max_finite=448.0, min_sub=2.0**-9, max_exp=15, max_mant=6,
                nan=0x7F, inf=0x7F, max_code=0x7E, has_inf=False),
    "fp8_e5m2": dict(ebits=5, k=2, bias=15, max_finite=57344.0, min_sub=2.0**-16, max_exp=30,
                     max_mant=3, nan=0x7E, inf=0x7C, max_code=0x7B, has_inf=True),
}


def bits32(x):
    return np.asarray(x, dtype=np.float32).view(np.uint32).astype(np.uint64)


def from_bits32(b):
    return np.asarray(b, dtype=np.uint32).view(np.float32)


def to_bf16_bits(x):
    out = []
    for b in bits32(x):
        b = int(b)
        if (b & 0x7F800000) == 0x7F800000 and (b & 0x7FFFFF):
            out.append((b >> 16) | 0x0040)
        else:
            out.append(((b + 0x7FFF + ((b >> 16) & 1)) >> 16) & 0xFFFF)
    return np.array(out, dtype=np.uint16)


def to_fp16_bits(x):
    out = []
    for b in bits32(x):
        b = int(b)
        s = (b >> 16) & 0x8000
        e = (b >> 23) & 0xFF
        m = b & 0x7FFFFF
        if e == 255:
            out.append(s | (0x7E00 if m else 0x7C00))
        elif e >= 143:
            out.append(s | 0x7C00)
        elif e >= 113:
            out.append(s | ((((e - 112) << 10) + (m >> 13) + ((m >> 12) & 1)) & 0xFFFF))
        elif e >= 102:
            t = (m | 0x800000) >> (113 - e)
            out.append(s | ((t >> 13) + ((t >> 12) & 1)))
        else:
            out.append(s)
    return np.array(out, dtype=np.uint16)


def _round_shift(value, shift):
    q = value >> shift
    rem = value & ((1 << shift) - 1)
    half = 1 << (shift - 1)
    if rem > half or (rem == half and q & 1):
        q += 1
    return q


def fp8_scale(x, fmt):
    f = FP8[fmt]
    x = np.asarray(x, dtype=np.float32)
    finite = np.abs(x[np.isfinite(x)])
    amax = np.float32(finite.max()) if finite.size else np.float32(0)
    s = np.float32(amax / np.float32(f["max_finite"]))
    if not np.isfinite(s) or s == 0 or abs(s) < np.finfo(np.float32).tiny:
        s = np.float32(1.0)
    return s


def to_fp8(x, fmt):
    f = FP8[fmt]
    s = fp8_scale(x, fmt)
    inv = np.float32(np.float32(1.0) / s)
    ys = np.asarray(x, dtype=np.float32) * inv
    out = []
    for b in bits32(ys):
        b = int(b)
        S = 0x80 if b >> 31 else 0
        e = (b >> 23) & 0xFF
        m = b & 0x7FFFFF
        if e == 255 and m:
            out.append(S | f["nan"]); continue
        if e == 0 and m == 0:
            out.append(S); continue
        if e == 255:
            out.append(S | (f["inf"] if f["has_inf"] else f["nan"])); continue
        E = e - 127 + f["bias"]
        M = m | 0x800000
        k = f["k"]
        if E >= 1:
            q = _round_shift(M, 23 - k)
            if q == 1 << (k + 1):
                E += 1
                mant = 0
            else:
                mant = q & ((1 << k) - 1)
            if E > f["max_exp"] or (E == f["max_exp"] and mant > f["max_mant"]):
                out.append(S | f["max_code"])
            else:
                out.append(S | (E << k) | mant)
        else:
            shift = 24 - k - E
            out.append(S if shift >= 32 else S | _round_shift(M, shift))
    return np.array(out, dtype=np.uint8), s


def fp8_decode(codes, fmt, scale):
    f = FP8[fmt]
    k, ebits = f["k"], f["ebits"]
    out = []
    for v in codes:
        v = int(v)
        e = (v >> k) & ((1 << ebits) - 1)
        m = v & ((1 << k) - 1)
        if f["has_inf"] and e == (1 << ebits) - 1:
            val = np.inf if m == 0 else np.nan
        elif not f["has_inf"] and e == (1 << ebits) - 1 and m == (1 << k) - 1:
            val = np.nan
        elif e:
            val = (1 + m / 2**k) * 2.0 ** (e - f["bias"])
        else:
            val = m * f["min_sub"]
        if v & 0x80:
            val = -val
        out.append(np.float32(val) * np.float32(scale))
    return np.array(out, dtype=np.float32)


def round_trip(x, rule):
    """float32 values x saved under rule ("bf16", "fp16", "fp8", "fp8_e5m2")
    come back as these float32 values."""
    if rule == "bf16":
        return from_bits32(to_bf16_bits(x).astype(np.uint32) << 16)
    if rule == "fp16":
        return to_fp16_bits(x).view(np.float16).astype(np.float32)
    codes, s = to_fp8(x, rule)
    return fp8_decode(codes, rule, s)
