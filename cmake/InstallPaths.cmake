# Where the installed program finds its window module and its manual: paths
# relative to the program's folder, computed from the full install folders,
# so that an absolute CMAKE_INSTALL_LIBDIR (/usr/lib64) or another
# CMAKE_INSTALL_DOCDIR works too. One variable per path serves the install
# rule and the code.
#   kalvex_install_paths(BINDIR LIBDIR DOCDIR) with full paths sets
#   KALVEX_MODULE_FROM_BIN and KALVEX_DOC_FROM_BIN in the caller's scope.
function(kalvex_install_paths bindir libdir docdir)
  file(RELATIVE_PATH module "${bindir}" "${libdir}/kalvex")
  file(RELATIVE_PATH doc "${bindir}" "${docdir}")
  set(KALVEX_MODULE_FROM_BIN "${module}" PARENT_SCOPE)
  set(KALVEX_DOC_FROM_BIN "${doc}" PARENT_SCOPE)
endfunction()
