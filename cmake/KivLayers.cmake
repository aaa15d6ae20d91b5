# The layers of the code and the rule between them: a target links only targets of lower layers.
# A link upward or within a layer (and so any cycle) fails the configure step.

# Layers, lowest first; each entry lists its targets separated by spaces.
set(KIV_LAYERS
  "kiv_base kiv_buildinfo kiv_protocol kiv_webpage"
  "kiv_runtime kiv_virtualdisplay"
  "kiv_metrics kiv_ports kiv_virtualdisplay_linux kiv_virtualdisplay_testing"
  "kiv_media kiv_transport kiv_audio kiv_input"
  "kiv_service kiv_hostcore_linux"
  "kiv_hostcore"
  "kiv_hostcore_testing kiv_display_model kiv_host_options kiv_wire_inspector"
)

# Pure part, also run by the test: RANKS is a list of "target=rank", EDGES a list of "from>to".
# Sets OUT to the violations, one text each.
function(kiv_layer_violations OUT RANKS EDGES)
  set(found "")
  foreach(edge IN LISTS EDGES)
    string(REPLACE ">" ";" pair "${edge}")
    list(GET pair 0 from)
    list(GET pair 1 to)
    set(fromRank "")
    set(toRank "")
    foreach(entry IN LISTS RANKS)
      if(entry MATCHES "^${from}=(.*)$")
        set(fromRank "${CMAKE_MATCH_1}")
      endif()
      if(entry MATCHES "^${to}=(.*)$")
        set(toRank "${CMAKE_MATCH_1}")
      endif()
    endforeach()
    if(fromRank STREQUAL "" OR toRank STREQUAL "")
      continue() # outside libraries and programs are not layered
    endif()
    if(NOT toRank LESS fromRank)
      list(APPEND found "${from} (layer ${fromRank}) links ${to} (layer ${toRank})")
    endif()
  endforeach()
  set(${OUT} "${found}" PARENT_SCOPE)
endfunction()

# Reads every layered target's links from the build and refuses violations.
function(kiv_check_layers)
  set(ranks "")
  set(rank 0)
  foreach(layer IN LISTS KIV_LAYERS)
    string(REPLACE " " ";" targets "${layer}")
    foreach(target IN LISTS targets)
      if(TARGET ${target})
        list(APPEND ranks "${target}=${rank}")
      endif()
    endforeach()
    math(EXPR rank "${rank} + 1")
  endforeach()
  set(edges "")
  foreach(entry IN LISTS ranks)
    string(REGEX REPLACE "=.*" "" target "${entry}")
    get_target_property(type ${target} TYPE)
    set(links "")
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(links ${target} LINK_LIBRARIES)
    endif()
    get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
    foreach(link IN LISTS links interface)
      if(NOT link OR NOT TARGET ${link})
        continue()
      endif()
      get_target_property(aliased ${link} ALIASED_TARGET)
      if(aliased)
        set(link ${aliased})
      endif()
      list(APPEND edges "${target}>${link}")
    endforeach()
  endforeach()
  kiv_layer_violations(violations "${ranks}" "${edges}")
  if(violations)
    list(JOIN violations "\n  " text)
    message(FATAL_ERROR "Targets link upward or within their layer (cmake/KivLayers.cmake):\n  ${text}")
  endif()
endfunction()
