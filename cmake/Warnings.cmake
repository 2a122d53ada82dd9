# Warnings are errors, everywhere the project's own code is compiled.
function(ombrix_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 /WX /permissive-)
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow -Wconversion
            -Wno-sign-conversion)
    endif()
endfunction()

# Windows executables carry their runtime, so they run on a bare installation.
function(ombrix_static_runtime target)
    if(MINGW)
        target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
    endif()
endfunction()
