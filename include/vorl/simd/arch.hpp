#pragma once

// The instruction sets Vorl's kernels are compiled for, the one probe of the
// CPU and the one choice among them. Every kernel family (the gammatone
// recursion, the synthesis) writes its work once over W-lane vectors, then
// instantiates it with `VORL_FOR_EACH_ISA` and picks its variant with
// `simd::dispatch`: all kernels run on the same instruction set.
//
// No variant changes a result: lanes perform exactly the scalar operations in
// the scalar order, so the choice affects speed only.

#include <cstddef>
#include <cstdint>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>

/// Inlined into its caller, and so compiled for the caller's instruction set.
#define VORL_INLINE inline __attribute__((always_inline))
/// The same for lambdas (placed after the parameter list).
#define VORL_INLINE_LAMBDA __attribute__((always_inline))

/**
 * The instruction sets, widest first: `X(name, W)` with the vector width W in
 * doubles. `VORL_TARGET_<name>` is the function attribute that compiles for
 * the set. The last entry runs on every CPU of the architecture.
 */
#if defined(__x86_64__) || defined(__i386__)
#define VORL_FOR_EACH_ISA(X) X(avx512f, 8) X(avx2, 4) X(sse2, 2)
#define VORL_TARGET_avx512f __attribute__((target("avx512f")))
#define VORL_TARGET_avx2 __attribute__((target("avx2")))
#define VORL_TARGET_sse2
#else
#define VORL_FOR_EACH_ISA(X) X(generic, 2)
#define VORL_TARGET_generic
#endif

namespace vorl {
namespace simd {

/** W doubles side by side in a GCC vector type, and a mask of the same shape. */
template <int W>
struct Lanes {
    typedef double Vec __attribute__((vector_size(8 * W)));
    typedef std::int64_t Mask __attribute__((vector_size(8 * W)));
};

/**
 * Vector registers a kernel of W-lane vectors has: 32 with AVX-512 (and on
 * AArch64), 16 with AVX2 and SSE2.
 */
template <int W>
constexpr int registers() {
#if defined(__x86_64__) || defined(__i386__)
    return W >= 8 ? 32 : 16;
#else
    return 32;
#endif
}

#if defined(__x86_64__) || defined(__i386__)
inline bool supports_avx512f() { return __builtin_cpu_supports("avx512f"); }
inline bool supports_avx2() { return __builtin_cpu_supports("avx2"); }
inline bool supports_sse2() { return true; }
#else
inline bool supports_generic() { return true; }
#endif

/** The CPU's maker and model, as CPUID reports them (x86 only). */
struct CpuModel {
    std::string vendor;      ///< "AuthenticAMD", "GenuineIntel"; empty where unknown
    unsigned family = 0;     ///< display family: base family, plus extended family if 15
    unsigned model = 0;      ///< display model: with the extended model for families 6 and 15
};

/** The model of the CPU this process runs on; an empty vendor off x86. */
inline CpuModel cpu_model() {
    CpuModel cpu;
#if defined(__x86_64__) || defined(__i386__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(0, &a, &b, &c, &d) == 0) return cpu;
    char vendor[12];
    std::memcpy(vendor, &b, 4);
    std::memcpy(vendor + 4, &d, 4);
    std::memcpy(vendor + 8, &c, 4);
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return cpu;
    cpu.vendor.assign(vendor, sizeof vendor);
    const unsigned family = (a >> 8) & 0xF, model = (a >> 4) & 0xF;
    cpu.family = family == 0xF ? family + ((a >> 20) & 0xFF) : family;
    cpu.model = family == 0x6 || family == 0xF ? model + (((a >> 16) & 0xF) << 4) : model;
#endif
    return cpu;
}

/** One instruction set of the list. */
struct Isa {
    const char* name;
    int width;          ///< doubles per vector
    bool (*supported)();  ///< whether this CPU runs it
};

#define VORL_ISA_ENTRY(name, W) Isa{#name, W, &supports_##name},
/** Every instruction set, in the order of `VORL_FOR_EACH_ISA`. */
inline constexpr Isa isas[] = {VORL_FOR_EACH_ISA(VORL_ISA_ENTRY)};
#undef VORL_ISA_ENTRY
inline constexpr std::size_t isa_count = std::size(isas);

#define VORL_ISA_ID(name, W) name,
/** Each instruction set's index in `isas`, by name: `IsaId::avx2`. */
enum IsaId : std::size_t { VORL_FOR_EACH_ISA(VORL_ISA_ID) };
#undef VORL_ISA_ID

/**
 * The variant VORL_KERNEL names after the instruction set ("k2" of
 * "avx512f/k2"), or an empty string: kernel families with several variants per
 * instruction set choose among them by it, or else by measuring them.
 */
inline std::string forced_variant() {
    const char* forced = std::getenv("VORL_KERNEL");
    const char* slash = forced != nullptr ? std::strchr(forced, '/') : nullptr;
    return slash != nullptr ? std::string(slash + 1) : std::string();
}

/**
 * Index in `isas` of the instruction set every kernel uses, chosen once per
 * process: the one named by the environment variable VORL_KERNEL if set (for
 * tests and benchmarks: "avx2", or "avx2/k1" for one variant of a kernel
 * family), otherwise the widest this CPU supports.
 *
 * @throws std::runtime_error if VORL_KERNEL names no instruction set of the
 *         list, or one this CPU cannot run
 */
inline std::size_t chosen_isa() {
    static const std::size_t chosen = [] {
        const char* variable = std::getenv("VORL_KERNEL");
        if (variable != nullptr && *variable != '\0') {
            const std::string forced(variable, std::strcspn(variable, "/"));
            std::string names;
            for (std::size_t i = 0; i < isa_count; ++i) {
                if (forced == isas[i].name) {
                    if (!isas[i].supported()) {
                        throw std::runtime_error("VORL_KERNEL=" + forced +
                                                 ": this CPU does not support it");
                    }
                    return i;
                }
                names += (i ? ", " : "") + std::string(isas[i].name);
            }
            throw std::runtime_error("VORL_KERNEL=" + forced + ": not one of " + names);
        }
        std::size_t i = 0;
        while (!isas[i].supported()) ++i;  // the last is always supported
        return i;
    }();
    return chosen;
}

/** The variant of a kernel for the chosen instruction set; `variants` follow `isas`. */
template <typename Variant>
const Variant& dispatch(const Variant (&variants)[isa_count]) {
    return variants[chosen_isa()];
}

}  // namespace simd
}  // namespace vorl
