# Run by ctest: the layer rule catches a link upward, one within a layer and a cycle, and lets a
# downward link and outside libraries through.
include(${CMAKE_CURRENT_LIST_DIR}/KivLayers.cmake)
set(ranks "low=0" "mid_a=1" "mid_b=1" "top=2")
kiv_layer_violations(none "${ranks}" "top>mid_a;mid_a>low;mid_b>fmt::fmt;tool>top")
if(none)
  message(FATAL_ERROR "downward links reported: ${none}")
endif()
kiv_layer_violations(found "${ranks}" "low>top;mid_a>mid_b;mid_b>mid_a")
list(LENGTH found count)
if(NOT count EQUAL 3)
  message(FATAL_ERROR "expected 3 violations (upward, sideways, the cycle's other half), got: ${found}")
endif()
message(STATUS "layer rule: ok")
