"""The gammatone design and recursion written out in plain Python floats.

Python floats are IEEE doubles, `math` calls the same C library, and every
expression keeps the operand order of the native code, so the results must
agree bit for bit. Slow, for short frames and a few filters only.
"""
import math

TINY = 1.1754943508222875e-38  # 2**-126


def hz_to_erb_rate(f):
    return 21.4 * math.log10(f * 0.00437 + 1)


def erb_rate_to_hz(e):
    return (math.pow(10, e / 21.4) - 1) / 0.00437


def design(low_Hz, high_Hz, count, sample_rate, bandwidth_factor=1.019):
    """Filters as (cf, a, gain, coscf, sincf), for count >= 2."""
    e_low = hz_to_erb_rate(low_Hz)
    spacing = (hz_to_erb_rate(high_Hz) - e_low) / (count - 1)
    w = 6.283185307179586 / sample_rate
    filters = []
    for i in range(count):
        cf = erb_rate_to_hz(i * spacing + e_low)
        b = (cf * 0.00437 + 1) * 24.7 * w * bandwidth_factor
        r = math.exp(-b)
        a = [r * 4, r * -6 * r, r * 4 * r * r, -r * r * r * r, r * r]
        filters.append((cf, a, b * b * b * b / 3, math.cos(cf * w), math.sin(cf * w)))
    return filters


def _flush(v):
    return 0.0 if abs(v) < TINY else v


def process(x, filt, decay):
    cf, a, gain, coscf, sincf = filt
    p1r = p2r = p3r = p4r = p1i = p2i = p3i = p4i = 0.0
    qc, qs, total, total_sum = 1.0, 0.0, 0.0, 0.0
    for s in x:
        p0r = _flush(s * qc + a[0] * p1r + a[1] * p2r + a[2] * p3r + a[3] * p4r)
        p0i = _flush(s * qs + a[0] * p1i + a[1] * p2i + a[2] * p3i + a[3] * p4i)
        ur = p0r + a[0] * p1r + a[4] * p2r
        ui = p0i + a[0] * p1i + a[4] * p2i
        p4r, p3r, p2r, p1r = p3r, p2r, p1r, p0r
        p4i, p3i, p2i, p1i = p3i, p2i, p1i, p0i
        total = total * decay + math.sqrt(ur * ur + ui * ui) * gain
        total_sum += total
        qc, qs = coscf * qc + sincf * qs, coscf * qs - sincf * qc
    return (1 - decay) * total_sum / len(x)
