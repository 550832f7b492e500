# velkord-sim: Modbus RTU units on a pseudo-terminal, for demos and for
# studying the gateway's line timing without a serial port.
include(${CMAKE_CURRENT_LIST_DIR}/ptyunit.cmake)
add_executable(velkord-sim
  ${CMAKE_CURRENT_LIST_DIR}/velkord-sim.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_unit.cpp)
target_compile_definitions(velkord-sim PRIVATE VELKORD_SIM_VERSION="${PROJECT_VERSION}")
target_link_libraries(velkord-sim PRIVATE ptyunit util)
# Runs on the target as it is: carry the C++ runtime.
if(NOT VELKORD_SANITIZE)
  target_link_options(velkord-sim PRIVATE -static-libstdc++ -static-libgcc)
endif()
install(TARGETS velkord-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
