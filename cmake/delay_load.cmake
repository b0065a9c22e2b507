# System DLLs that the program first calls after its window is painted (the
# account requests, the update's signature check, starting the downloaded
# program, the controls' keyboard and screen-reader hooks) are loaded on that
# first call instead of before WinMain: under Wine each one, with the DLLs it
# pulls in, adds to the time before the first paint.
#
# tarnix_delay_loaded(<target> <dll>...) links <target> (and what links it) to
# the DLLs so. MSVC: /DELAYLOAD. MinGW: a delay-import library made once per
# build tree with dlltool from the names the toolchain's import library exports
# (the same bytes every time, so the build stays reproducible).
function(tarnix_delay_loaded target)
  if(MSVC)
    foreach(dll ${ARGN})
      target_link_libraries(${target} INTERFACE ${dll})
      target_link_options(${target} INTERFACE /DELAYLOAD:${dll}.dll)
    endforeach()
    target_link_libraries(${target} INTERFACE delayimp)
    return()
  endif()
  set(dir ${CMAKE_BINARY_DIR}/delay-load)
  file(MAKE_DIRECTORY ${dir})
  foreach(dll ${ARGN})
    find_library(TARNIX_IMPORT_LIB_${dll} NAMES lib${dll}.a REQUIRED)
    set(import ${TARNIX_IMPORT_LIB_${dll}})
    set(delay ${dir}/lib${dll}_delay.a)
    if(NOT EXISTS ${delay} OR ${import} IS_NEWER_THAN ${delay})
      execute_process(COMMAND ${CMAKE_NM} -g ${import} OUTPUT_VARIABLE symbols
                      COMMAND_ERROR_IS_FATAL ANY)
      string(REGEX MATCHALL "I __imp_[A-Za-z0-9_@?$]+" imports "${symbols}")
      list(TRANSFORM imports REPLACE "^I __imp_" "")
      list(REMOVE_DUPLICATES imports)
      list(SORT imports)
      list(JOIN imports "\n" exports)
      file(WRITE ${dir}/${dll}.def "LIBRARY ${dll}.dll\nEXPORTS\n${exports}\n")
      execute_process(COMMAND ${CMAKE_DLLTOOL} --input-def ${dll}.def --dllname ${dll}.dll
                              --output-delaylib ${delay} --temp-prefix delay_${dll}
                      WORKING_DIRECTORY ${dir} COMMAND_ERROR_IS_FATAL ANY)
    endif()
    target_link_libraries(${target} INTERFACE ${delay})
  endforeach()
endfunction()
