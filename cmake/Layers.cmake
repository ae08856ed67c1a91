# Each folder's library sees, as its include root, only the folders tools/check-layers lets it
# reach: a folder of links made here, one per reachable folder. An include the table forbids then
# fails to compile, in whatever form it is written. The script itself runs in every build for
# what a root cannot catch (a path through "..", an unused edge), and fails the build with it.
find_program(BREVANT_BASH bash REQUIRED)
set(BREVANT_LAYER_ROOTS ${CMAKE_BINARY_DIR}/layer-roots)
file(REMOVE_RECURSE ${BREVANT_LAYER_ROOTS})  # made again from the table below
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/tools/check-layers)

# brevant_layer(TARGET FOLDER): FOLDER's include root for TARGET's own sources, and for those
# that link TARGET when PUBLIC is given (programs of the same folder).
function(brevant_layer target folder)
    execute_process(COMMAND ${BREVANT_BASH} ${PROJECT_SOURCE_DIR}/tools/check-layers --reach ${folder}
                    OUTPUT_VARIABLE reach OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "tools/check-layers has no layer ${folder}")
    endif()
    set(root ${BREVANT_LAYER_ROOTS}/${folder})
    if(NOT EXISTS ${root})
        separate_arguments(reach)
        file(MAKE_DIRECTORY ${root})
        foreach(reached IN LISTS reach)
            # sdk/'s headers come from the pluginsdk target, the plugin's half alone.
            if(NOT reached STREQUAL "sdk")
                file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${reached} ${root}/${reached} SYMBOLIC)
            endif()
        endforeach()
    endif()
    target_include_directories(${target} ${ARGN} ${root})
endfunction()

add_custom_target(layer_check ALL
                  COMMAND ${BREVANT_BASH} ${PROJECT_SOURCE_DIR}/tools/check-layers
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  COMMENT "Checking the folders' includes against tools/check-layers" VERBATIM)
