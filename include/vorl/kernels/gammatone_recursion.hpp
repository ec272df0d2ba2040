#pragma once

// The per-sample recursion of one gammatone filter, written once over a value
// type V that is either a scalar or a vector of lanes, one filter per lane.
// Lanes perform exactly the scalar operations in the scalar order (no fused
// multiply-add, no reassociation), so every lane reproduces the scalar result
// bit for bit. The kernels that run several filters side by side are in
// gammatone_lanes.hpp, their variants and the choice among them in
// gammatone_kernel.hpp.

#include "vorl/simd/arch.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>


namespace vorl {
namespace detail {

/** All-pole outputs of smaller magnitude (2^-126, the least normal float) become +0. */
constexpr double flush_threshold = 1.1754943508222875e-38;
/** Bit pattern of `flush_threshold` (2^-126: exponent 1023 - 126, zero mantissa). */
constexpr std::int64_t flush_threshold_bits = std::int64_t(1023 - 126) << 52;

/** Filter constants of the recursion, one value (or one lane) per filter. */
template <typename V>
struct GammatoneCoefficients {
    V a0, a1, a2, a3, a4;  ///< feedback a0..a3; a0 and a4 also feed forward
    V gain;                ///< envelope scale
    V coscf, sincf;        ///< one-sample rotation at the centre frequency
};

/** Working state of the recursion, from rest at the first sample of a frame. */
template <typename V>
struct GammatoneState {
    V p1r, p2r, p3r, p4r;  ///< last four all-pole outputs, real part (p1 most recent)
    V p1i, p2i, p3i, p4i;  ///< the same, imaginary part
    V qc, qs;              ///< cos(t*theta) and -sin(t*theta) at sample t
    V total;               ///< leaky integral of the scaled envelope
};

template <typename V>
VORL_INLINE void start_at_rest(GammatoneState<V>& st, const V& zero) {
    st.p1r = st.p2r = st.p3r = st.p4r = zero;
    st.p1i = st.p2i = st.p3i = st.p4i = zero;
    st.qc = zero + 1;
    st.qs = zero;
    st.total = zero;
}

/** Math on a single value. */
template <typename T>
struct ScalarMath {
    static VORL_INLINE T sqrt(T x) { return std::sqrt(x); }
    static VORL_INLINE T flush(T x) {
        return std::fabs(x) < T(flush_threshold) ? T(0) : x;
    }
};

/** The complex baseband output of one sample, before the envelope is taken. */
template <typename V>
struct Baseband {
    V ur, ui;  ///< real and imaginary part
};

/**
 * Where `filter_stages` keeps the two oldest all-pole outputs of a state's
 * history (p3 and p4): here in the state's own fields. (A kernel may keep
 * them elsewhere, see `HistoryRings`.) The outputs are read as values: read
 * through references, GCC allocated the AVX-512 kernels' registers worse
 * (avx512f/k1f2 with a rotation table 7.4 ns per vector and sample, not 6.0).
 */
struct OlderInState {
    template <typename V>
    VORL_INLINE V p3r(const GammatoneState<V>& st) const { return st.p3r; }
    template <typename V>
    VORL_INLINE V p3i(const GammatoneState<V>& st) const { return st.p3i; }
    template <typename V>
    VORL_INLINE V p4r(const GammatoneState<V>& st) const { return st.p4r; }
    template <typename V>
    VORL_INLINE V p4i(const GammatoneState<V>& st) const { return st.p4i; }
    /** The history of `st` moves on by a sample with output p0: p4 <- p3, p3 <- p2. */
    template <typename V>
    VORL_INLINE void advance(GammatoneState<V>& st, const V&, const V&) const {
        st.p4r = st.p3r; st.p3r = st.p2r;
        st.p4i = st.p3i; st.p3i = st.p2i;
    }
};

/**
 * Advances the filter stages by one sample `s` that the rotation `(qc, qs)`
 * takes down to baseband and returns the baseband output of the sample.
 * Only the history of `st` is read and written: p1 and p2 in `st`, p3 and p4
 * where `older` keeps them (by default in `st` too).
 *
 * Every sum is evaluated left to right as written; `a0 * p1` serves both the
 * all-pole and the feed-forward stage.
 */
template <typename Math, typename V, typename S, typename Older = OlderInState>
VORL_INLINE Baseband<V> filter_stages(GammatoneState<V>& st,
                                      const GammatoneCoefficients<V>& c, S s, const V& qc,
                                      const V& qs, const Older& older = {}) {
    // All-pole stage: the sample rotated down to baseband plus the fourth-order feedback.
    const V a0p1r = c.a0 * st.p1r;
    const V a0p1i = c.a0 * st.p1i;
    const V p0r = Math::flush(s * qc + a0p1r + c.a1 * st.p2r + c.a2 * older.p3r(st) +
                              c.a3 * older.p4r(st));
    const V p0i = Math::flush(s * qs + a0p1i + c.a1 * st.p2i + c.a2 * older.p3i(st) +
                              c.a3 * older.p4i(st));

    // Feed-forward stage 1 + a0 z^-1 + a4 z^-2, on the history before this sample.
    const V ur = p0r + a0p1r + c.a4 * st.p2r;
    const V ui = p0i + a0p1i + c.a4 * st.p2i;

    older.advance(st, p0r, p0i);
    st.p2r = st.p1r; st.p1r = p0r;
    st.p2i = st.p1i; st.p1i = p0i;
    return {ur, ui};
}

/** The squared magnitude of the baseband output `u`: ur * ur + ui * ui. */
template <typename V>
VORL_INLINE V squared_magnitude(const Baseband<V>& u) {
    return u.ur * u.ur + u.ui * u.ui;
}

/**
 * Integrates the envelope of a baseband output of squared magnitude `power`
 * (its square root, scaled by the gain) into `total`:
 * total <- total * decay + sqrt(power) * gain.
 */
template <typename Math, typename V>
VORL_INLINE void integrate_power(V& total, const V& power,
                                        const GammatoneCoefficients<V>& c, const V& decay) {
    const V env = Math::sqrt(power);
    total = total * decay + env * c.gain;
}

/** Integrates the envelope of the baseband output `u` into `total` (`integrate_power`). */
template <typename Math, typename V>
VORL_INLINE void integrate_envelope(V& total, const Baseband<V>& u,
                                           const GammatoneCoefficients<V>& c, const V& decay) {
    integrate_power<Math>(total, squared_magnitude(u), c, decay);
}

/**
 * One sample through the filter stages (`filter_stages`), then its envelope
 * into `st.total` (`integrate_envelope`). Returns the baseband output of the
 * sample. `st.qc` and `st.qs` are neither read nor written.
 */
template <typename Math, typename V, typename S>
VORL_INLINE Baseband<V> filter_sample(GammatoneState<V>& st,
                                             const GammatoneCoefficients<V>& c, const V& decay,
                                             S s, const V& qc, const V& qs) {
    const Baseband<V> u = filter_stages<Math>(st, c, s, qc, qs);
    integrate_envelope<Math>(st.total, u, c, decay);
    return u;
}

/** Rotates `(qc, qs)` by -theta: (qc, qs) <- (cos*qc + sin*qs, cos*qs - sin*qc). */
template <typename V>
VORL_INLINE void advance_rotation(V& qc, V& qs, const GammatoneCoefficients<V>& c) {
    const V q = qc;
    qc = c.coscf * q + c.sincf * qs;
    qs = c.coscf * qs - c.sincf * q;
}

/**
 * Advances the recursion by one sample `s`: the filter stages with the
 * rotation of the state, then the rotation. Returns the baseband output.
 */
template <typename Math, typename V, typename S>
VORL_INLINE Baseband<V> gammatone_step(GammatoneState<V>& st,
                                              const GammatoneCoefficients<V>& c, const V& decay,
                                              S s) {
    const Baseband<V> u = filter_sample<Math>(st, c, decay, s, st.qc, st.qs);
    advance_rotation(st.qc, st.qs, c);
    return u;
}

/**
 * One sample of the real band-pass output: the baseband output `u` turned back
 * up to the centre frequency with the rotation `(qc, qs)` that took the sample
 * down, real part, scaled: gain * (ur * qc + ui * qs).
 */
template <typename V>
VORL_INLINE V band_sample(const Baseband<V>& u, const V& qc, const V& qs, const V& gain) {
    return gain * (u.ur * qc + u.ui * qs);
}

/**
 * The quadrature of `band_sample`: the imaginary part of the baseband output
 * turned back up, scaled, gain * (ui * qc - ur * qs). With `band_sample` as
 * real part it makes the band's analytic signal, whose magnitude is gain * |u|.
 */
template <typename V>
VORL_INLINE V quadrature_sample(const Baseband<V>& u, const V& qc, const V& qs,
                                       const V& gain) {
    return gain * (u.ui * qc - u.ur * qs);
}

/** Frame average of the integrated envelope, rescaled to the envelope's level. */
template <typename V, typename T>
VORL_INLINE V frame_average(const V& sum, T decay, std::size_t n) {
    return (T(1) - decay) * sum / static_cast<T>(n);
}

}  // namespace detail
}  // namespace vorl
