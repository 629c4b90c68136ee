# Helpers to assemble nasm programs and embed binary files as C++ byte arrays at build time.

find_program(STELVARION_NASM nasm)
if(NOT STELVARION_NASM)
  message(FATAL_ERROR "nasm not found: it assembles the boot programs (Debian package nasm)")
endif()

# stelvarion_assemble(<output.bin> <source.asm> [INCLUDE_DIRS dir...])
# Flat binary; nasm warnings are errors. Included files are tracked through a depfile.
function(stelvarion_assemble output source)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "INCLUDE_DIRS")
  get_filename_component(source "${source}" ABSOLUTE)
  get_filename_component(source_dir "${source}" DIRECTORY)
  set(include_flags "-I${source_dir}/")
  foreach(dir IN LISTS arg_INCLUDE_DIRS)
    list(APPEND include_flags "-I${dir}/")
  endforeach()
  # nasm 2.16 leaves included files out of the -MD list it writes while assembling, so the
  # dependencies come from a separate -M run.
  add_custom_command(
    OUTPUT "${output}"
    COMMAND "${STELVARION_NASM}" -M -MT "${output}" -MF "${output}.d" ${include_flags} "${source}"
    COMMAND "${STELVARION_NASM}" -f bin -Werror ${include_flags} -o "${output}" "${source}"
    DEPENDS "${source}"
    DEPFILE "${output}.d"
    COMMENT "Assembling ${source}"
    VERBATIM)
endfunction()

# stelvarion_embed(<output.cpp> <input> HEADER <header> FUNCTION <name> [FIXED_EXTENT])
# Generates <output.cpp> defining the function declared in <header> (see embed_binary.cmake).
function(stelvarion_embed output input)
  cmake_parse_arguments(PARSE_ARGV 2 arg "FIXED_EXTENT" "HEADER;FUNCTION" "")
  if(arg_FIXED_EXTENT)
    set(extent ON)
  else()
    set(extent OFF)
  endif()
  add_custom_command(
    OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" -DINPUT=${input} -DOUTPUT=${output} -DHEADER=${arg_HEADER}
            -DFUNCTION=${arg_FUNCTION} -DFIXED_EXTENT=${extent}
            -P "${PROJECT_SOURCE_DIR}/cmake/embed_binary.cmake"
    DEPENDS "${input}" "${PROJECT_SOURCE_DIR}/cmake/embed_binary.cmake"
    COMMENT "Embedding ${input}"
    VERBATIM)
endfunction()
