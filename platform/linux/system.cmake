# Session and system services: syslog, host name, sleep and wake (logind).
find_package(sdbus-c++ REQUIRED)
target_sources(sorvane_linux PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/LinuxHostInfo.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LogindPowerMonitor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SyslogSink.cpp)
target_link_libraries(sorvane_linux PUBLIC SDBusCpp::sdbus-c++)
