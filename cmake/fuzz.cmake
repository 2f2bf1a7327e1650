# The fuzz builds: clang's libFuzzer with the sanitizers, for this machine (fuzz) or, for the
# ASPI backend that speaks only the 32-bit request block, 32-bit (fuzz-aspi). AddressSanitizer
# does not run under the emulator that runs 32-bit programs where the machine cannot, so the
# 32-bit build checks undefined behaviour alone.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "the fuzz builds need clang and its libFuzzer runtime")
endif()
if(KELVO_TARGET STREQUAL "fuzz-aspi")
  set(KELVO_FUZZ_ARCH -m32)
  set(KELVO_FUZZ_SANITIZERS undefined)
else()
  set(KELVO_FUZZ_ARCH)
  set(KELVO_FUZZ_SANITIZERS address,undefined)
endif()
add_compile_options(${KELVO_FUZZ_ARCH} -g -O1 -fno-omit-frame-pointer
                    -fsanitize=fuzzer-no-link,${KELVO_FUZZ_SANITIZERS} -fno-sanitize-recover=all)
add_link_options(${KELVO_FUZZ_ARCH} -fsanitize=fuzzer,${KELVO_FUZZ_SANITIZERS})
