# Run as a script after the library is linked: fails when a layer's objects
# use a symbol that only a layer above it defines. LAYERS is the order, bottom
# to top; OBJECTS_<layer> the layer's object files; NM the nm to read them.
set(index 0)
foreach(layer IN LISTS LAYERS)
  execute_process(COMMAND ${NM} -g -j --defined-only ${OBJECTS_${layer}}
                  OUTPUT_VARIABLE defined RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "layer check: ${NM} could not read the ${layer} layer's objects")
  endif()
  string(REPLACE "\n" ";" defined "${defined}")
  foreach(symbol IN LISTS defined)
    # The lowest layer that defines the symbol; nm names each file of several
    # on a line of its own, ending in ":".
    if(symbol AND NOT symbol MATCHES ":$" AND NOT DEFINED home_${symbol})
      set(home_${symbol} ${index})
    endif()
  endforeach()
  math(EXPR index "${index} + 1")
endforeach()

find_program(CXXFILT c++filt)
set(index 0)
set(upward "")
foreach(layer IN LISTS LAYERS)
  execute_process(COMMAND ${NM} -u -j ${OBJECTS_${layer}} OUTPUT_VARIABLE used)
  string(REPLACE "\n" ";" used "${used}")
  foreach(symbol IN LISTS used)
    if(symbol AND DEFINED home_${symbol} AND home_${symbol} GREATER index)
      list(GET LAYERS ${home_${symbol}} above)
      if(CXXFILT)
        execute_process(COMMAND ${CXXFILT} ${symbol} OUTPUT_VARIABLE symbol
                        OUTPUT_STRIP_TRAILING_WHITESPACE)
      endif()
      list(APPEND upward "  ${layer} uses ${symbol}, defined in ${above}")
    endif()
  endforeach()
  math(EXPR index "${index} + 1")
endforeach()

if(upward)
  list(REMOVE_DUPLICATES upward)
  list(JOIN upward "\n" lines)
  list(JOIN LAYERS " " order)
  message(FATAL_ERROR "layer check: a layer uses one above it (order, bottom to top: ${order}):\n"
                      "${lines}")
endif()
