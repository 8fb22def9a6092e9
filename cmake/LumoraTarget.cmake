# Compile settings shared by every target of the project's own code.

# Most of a file's compile time is spent parsing Qt's, the standard library's and
# GoogleTest's headers. With this on, one target per kind of code parses them once
# (lumora_precompiled for the program, lumora_test_precompiled for the tests at -O0)
# and every other target reuses its precompiled header. Off, each file must still
# compile: every file includes what it uses.
option(LUMORA_PRECOMPILE "Parse the common library headers once per build" ON)

# lumora_target_defaults(target [WITHOUT_QT] [PRECOMPILED_FROM owner])
# WITHOUT_QT: a program that links no Qt, and so has no precompiled header to reuse.
function(lumora_target_defaults target)
  cmake_parse_arguments(D "WITHOUT_QT" "PRECOMPILED_FROM" "" ${ARGN})
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  if(LUMORA_SANITIZE)
    target_compile_options(${target} PUBLIC -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PUBLIC -fsanitize=address,undefined -fno-sanitize-recover=all)
  endif()
  if(LUMORA_FUZZ)
    # Coverage feedback for libFuzzer in every library a fuzz target links.
    target_compile_options(${target} PUBLIC -fsanitize=fuzzer-no-link)
  endif()
  if(NOT D_PRECOMPILED_FROM)
    set(D_PRECOMPILED_FROM lumora_precompiled)
  endif()
  # A header precompiled with other options is refused (-Winvalid-pch, an error here).
  # Targets in C alone (the tokenizer) have nothing to reuse.
  get_target_property(sources ${target} SOURCES)
  list(FILTER sources INCLUDE REGEX "\\.cpp$")
  if(LUMORA_PRECOMPILE AND sources AND NOT D_WITHOUT_QT AND NOT target STREQUAL D_PRECOMPILED_FROM)
    target_precompile_headers(${target} REUSE_FROM ${D_PRECOMPILED_FROM})
    # Most targets' generated moc file is empty: loading the header would be its cost.
    get_target_property(binary_dir ${target} BINARY_DIR)
    set_source_files_properties(${binary_dir}/${target}_autogen/mocs_compilation.cpp
      TARGET_DIRECTORY ${target} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
  endif()
endfunction()
