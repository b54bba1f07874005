// Functions written in one instruction set's intrinsics, compiled for that
// set beside the build's baseline (callers check that the processor runs it).
// The lanes' own order of operations is what matters; keep the compiler from
// rewriting these loops into shapes of its own.
#pragma once

#if defined(__clang__)
#define ZELMOR_INTRINSICS_TARGET(isa) __attribute__((target(isa)))
#else
#define ZELMOR_INTRINSICS_TARGET(isa) __attribute__((target(isa), optimize("no-tree-vectorize")))
#endif
