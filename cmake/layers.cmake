# A layer of a program: a static library over the layers below it, which it
# alone may use.
#
#   station_layer(NAME BELOW SOURCE...)
#
# BELOW is the library (or the list of libraries, quoted) that the layer
# stands on. A call from a layer into one above it fails to link: the build
# links every layer alone as well, taking in the whole layer and offering it
# only what is below (build/layer_check/NAME_layer_check).
function(station_layer name below)
    add_library(${name} STATIC ${ARGN})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${below} PRIVATE station_warnings)
    add_executable(${name}_layer_check ${PROJECT_SOURCE_DIR}/cmake/layer_check.cpp)
    target_link_libraries(${name}_layer_check PRIVATE
        -Wl,--whole-archive ${name} -Wl,--no-whole-archive ${below})
    set_target_properties(${name}_layer_check PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/layer_check)
endfunction()
