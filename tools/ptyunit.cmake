# ptyunit: the units' end of a Modbus RTU line on a pseudo-terminal, shared
# by velkord-sim and the tests; the gateway never links it. Included from
# tools/ and from tests/, so the tests have it without the tools as well.
include_guard(GLOBAL)
add_library(ptyunit STATIC ${CMAKE_CURRENT_LIST_DIR}/ptyunit.cpp)
target_include_directories(ptyunit PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(ptyunit PUBLIC Threads::Threads)
