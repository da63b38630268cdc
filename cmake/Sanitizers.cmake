if(VELTRANO_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(VELTRANO_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  # TSan cannot model atomic_thread_fence (used by Asio); the warning says so
  # once per translation unit and tells us nothing new.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-tsan)
  endif()
elseif(NOT VELTRANO_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VELTRANO_SANITIZE must be empty, address or thread")
endif()
