# Install.cmake -- what `cmake --install` puts where, the CMake package and
# pkg-config files that let other projects find the libraries, and the
# Debian package that `cpack -G DEB` (`make package`) makes of it all.
#
#   lib/libvelcert_64.so.1.0.0, lib/libvelfiledb_64.so.1.0.0 (and the
#       SONAME links .so.1 and the development links .so)
#   lib/cmake/velfiledb/   velfiledbConfig.cmake: velfiledb::velfiledb and
#                          velfiledb::velcert
#   lib/pkgconfig/         velfiledb.pc, velcert.pc
#   include/velfiledb/     the headers a caller of FileDBManager needs
#   bin/velkdb, share/man/man1/velkdb.1,
#   share/bash-completion/completions/velkdb
#   lib/ossl-modules/velfiledb.so      the OpenSSL store provider for velkdb:
#                                      URIs (VEL_OSSL_MODULESDIR)
#   share/velfiledb/velfiledb-openssl.cnf  an OpenSSL configuration that loads it
#
# Tests, benchmarks and the test PKI kit are never installed.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# --- versions ---------------------------------------------------------------------
# The libraries carry the project's version and a SONAME of its major
# number; the unversioned name stays as the development link, which the
# library manager opens beside libvelcert_64.so.
option(VEL_SOVERSION "Give the shared libraries a version and a SONAME (libX.so.MAJOR)" ON)
if(VEL_SOVERSION)
  set_target_properties(velcert_64 velfiledb_64 PROPERTIES VERSION ${PROJECT_VERSION}
                                                           SOVERSION ${PROJECT_VERSION_MAJOR})
endif()

