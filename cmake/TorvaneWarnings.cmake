# SPDX-License-Identifier: MIT
# Compiler settings shared by every target: warnings, exact floating point, sanitizers.

# Image bytes are fixed by design: no contraction of a*b+c into fused operations and
# never fast-math, so that every platform computes the same bytes.
add_compile_options(-Wall -Wextra -Wpedantic -ffp-contract=off -fno-fast-math)

if(TORVANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(TORVANE_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
if(TORVANE_FUZZ)
  # Coverage for libFuzzer in every library; the fuzz targets link the fuzzer itself.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
