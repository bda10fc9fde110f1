# Build-time tools that must run on the build machine. A cross build (the 32-bit Windows one)
# cannot count on running its own executables: Wine may be missing, or the kernel may have its
# 32-bit support switched off. The database files are the same bytes on every platform, so a
# cross build makes BASE with a kyvdb built natively from this same source tree.
#
# Sets KYV_KYVDB_COMMAND (what to run) and KYV_KYVDB_DEPENDS (what the command waits for).
if(NOT CMAKE_CROSSCOMPILING)
  set(KYV_KYVDB_COMMAND kyvdb)
  set(KYV_KYVDB_DEPENDS kyvdb)
  return()
endif()

set(KYV_HOST_KYVDB "" CACHE FILEPATH "A native kyvdb to build BASE with (built here when empty)")
if(KYV_HOST_KYVDB)
  set(KYV_KYVDB_COMMAND ${KYV_HOST_KYVDB})
  set(KYV_KYVDB_DEPENDS ${KYV_HOST_KYVDB})
  return()
endif()

include(ExternalProject)
set(host_dir ${CMAKE_BINARY_DIR}/host-tools)
ExternalProject_Add(kyv_host_kyvdb
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${host_dir}
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DKYV_TESTS=OFF -DKYV_FUZZ=OFF -DKYV_BENCH=OFF
             -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${host_dir} --target kyvdb
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${host_dir}/bin/kyvdb)
set(KYV_KYVDB_COMMAND ${host_dir}/bin/kyvdb)
set(KYV_KYVDB_DEPENDS kyv_host_kyvdb ${host_dir}/bin/kyvdb)
