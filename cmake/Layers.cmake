# The layers of the product, one target per folder. A folder's target links
# only the layers below it, and tools/check_layers.py (run by the build) fails
# on any include that reaches a folder the target does not link.
#
#   ombrix_layer(FOLDER TARGET NAME SOURCES ... [USES FOLDER...] [LIBRARIES ...])
#   ombrix_layer_folder(FOLDER USES FOLDER...)   # a folder of executables
#   ombrix_layer_check()                         # once, after every layer

function(ombrix_register_layer folder)
    set_property(GLOBAL APPEND PROPERTY OMBRIX_LAYER_FOLDERS ${folder})
    string(JOIN "," used ${ARGN})
    set_property(GLOBAL APPEND PROPERTY OMBRIX_LAYER_ARGUMENTS "${folder}=${used}")
endfunction()

function(ombrix_layer_target folder out_target)
    get_property(target GLOBAL PROPERTY OMBRIX_LAYER_TARGET_${folder})
    if(NOT target)
        message(FATAL_ERROR "No layer target for folder ${folder}: declare it before its users")
    endif()
    set(${out_target} ${target} PARENT_SCOPE)
endfunction()

function(ombrix_layer folder)
    cmake_parse_arguments(LAYER "" "TARGET" "SOURCES;USES;LIBRARIES" ${ARGN})
    list(TRANSFORM LAYER_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/${folder}/)
    add_library(${LAYER_TARGET} STATIC ${LAYER_SOURCES})
    target_include_directories(${LAYER_TARGET} PUBLIC ${CMAKE_SOURCE_DIR})
    foreach(used IN LISTS LAYER_USES)
        ombrix_layer_target(${used} used_target)
        target_link_libraries(${LAYER_TARGET} PUBLIC ${used_target})
    endforeach()
    target_link_libraries(${LAYER_TARGET} PUBLIC ${LAYER_LIBRARIES})
    ombrix_warnings(${LAYER_TARGET})
    set_property(GLOBAL PROPERTY OMBRIX_LAYER_TARGET_${folder} ${LAYER_TARGET})
    ombrix_register_layer(${folder} ${LAYER_USES})
endfunction()

function(ombrix_layer_folder folder)
    cmake_parse_arguments(LAYER "" "" "USES" ${ARGN})
    ombrix_register_layer(${folder} ${LAYER_USES})
endfunction()

function(ombrix_layer_check)
    get_property(arguments GLOBAL PROPERTY OMBRIX_LAYER_ARGUMENTS)
    get_property(folders GLOBAL PROPERTY OMBRIX_LAYER_FOLDERS)
    set(watched)
    foreach(folder IN LISTS folders)
        file(GLOB_RECURSE files CONFIGURE_DEPENDS
            ${CMAKE_SOURCE_DIR}/${folder}/*.h ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
        list(APPEND watched ${files})
    endforeach()
    set(stamp ${CMAKE_BINARY_DIR}/layer_check.stamp)
    add_custom_command(
        OUTPUT ${stamp}
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/check_layers.py
                ${CMAKE_SOURCE_DIR} ${stamp} ${arguments}
        DEPENDS ${CMAKE_SOURCE_DIR}/tools/check_layers.py ${watched}
        COMMENT "Checking that every include goes down the layers"
        VERBATIM)
    add_custom_target(ombrix_layer_check ALL DEPENDS ${stamp})
endfunction()
