# The program's layers. Each layer is a folder with a CMakeLists.txt of its
# own that names its sources and the layers it may include, from the ground
# up: platform, store, protocol, tcp and skype, transport, nodes, app (the
# README's developer map draws them). What a layer may include is also what
# it links, and the layering check in ctest holds every
# #include "<folder>/..." of the layer's files to it.

# yuvo_layer(TARGET SOURCES files... [MAY_INCLUDE layers...] [LINKS libs...]
#            [BUILT_ELSEWHERE files...])
# A static library of the folder's sources. Every .cpp of the folder must
# be a source here or named under BUILT_ELSEWHERE (a program, a library of
# its own in the same folder), so that no file is left out of the build.
function(yuvo_layer target)
  cmake_parse_arguments(L "" "" "SOURCES;MAY_INCLUDE;LINKS;BUILT_ELSEWHERE" ${ARGN})
  file(GLOB _present RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(_f IN LISTS _present)
    if(NOT _f IN_LIST L_SOURCES AND NOT _f IN_LIST L_BUILT_ELSEWHERE)
      file(RELATIVE_PATH _folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
      message(FATAL_ERROR "${_folder}/${_f} is in no source list: name it in ${_folder}/CMakeLists.txt")
    endif()
  endforeach()
  add_library(${target} STATIC ${L_SOURCES})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PUBLIC ${L_MAY_INCLUDE} ${L_LINKS})
  file(RELATIVE_PATH _folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  string(REPLACE ";" "," _may "${L_MAY_INCLUDE}")
  set_property(GLOBAL APPEND PROPERTY YUVO_LAYER_MAP "${_folder}|${target}|${_may}")
endfunction()

# Writes the map of the layers (folder, target, what it may include) for the
# layering check.
function(yuvo_write_layer_map path)
  get_property(_map GLOBAL PROPERTY YUVO_LAYER_MAP)
  string(REPLACE ";" "\n" _text "${_map}")
  file(WRITE ${path} "${_text}\n")
endfunction()
