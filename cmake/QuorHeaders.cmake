# quor_headers(<target> <pattern>... [EXCLUDE <header>...])
# Makes the headers matching <pattern>s (globs relative to the source root,
# e.g. "platform/com/*.h"), less the EXCLUDEd ones (paths relative to the
# source root), the target's include folder: each is linked into
# <build>/include/<target>/ under its own path, and that folder is the
# target's PUBLIC (INTERFACE for an interface library, PRIVATE for an
# executable or module) include directory. A target therefore sees the headers
# of itself and of what it links, and no others: an include that runs against
# the layers fails to compile.
function(quor_headers target)
  cmake_parse_arguments(ARG "" "" "EXCLUDE" ${ARGN})
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  foreach(pattern ${ARG_UNPARSED_ARGUMENTS})
    file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${pattern})
    foreach(header ${headers})
      file(RELATIVE_PATH relative ${PROJECT_SOURCE_DIR} ${header})
      if(relative IN_LIST ARG_EXCLUDE)
        continue()
      endif()
      get_filename_component(folder ${root}/${relative} DIRECTORY)
      file(MAKE_DIRECTORY ${folder})
      file(CREATE_LINK ${header} ${root}/${relative} SYMBOLIC)
    endforeach()
  endforeach()
  file(MAKE_DIRECTORY ${root})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  elseif(type STREQUAL "EXECUTABLE" OR type STREQUAL "MODULE_LIBRARY")
    target_include_directories(${target} PRIVATE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
