# The host build: 32-bit like the product, with the undefined-behaviour sanitizer.
add_compile_options(-m32 -fsanitize=undefined -fno-sanitize-recover=all -g)
add_link_options(-m32 -fsanitize=undefined)

# Run 32-bit programs under qemu where this machine cannot exec them itself.
set(probe_dir ${CMAKE_BINARY_DIR}/i386-probe)
file(WRITE ${probe_dir}/probe.c "int main(void) { return 0; }\n")
execute_process(COMMAND ${CMAKE_C_COMPILER} -m32 ${probe_dir}/probe.c -o ${probe_dir}/probe
                RESULT_VARIABLE probe_built OUTPUT_QUIET ERROR_QUIET)
if(NOT probe_built EQUAL 0)
  message(FATAL_ERROR "cannot build 32-bit programs: install g++-multilib")
endif()
execute_process(COMMAND ${probe_dir}/probe RESULT_VARIABLE probe_ran OUTPUT_QUIET ERROR_QUIET)
if(NOT probe_ran EQUAL 0)
  find_program(QEMU_I386 qemu-i386-static REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_I386})
  message(STATUS "32-bit programs run under ${QEMU_I386}")
endif()
set(KELVO_RUNNER "${CMAKE_CROSSCOMPILING_EMULATOR}" CACHE STRING
    "what runs a 32-bit program here; empty where the machine runs them itself" FORCE)
