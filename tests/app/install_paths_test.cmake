# cmake -P: the relative paths for the layouts that packagers use.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/InstallPaths.cmake)
function(expect bindir libdir docdir module doc)
  kalvex_install_paths("${bindir}" "${libdir}" "${docdir}")
  if(NOT KALVEX_MODULE_FROM_BIN STREQUAL module OR NOT KALVEX_DOC_FROM_BIN STREQUAL doc)
    message(FATAL_ERROR "${bindir} ${libdir} ${docdir}: got ${KALVEX_MODULE_FROM_BIN} and ${KALVEX_DOC_FROM_BIN}")
  endif()
endfunction()
expect(/usr/local/bin /usr/local/lib/x86_64-linux-gnu /usr/local/share/doc/kalvex
       ../lib/x86_64-linux-gnu/kalvex ../share/doc/kalvex)
expect(/usr/bin /usr/lib64 /usr/share/doc/kalvex-1.0 ../lib64/kalvex ../share/doc/kalvex-1.0)
expect(/opt/kalvex/bin /opt/kalvex/lib /usr/share/doc/packages/kalvex ../lib/kalvex
       ../../../usr/share/doc/packages/kalvex)
