# Sanitizer builds apply to every target so that the instrumented code and the
# runtime match across library boundaries.
if(SORVANE_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(SORVANE_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT SORVANE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "SORVANE_SANITIZE must be empty, 'address' or 'thread'")
endif()
