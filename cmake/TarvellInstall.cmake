# Where an install puts the project's files. Programs, the SANE backend, its configuration and the
# udev rule go where the system looks for them; what only the project's own programs use (the two
# shared platform libraries and the Finishing plug-in bundle) goes into a folder of the project's
# own, <libdir>/tarvell (/usr/lib/<multiarch>/tarvell with the prefix /usr).
#
# The print system and toolbox stand-ins stay shared libraries because a dialog and the plug-in it
# loads must share one instance of their state; everything else is linked statically. The files
# that use them find them through a run path relative to their own place ($ORIGIN), so an install
# works under any prefix, and so does a package unpacked into any folder.
include(GNUInstallDirs)
set(TARVELL_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/tarvell)
set(TARVELL_BUNDLE_INSTALL_DIR ${TARVELL_PRIVATE_LIBDIR}/Finishing.plugin)

# Gives `target`, installed into `dir` (relative to the prefix), a run path to the private folder.
function(tarvell_private_runpath target dir)
  file(RELATIVE_PATH _up "/${dir}" "/${TARVELL_PRIVATE_LIBDIR}")
  string(REGEX REPLACE "/$" "" _up "${_up}")
  if(_up STREQUAL "")
    set(_up ".")
  endif()
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${_up}")
endfunction()
