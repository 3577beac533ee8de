// The decoding core's hottest loops are built twice, for the baseline x86-64
// instruction set and for AVX2, and the dynamic loader picks one copy per
// function once, by the CPU the library runs on (GCC's function clones,
// resolved through an ifunc). The loops are written for the compiler to
// vectorise; AVX2 doubles their lanes. Integer results are identical in both
// copies, and floating-point code keeps its operations and their order: AVX2
// does not enable fused multiply-add, so no product and sum are contracted.
//
// Only code inlined into a clone is built for its instruction set. A helper
// that runs a clone's loops is therefore marked TL_INLINE_IN_CLONES (a
// lambda, TL_INLINE_LAMBDA): called from both copies, the compiler would
// otherwise keep it out of line, built once for the baseline.
//
// Elsewhere (other compilers or architectures), under ThreadSanitizer (whose
// instrumented resolver would run before its runtime is set up, at load
// time) or with TL_NO_VECTOR_CLONES defined, the functions are built once
// for the target as usual.
#ifndef TL_CORE_DECODER_VECTOR_CLONES_H_
#define TL_CORE_DECODER_VECTOR_CLONES_H_

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) && \
    !defined(__SANITIZE_THREAD__) && !defined(TL_NO_VECTOR_CLONES)
#define TL_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#define TL_INLINE_IN_CLONES inline __attribute__((always_inline))
#define TL_INLINE_LAMBDA __attribute__((always_inline))
#else
#define TL_VECTOR_CLONES
#define TL_INLINE_IN_CLONES inline
#define TL_INLINE_LAMBDA
#endif

#endif  // TL_CORE_DECODER_VECTOR_CLONES_H_
