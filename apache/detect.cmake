# Whether this machine can build mod_ravelgard: Apache's apxs tool and the APR
# development files. Sets RG_APACHE_FOUND for the RG_BUILD_APACHE default.
find_program(RG_APXS NAMES apxs apxs2)
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(RG_APR QUIET IMPORTED_TARGET apr-1 apr-util-1)
endif()
if(RG_APXS AND RG_APR_FOUND)
  set(RG_APACHE_FOUND ON)
else()
  set(RG_APACHE_FOUND OFF)
endif()
