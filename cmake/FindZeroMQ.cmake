# ZeroMQ (libzmq), which zrdb-vlinkd links; Debian ships neither a CMake
# package nor a find module for it. Defines ZeroMQ::libzmq. A cross build
# finds the target's copy (Debian multiarch, libzmq3-dev:ARCH).
find_path(ZeroMQ_INCLUDE_DIR zmq.h)
find_library(ZeroMQ_LIBRARY NAMES zmq)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(ZeroMQ REQUIRED_VARS ZeroMQ_LIBRARY ZeroMQ_INCLUDE_DIR)
if(ZeroMQ_FOUND AND NOT TARGET ZeroMQ::libzmq)
  add_library(ZeroMQ::libzmq UNKNOWN IMPORTED)
  set_target_properties(ZeroMQ::libzmq PROPERTIES
    IMPORTED_LOCATION "${ZeroMQ_LIBRARY}" INTERFACE_INCLUDE_DIRECTORIES "${ZeroMQ_INCLUDE_DIR}")
endif()
mark_as_advanced(ZeroMQ_INCLUDE_DIR ZeroMQ_LIBRARY)
