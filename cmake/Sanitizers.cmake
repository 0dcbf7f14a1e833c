# VESTRANO_SANITIZER=thread | address (address also turns on undefined-behaviour checks).
# Applied to everything, JUCE included, so races and overflows inside the
# framework's calls on our behalf are seen too.
set(VESTRANO_SANITIZER "" CACHE STRING "thread, address or empty")

if(VESTRANO_SANITIZER STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(VESTRANO_SANITIZER STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
elseif(NOT VESTRANO_SANITIZER STREQUAL "")
    message(FATAL_ERROR "VESTRANO_SANITIZER must be thread, address or empty")
endif()
