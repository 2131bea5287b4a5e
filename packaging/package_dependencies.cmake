# Run by cpack once the files to be packed are in place. For the Debian package,
# dpkg-shlibdeps reads the libraries the programs and the GTK module use: the programs'
# become Depends, the module's Recommends (dpkg-shlibdeps leaves out of Recommends what
# Depends holds already). Without dpkg-shlibdeps the fixed lists of the build stay.
find_program(KV_SHLIBDEPS dpkg-shlibdeps)
if(CPACK_GENERATOR STREQUAL "DEB" AND KV_SHLIBDEPS)
  set(staged "${CPACK_TEMPORARY_DIRECTORY}")
  file(GLOB programs "${staged}/usr/bin/*")
  file(GLOB modules "${staged}/usr/lib/*/libkvgtk.so" "${staged}/usr/lib/*/*/libkvgtk.so")
  if(NOT programs OR NOT modules)
    message(FATAL_ERROR "no programs or no GTK module in ${staged}")
  endif()
  list(TRANSFORM programs PREPEND "-e")
  list(TRANSFORM modules PREPEND "-e")
  set(work "${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps")
  file(REMOVE_RECURSE "${work}")
  file(MAKE_DIRECTORY "${work}/debian")
  file(WRITE "${work}/debian/control" "Source: kelvane\n\nPackage: kelvane\nArchitecture: any\n")
  execute_process(
    COMMAND "${KV_SHLIBDEPS}" -O --warnings=0 ${programs} -dRecommends ${modules}
    WORKING_DIRECTORY "${work}" RESULT_VARIABLE status
    OUTPUT_VARIABLE found ERROR_VARIABLE problems)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-shlibdeps failed:\n${problems}")
  endif()
  if(found MATCHES "shlibs:Depends=([^\n]*)")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
  endif()
  if(found MATCHES "shlibs:Recommends=([^\n]*)")
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${CMAKE_MATCH_1}, avahi-daemon")
  endif()
endif()
