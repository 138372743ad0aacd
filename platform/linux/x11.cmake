# The X11 clipboard and auto-paste adapters. A library of their own so that
# sorvane_linux builds and runs without X.
find_package(X11 REQUIRED COMPONENTS Xfixes Xtst)
add_library(sorvane_x11 STATIC
  ${CMAKE_CURRENT_LIST_DIR}/X11Connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/X11SelectionOwner.cpp
  ${CMAKE_CURRENT_LIST_DIR}/X11Pasteboard.cpp
  ${CMAKE_CURRENT_LIST_DIR}/X11AutoPasteDesktop.cpp)
target_link_libraries(sorvane_x11 PUBLIC sorvane_core X11::X11 X11::Xfixes X11::Xtst)
sorvane_warnings(sorvane_x11)
