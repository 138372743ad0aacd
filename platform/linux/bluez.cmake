# The Bluetooth LE backend: BlueZ over D-Bus (sdbus-c++) and kernel L2CAP sockets.
# Included from this folder's CMakeLists.txt, after sorvane_linux is defined.
find_package(sdbus-c++ REQUIRED)
target_sources(sorvane_linux PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/BluezAdvertisement.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BluezAdvertiser.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BluezConnection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BluezGattApplication.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BluezGattServer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BluezL2capPublisher.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BluezObjectTracker.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BluezPendingCalls.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BluezPeripheralManager.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BluezRefusalLog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BluezRegistration.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KernelL2cap.cpp
  ${CMAKE_CURRENT_LIST_DIR}/L2capListener.cpp)
target_link_libraries(sorvane_linux PUBLIC SDBusCpp::sdbus-c++)
