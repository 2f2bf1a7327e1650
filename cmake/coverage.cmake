# Coverage counters in the host build. The undefined-behaviour sanitizer is turned off here:
# each of its checks is a branch of its own, which would be counted with the code's.
add_compile_options(-fno-sanitize=all --coverage)
add_link_options(--coverage)
