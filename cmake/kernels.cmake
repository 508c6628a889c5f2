# The row kernels, one copy per instruction set; the program picks one at
# run time, so the binary itself still runs on any x86-64. Which copies are
# built is decided by what the compiler targets, asked of the compiler
# itself: the processor's name differs from system to system (x86_64,
# AMD64, amd64), is empty in some cross builds, and says nothing of a macOS
# build for two processors at once, which gets the generic copy for both.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles("#if !defined(__x86_64__)\n#error not x86-64\n#endif\nint main() { return 0; }"
                          RIPPLE_TARGETS_X86_64)
check_cxx_source_compiles("#if !defined(__aarch64__)\n#error not ARM64\n#endif\nint main() { return 0; }"
                          RIPPLE_TARGETS_ARM64)

# -fno-math-errno only lets sqrt vectorise: it changes no result, and it
# must come after -fno-fast-math, which turns math-errno back on (so the
# common options are given here, first, not through ripple_flags). Nothing
# in a kernel throws, and -fno-exceptions leaves out the unwinding data that
# would make each object define a shared reference to the C++ personality
# routine. GCC 12 warns wrongly about the undefined vectors inside its own
# AVX-512 intrinsics (its bug 105593). Nothing else in the program is built
# with instruction-set flags.
function(ripple_kernels isa name)
  add_library(ripple_${isa} OBJECT src/ripple_simd.cpp)
  target_compile_definitions(ripple_${isa} PRIVATE RIPPLE_ISA=${isa} RIPPLE_ISA_NAME="${name}")
  target_compile_options(ripple_${isa} PRIVATE ${ripple_common_options} -O3 -fno-math-errno -fno-exceptions
                         ${ARGN} $<$<CXX_COMPILER_ID:GNU>:-Wno-maybe-uninitialized>)
  target_include_directories(ripple_${isa} PRIVATE src)
  target_sources(ripple_core PRIVATE $<TARGET_OBJECTS:ripple_${isa}>)
  set_property(GLOBAL APPEND PROPERTY ripple_kernel_objects $<TARGET_OBJECTS:ripple_${isa}>)
endfunction()

if(RIPPLE_TARGETS_X86_64)
  ripple_kernels(avx512 "AVX-512" -mavx512f -mavx512bw -mavx512dq -mavx512vl -mfma -mprefer-vector-width=512
                 -mtune=icelake-server)
  ripple_kernels(avx2 "AVX2" -mavx2 -mfma)
  ripple_kernels(baseline "SSE2")
  # What the choice of kernels in compose.cpp may refer to.
  target_compile_definitions(ripple_core PUBLIC RIPPLE_X86_KERNELS=1)
elseif(RIPPLE_TARGETS_ARM64)
  ripple_kernels(baseline "NEON")  # every ARMv8 core has NEON and FMA
else()
  ripple_kernels(baseline "baseline")
endif()
