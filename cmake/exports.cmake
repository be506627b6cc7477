# pluvane_exports(TARGET LIST): the shared object or DLL TARGET exports the
# functions LIST names and nothing else: a version script on Linux
# (LIST.map), a module-definition file on Windows (LIST.def).
function(pluvane_exports target list)
  if(WIN32)
    target_sources(${target} PRIVATE ${list}.def)
  else()
    target_link_options(${target} PRIVATE -Wl,--version-script=${list}.map)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${list}.map)
  endif()
endfunction()
