# Where `cmake --install` puts each part. Each host is installed only when the
# tree builds it, so the same rules serve a tree with or without the proxy and
# the Apache module (which installs itself into apxs's module directory).
set(RG_INSTALL_MODULE_DIR "lib/ravelgard" CACHE STRING
  "Where Ravelgard.so goes (relative to the prefix, or absolute)")

if(TARGET ravelgard)
  install(TARGETS ravelgard RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(TARGETS Ravelgard LIBRARY DESTINATION ${RG_INSTALL_MODULE_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/examples/Ravelgard.ini
  DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/ravelgard)

# The service runs `ravelgard serve`: without the proxy there is nothing to run.
if(TARGET rg_proxy)
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_get_variable(RG_PC_UNIT_DIR systemd systemdsystemunitdir)
    pkg_get_variable(RG_PC_TMPFILES_DIR systemd tmpfilesdir)
  endif()
  if(NOT RG_PC_UNIT_DIR)
    set(RG_PC_UNIT_DIR "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
  endif()
  if(NOT RG_PC_TMPFILES_DIR)
    set(RG_PC_TMPFILES_DIR "${CMAKE_INSTALL_PREFIX}/lib/tmpfiles.d")
  endif()
  set(RG_SYSTEMD_UNIT_DIR "${RG_PC_UNIT_DIR}" CACHE PATH "Where ravelgard.service goes")
  set(RG_TMPFILES_DIR "${RG_PC_TMPFILES_DIR}" CACHE PATH "Where the log retention rule goes")
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/systemd/ravelgard.service
    DESTINATION ${RG_SYSTEMD_UNIT_DIR})
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/systemd/ravelgard.default
    DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default RENAME ravelgard)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/systemd/ravelgard.tmpfiles
    DESTINATION ${RG_TMPFILES_DIR} RENAME ravelgard.conf)
endif()