# --- run paths ----------------------------------------------------------------------
# Installed programs find the installed libraries relative to themselves, so
# a tree installed under any prefix, or unpacked from the Debian package
# anywhere, runs without LD_LIBRARY_PATH; each library finds its sibling.
file(RELATIVE_PATH VEL_BIN_TO_LIB "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
set_target_properties(velcert_64 velfiledb_64 PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(velkdb PROPERTIES INSTALL_RPATH "$ORIGIN/${VEL_BIN_TO_LIB}")

# --- exported targets ---------------------------------------------------------------
# Inside this tree the include directories are the source folders; once
# installed, every public header sits in include/velfiledb.
set_target_properties(velcert_64 PROPERTIES EXPORT_NAME velcert)
set_target_properties(velfiledb_64 PROPERTIES EXPORT_NAME velfiledb)
set_property(TARGET velcert_64 PROPERTY INTERFACE_INCLUDE_DIRECTORIES
             "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/velcert/inc>")
set_property(TARGET velfiledb_64 PROPERTY INTERFACE_INCLUDE_DIRECTORIES
             "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/dbfile/inc>")

set(VEL_INCLUDE_SUBDIR "${CMAKE_INSTALL_INCLUDEDIR}/velfiledb")
set(VEL_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/velfiledb")

install(TARGETS velcert_64 velfiledb_64 EXPORT velfiledbTargets
        LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Runtime NAMELINK_COMPONENT Development
        INCLUDES DESTINATION "${VEL_INCLUDE_SUBDIR}")
install(TARGETS velkdb RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Tool)

# --- public headers -------------------------------------------------------------------
# Every header of the companion library's interface, and those of this
# library that the manager and the transaction guard include, directly or
# through others: followed from their quoted includes, so a header that the
# manager starts to include is installed without a change here.
file(GLOB VEL_VELCERT_HEADERS CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/velcert/inc/*.h")
# The manager and the guard are all an application needs; the storage,
# table and file classes are exported too, with what they reach.
set(VEL_PUBLIC_HEADER_ROOTS ${VEL_VELCERT_HEADERS} "${PROJECT_SOURCE_DIR}/dbfile/inc/filedbmanager.h"
                            "${PROJECT_SOURCE_DIR}/dbfile/inc/filedbtransactionguard.h")
foreach(exported dbfileglobal filedbstorage filedbkeystorage filedbkeypairstorage filedbcrlstorage filedbbinaryfile
                 stringdbbinaryfile filedbiterator filedbtransaction)
  list(APPEND VEL_PUBLIC_HEADER_ROOTS "${PROJECT_SOURCE_DIR}/dbfile/inc/${exported}.h")
endforeach()

function(vel_header_closure out)
  set(queue ${ARGN})
  set(seen "")
  while(queue)
    list(POP_FRONT queue header)
    if(header IN_LIST seen)
      continue()
    endif()
    list(APPEND seen "${header}")
    file(STRINGS "${header}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" name "${line}")
      set(found "")
      foreach(dir "${PROJECT_SOURCE_DIR}/dbfile/inc" "${PROJECT_SOURCE_DIR}/velcert/inc")
        if(NOT found AND EXISTS "${dir}/${name}")
          set(found "${dir}/${name}")
        endif()
      endforeach()
      if(found)
        list(APPEND queue "${found}")
      else()
        # make test-install fails on it too: a caller could not compile.
        message(WARNING "public header ${header} includes \"${name}\", which is in no public include directory")
      endif()
    endforeach()
  endwhile()
  list(SORT seen)
  set(${out} "${seen}" PARENT_SCOPE)
endfunction()

vel_header_closure(VEL_PUBLIC_HEADERS ${VEL_PUBLIC_HEADER_ROOTS})
# Configure again when an include line of one of them changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VEL_PUBLIC_HEADERS})
install(FILES ${VEL_PUBLIC_HEADERS} DESTINATION "${VEL_INCLUDE_SUBDIR}" COMPONENT Development)

# --- CMake package ----------------------------------------------------------------------
install(EXPORT velfiledbTargets NAMESPACE velfiledb:: FILE velfiledbTargets.cmake DESTINATION "${VEL_CMAKE_DIR}"
        COMPONENT Development)
configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/velfiledbConfig.cmake.in"
                              "${PROJECT_BINARY_DIR}/velfiledbConfig.cmake" INSTALL_DESTINATION "${VEL_CMAKE_DIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/velfiledbConfigVersion.cmake" VERSION ${PROJECT_VERSION}
                                 COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/velfiledbConfig.cmake" "${PROJECT_BINARY_DIR}/velfiledbConfigVersion.cmake"
        DESTINATION "${VEL_CMAKE_DIR}" COMPONENT Development)

# --- pkg-config -------------------------------------------------------------------------
# The files name the prefix they are installed under, which is known only
# when installing (cmake --install --prefix, or /usr in the package): the
# rest is filled in now, the prefix then.
set(VEL_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
set(VEL_PC_INCLUDEDIR "${VEL_INCLUDE_SUBDIR}")
foreach(pc velfiledb velcert)
  set(VEL_PC_PREFIX "@VEL_PC_PREFIX@")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in" "${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc.in" @ONLY)
  install(CODE "set(VEL_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
configure_file(\"${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc.in\" \"${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc\" @ONLY)"
          COMPONENT Development)
  install(FILES "${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig"
          COMPONENT Development)
endforeach()

# --- manual page and shell completion ---------------------------------------------------
install(FILES "${PROJECT_SOURCE_DIR}/tools/velkdb/velkdb.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT Tool)
install(FILES "${PROJECT_SOURCE_DIR}/tools/velkdb/velkdb.bash-completion"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" RENAME velkdb COMPONENT Tool)

# --- OpenSSL store provider -----------------------------------------------------------
# The module finds the libraries from its own folder; the example
# configuration names the module by its installed path, known only when
# installing (as for the pkg-config files).
set(VEL_OSSL_MODULESDIR "${CMAKE_INSTALL_LIBDIR}/ossl-modules" CACHE STRING
    "where the OpenSSL provider module velfiledb.so is installed, relative to the prefix")
file(RELATIVE_PATH VEL_MODULE_TO_LIB "${CMAKE_INSTALL_PREFIX}/${VEL_OSSL_MODULESDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
set_target_properties(velfiledb_provider PROPERTIES INSTALL_RPATH "$ORIGIN/${VEL_MODULE_TO_LIB}")
install(TARGETS velfiledb_provider LIBRARY DESTINATION "${VEL_OSSL_MODULESDIR}" COMPONENT Runtime)
set(VEL_PROVIDER_CNF "${CMAKE_INSTALL_DATADIR}/velfiledb/velfiledb-openssl.cnf")
install(CODE "set(VEL_PROVIDER_MODULE \"\${CMAKE_INSTALL_PREFIX}/${VEL_OSSL_MODULESDIR}/velfiledb.so\")
set(VEL_PROVIDER_CONF \"\${CMAKE_INSTALL_PREFIX}/${VEL_PROVIDER_CNF}\")
configure_file(\"${PROJECT_SOURCE_DIR}/provider/velfiledb-openssl.cnf.in\" \"${PROJECT_BINARY_DIR}/velfiledb-openssl.cnf\" @ONLY)"
        COMPONENT Runtime)
install(FILES "${PROJECT_BINARY_DIR}/velfiledb-openssl.cnf" DESTINATION "${CMAKE_INSTALL_DATADIR}/velfiledb"
        COMPONENT Runtime)

# --- Debian package (cpack -G DEB) ------------------------------------------------------
# One package: the libraries, what a program that uses them builds with,
# and the tool.  Its run-time dependencies (libssl3, libc6, libstdc++6, ...)
# come from dpkg-shlibdeps.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "velfiledb")
set(CPACK_PACKAGE_VENDOR "velfiledb developers")
set(CPACK_PACKAGE_CONTACT "velfiledb developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "password-protected certificate and key database in files")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "velfiledb keeps certificates with their private keys, key pairs with their certification requests, and "
       "certificate revocation lists in password-protected table files.  This package holds the libraries "
       "libvelfiledb_64 and libvelcert_64, their headers, CMake and pkg-config files, the command-line "
       "tool velkdb, and the OpenSSL 3 provider module velfiledb.so that lets OpenSSL applications load keys, "
       "certificates and CRLs from a database through velkdb: URIs.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "velfiledb developers")
set(CPACK_DEBIAN_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libssl-dev, pkgconf")
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX "${PROJECT_BINARY_DIR}/package")
include(CPack)
