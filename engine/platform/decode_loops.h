// Platform: how the functions that hold the decode loops are compiled.
//
// On x86-64 they are built twice, for plain x86-64 and for processors of the x86-64-v3 level, and
// the loader picks one when the program starts. The loops are chains of shifts by amounts just
// loaded from a table: BMI2's shifts by a register neither read nor write the flags and need no
// count register, which on some processors makes each link of a chain shorter. Elsewhere, and
// with RAVMOLT_PLAIN_DECODE_LOOPS (so that a test run on a newer processor can check the plain
// ones too), they are built once for the target. So they are under ThreadSanitizer, whose
// runtime is not ready yet when the loader picks (every such program crashed at start).
#pragma once

#if defined(__has_feature)
#if __has_feature(thread_sanitizer) && !defined(RAVMOLT_PLAIN_DECODE_LOOPS)
#define RAVMOLT_PLAIN_DECODE_LOOPS
#endif
#endif
#if defined(__SANITIZE_THREAD__) && !defined(RAVMOLT_PLAIN_DECODE_LOOPS)
#define RAVMOLT_PLAIN_DECODE_LOOPS
#endif

#if defined(__x86_64__) && !defined(RAVMOLT_PLAIN_DECODE_LOOPS)
#define RAVMOLT_DECODE_LOOP [[gnu::target_clones("arch=x86-64-v3", "default")]]
#else
#define RAVMOLT_DECODE_LOOP
#endif
