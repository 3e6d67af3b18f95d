# Fails when code outside the X11 backend includes an X11 header (xcb, Xlib and their extensions).
# The backend's own tests and benchmark may: they drive a real X server.
file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/src/*.cpp ${SOURCE_DIR}/src/*.h ${SOURCE_DIR}/tools/*.cpp
     ${SOURCE_DIR}/tools/*.h ${SOURCE_DIR}/tests/*.cpp ${SOURCE_DIR}/tests/*.h ${SOURCE_DIR}/bench/*.cpp
     ${SOURCE_DIR}/bench/*.h)
set(offenders "")
foreach(f ${files})
  if(f MATCHES "^src/platform/x11/" OR f MATCHES "^tests/x11/" OR f STREQUAL "bench/x11_bench.cpp")
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/${f} hits REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](xcb/|X11/|platform/x11/)")
  if(hits)
    list(APPEND offenders "${f}: ${hits}")
  endif()
endforeach()
# Likewise the sound server's headers stay in the Linux desktop services (src/platform/linux),
# which only the X11 backend's factory and the tests reach.
foreach(f ${files})
  if(f MATCHES "^src/platform/linux/" OR f MATCHES "^tests/(linux|x11)/" OR f STREQUAL "src/platform/x11/x11_backend.cpp")
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/${f} hits REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](pulse/|pipewire/|platform/linux/)")
  if(hits)
    list(APPEND offenders "${f}: ${hits}")
  endif()
endforeach()
if(offenders)
  string(REPLACE ";" "\n  " text "${offenders}")
  message(FATAL_ERROR "backend headers included outside their backend:\n  ${text}")
endif()
message(STATUS "no X11 or sound-server header outside its backend")
