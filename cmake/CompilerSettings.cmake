# Compiler settings shared by every target of the project.
if(NOT WIN32)
  add_compile_definitions(_FILE_OFFSET_BITS=64)
endif()

function(qv_setup_target target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(QV_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(QV_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined
                                             -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()
