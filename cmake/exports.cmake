# What a module's shared library exports, and how it reaches its own
# exported names.
#
# A symbol left to the dynamic linker can be taken over by a library loaded
# earlier with the same name (or by LD_PRELOAD), and the module would then
# call that one instead of its own code. So on ELF the exported names bind
# inside the library (-Bsymbolic), and a version script exports exactly the
# given names: the compiler may still give some instantiations default
# visibility (clang does for weak std:: ones without optimisation). Mach-O
# binds each name to the library that defines it already, and needs only
# the list; a DLL exports what is marked for it and nothing else.
function(corvane_exports target)
  if(WIN32)
    return()
  endif()
  if(APPLE)
    list(TRANSFORM ARGN PREPEND "_")
    list(JOIN ARGN "\n" names)
    set(file "${CMAKE_CURRENT_BINARY_DIR}/${target}.exports")
    file(WRITE "${file}" "${names}\n")
    target_link_options(${target} PRIVATE "LINKER:-exported_symbols_list,${file}")
  else()
    list(JOIN ARGN ";\n    " names)
    set(file "${CMAKE_CURRENT_BINARY_DIR}/${target}.map")
    file(WRITE "${file}" "{\n  global:\n    ${names};\n  local: *;\n};\n")
    target_link_options(${target} PRIVATE "LINKER:--version-script=${file}" "LINKER:-Bsymbolic")
  endif()
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${file}")
endfunction()
