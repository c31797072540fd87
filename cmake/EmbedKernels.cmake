# Writes a C++ file that carries the kernel source as three text units:
# the dtype prelude, the cast kernels, and the main unit joined from the
# numbered files of the main folder in name order (the section order).
#   cmake -DOUT=<file> -DKERNEL_DIR=<kernels/> -P EmbedKernels.cmake
file(READ ${KERNEL_DIR}/_typed_prelude.cuh prelude)
file(READ ${KERNEL_DIR}/cast.cu cast)
file(GLOB mains ${KERNEL_DIR}/main/*.cu)
list(SORT mains)
set(main "")
foreach(f IN LISTS mains)
  file(READ ${f} content)
  string(APPEND main "${content}")
endforeach()
set(delim "tvn_kernel_src")
foreach(unit IN ITEMS prelude cast main)
  string(FIND "${${unit}}" ")${delim}\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "kernel unit ${unit} contains the raw-string delimiter")
  endif()
endforeach()
file(WRITE ${OUT}.tmp "// Generated from kernels/ at build time; do not edit.\n"
  "#include \"kernel_source.h\"\n"
  "namespace tesvan {\n"
  "const KernelSourceUnits& kernel_source_units() {\n"
  "  static const KernelSourceUnits units{\n"
  "    R\"${delim}(${prelude})${delim}\",\n"
  "    R\"${delim}(${cast})${delim}\",\n"
  "    R\"${delim}(${main})${delim}\"};\n"
  "  return units;\n"
  "}\n"
  "}  // namespace tesvan\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUT}.tmp ${OUT})
