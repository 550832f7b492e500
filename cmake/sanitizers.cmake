# Sanitizer builds: -DVELKORD_SANITIZE=address (AddressSanitizer together with
# UndefinedBehaviorSanitizer) or -DVELKORD_SANITIZE=thread (ThreadSanitizer).
# Included before the first target is defined, so the flags reach the gateway
# modules, the tools, the tests and their support library alike.
set(VELKORD_SANITIZE "" CACHE STRING "Sanitizer build: empty, address or thread")
set_property(CACHE VELKORD_SANITIZE PROPERTY STRINGS "" address thread)

if(VELKORD_SANITIZE STREQUAL "")
  return()
endif()

if(VELKORD_SANITIZE STREQUAL "address")
  # Every finding is fatal: a report that lets the program go on can scroll
  # past unnoticed in a long test run.
  set(velkord_sanitize_flags -fsanitize=address,undefined -fno-omit-frame-pointer
                             -fno-sanitize-recover=all)
elseif(VELKORD_SANITIZE STREQUAL "thread")
  set(velkord_sanitize_flags -fsanitize=thread)
else()
  message(FATAL_ERROR "VELKORD_SANITIZE must be empty, address or thread, not '${VELKORD_SANITIZE}'")
endif()

# The runtimes are shared libraries that must see every allocation and every
# thread: a fully static gateway cannot carry them.
if(VELKORD_STATIC)
  message(FATAL_ERROR "VELKORD_STATIC and VELKORD_SANITIZE do not go together")
endif()

# -g: reports name files and lines, not bare addresses.
add_compile_options(${velkord_sanitize_flags} -g)
# Lets a test that cannot hold in such a build (the runtimes bring the C++
# runtime with them, for one) say so and skip.
add_compile_definitions(BUILT_WITH_SANITIZER=1)
# GCC's flow-sensitive bounds warnings look at the instrumented code and report
# copies past the end of buffers that the source does not make (std::vector
# inserts in the test support, under -fsanitize=thread). The plain build keeps
# these warnings; here the sanitizer itself checks every access at run time.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread)
endif()
add_link_options(${velkord_sanitize_flags})
message(STATUS "velkord: sanitizer build (${VELKORD_SANITIZE})")
